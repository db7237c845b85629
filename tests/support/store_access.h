#pragma once
#include <windows.h>

#include <map>
#include <optional>
#include <string>

#include "standin/store_format.h"

namespace plovane::testing {

// One entry as the stand-in's store holds it, read straight from the registry.
struct StoredEntry {
    std::wstring menuName, url, path;
    DWORD flags = 0;
    bool whole = false;  // all four values there, with their types
    bool operator==(const StoredEntry& o) const {
        return menuName == o.menuName && url == o.url && path == o.path && flags == o.flags &&
               whole == o.whole;
    }
};

// The registry path of an entry's key, below HKEY_CURRENT_USER.
std::wstring EntryPath(const std::wstring& key);
std::map<std::wstring, StoredEntry> ReadStore();
// The store as the Actions menu reads it (a pass through it by the window's own follower), with
// whole saying the entry is not damaged.
std::map<std::wstring, StoredEntry> AsTheMenuShowsIt();
std::optional<StoredEntry> ReadEntry(const std::wstring& keyName);
void ClearStore();

// Changes made straight in the registry, as regedit, a .reg import or another program makes them:
// no lock, no journal, no undo record.
void WriteStraight(const std::wstring& key, const std::wstring& menuName,
                   const std::wstring& url = L"http://example.invalid/",
                   const std::wstring& path = L"C:\\nowhere\\p.exe");
// One value of an entry, text of any type.
void SetStraight(const std::wstring& key, standin::EntryValue value, const std::wstring& text,
                 DWORD type = REG_SZ);
void DeleteStraight(const std::wstring& key);

// An entry's key denied to everyone by another program, as a DACL with one deny entry does, and
// its own access given back when this goes (through a handle opened before the denial).
class DeniedKey {
public:
    explicit DeniedKey(const std::wstring& key);
    ~DeniedKey() { Allow(); }
    DeniedKey(const DeniedKey&) = delete;
    DeniedKey& operator=(const DeniedKey&) = delete;
    bool denied() const { return denied_; }
    void Allow();

private:
    HKEY key_ = nullptr;
    alignas(void*) BYTE given_[1024] = {};
    alignas(DWORD) BYTE acl_[256] = {};
    bool denied_ = false;
};
// Entries KeyName(0) to KeyName(count - 1), each with the menu name "Menu " and its key name.
std::wstring KeyName(int i);
void FillStraight(int count);
void RemoveClassRegistration();

}  // namespace plovane::testing
