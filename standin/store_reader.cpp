#include "standin/store_reader.h"

#include <algorithm>

#include "common/unique_handle.h"
#include "standin/store.h"

namespace plovane::standin {
namespace {

// A text value with or without its terminating NUL (entries written by others may lack it),
// never read beyond the bytes the registry holds.
bool ReadText(HKEY entry, const wchar_t* name, std::wstring& out) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(entry, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(entry, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&text[0]),
                         &bytes) != ERROR_SUCCESS) {
        return false;
    }
    text.resize(bytes / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    out = std::move(text);
    return true;
}

bool ReadFlags(HKEY entry, DWORD& flags) {
    DWORD type = 0, bytes = sizeof(flags);
    return RegQueryValueExW(entry, L"Flags", nullptr, &type, reinterpret_cast<BYTE*>(&flags),
                            &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD && bytes == sizeof(flags);
}

MenuEntry ReadEntry(HKEY parent, const wchar_t* subkey, const std::wstring& keyName) {
    MenuEntry entry;
    entry.keyName = keyName;
    unique_hkey key;
    if (RegOpenKeyExW(parent, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        entry.damaged = true;
        return entry;
    }
    // Every value is read, even after a missing one, so that the menu can show what is there.
    bool whole = ReadText(key.get(), L"MenuName", entry.menuName);
    whole = ReadText(key.get(), L"URL", entry.url) && whole;
    whole = ReadText(key.get(), L"Path", entry.path) && whole;
    whole = ReadFlags(key.get(), entry.flags) && whole;
    entry.damaged = !whole || entry.path.empty();
    return entry;
}

bool SameKeyName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The entry of a change left unfinished, as it was before that change; false when no change
// is unfinished. kept tells whether there was an entry before it at all.
bool ReadUnfinished(std::wstring& keyName, bool& kept, MenuEntry& before) {
    unique_hkey undo;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUndoKeyPath, 0, KEY_READ, undo.put()) != ERROR_SUCCESS ||
        !ReadText(undo.get(), kUndoKeyName, keyName) || keyName.empty()) {
        return false;
    }
    unique_hkey entry;
    kept = RegOpenKeyExW(undo.get(), kUndoEntryName, 0, KEY_READ, entry.put()) == ERROR_SUCCESS;
    if (kept) before = ReadEntry(undo.get(), kUndoEntryName, keyName);
    return true;
}

}  // namespace

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[kMaxKeyNameLength + 1];
        DWORD length = kMaxKeyNameLength + 1;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

bool ReadMenuEntries(std::vector<MenuEntry>& entries) {
    unique_handle mutex(CreateMutexW(nullptr, FALSE, kStoreMutexName));
    mutex_lock lock(mutex.get(), kStoreLockWaitMs);
    if (!lock.held()) return false;
    entries.clear();
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) !=
        ERROR_SUCCESS) {
        return true;
    }
    std::wstring unfinished;
    bool kept = false;
    MenuEntry before;
    const bool pending = ReadUnfinished(unfinished, kept, before);
    for (const std::wstring& name : SubkeyNames(store.get())) {
        if (pending && SameKeyName(name, unfinished)) continue;
        entries.push_back(ReadEntry(store.get(), name.c_str(), name));
    }
    if (pending && kept) entries.push_back(std::move(before));
    std::sort(entries.begin(), entries.end(), [](const MenuEntry& a, const MenuEntry& b) {
        return CompareStringOrdinal(a.keyName.c_str(), -1, b.keyName.c_str(), -1, TRUE) ==
               CSTR_LESS_THAN;
    });
    return true;
}

}  // namespace plovane::standin
