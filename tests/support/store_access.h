#pragma once
#include <windows.h>

#include <map>
#include <optional>
#include <string>

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

std::map<std::wstring, StoredEntry> ReadStore();
std::optional<StoredEntry> ReadEntry(const std::wstring& keyName);
void ClearStore();
void RemoveClassRegistration();

}  // namespace plovane::testing
