#include "standin/store_reader.h"

#include <algorithm>

#include "common/unique_handle.h"
#include "standin/store.h"

namespace plovane::standin {
namespace {

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

MenuEntry ReadEntry(HKEY store, const std::wstring& keyName) {
    MenuEntry entry;
    entry.keyName = keyName;
    unique_hkey key;
    if (RegOpenKeyExW(store, keyName.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
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

std::vector<std::wstring> KeyNames(HKEY store) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[kMaxKeyNameLength + 1];
        DWORD length = kMaxKeyNameLength + 1;
        const LSTATUS status =
            RegEnumKeyExW(store, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_SUCCESS) names.emplace_back(name, length);
    }
    return names;
}

}  // namespace

std::vector<MenuEntry> ReadMenuEntries() {
    unique_handle mutex(CreateMutexW(nullptr, FALSE, kStoreMutexName));
    mutex_lock lock(mutex.get());
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::vector<MenuEntry> entries;
    for (const std::wstring& name : KeyNames(store.get())) {
        entries.push_back(ReadEntry(store.get(), name));
    }
    std::sort(entries.begin(), entries.end(), [](const MenuEntry& a, const MenuEntry& b) {
        return CompareStringOrdinal(a.keyName.c_str(), -1, b.keyName.c_str(), -1, TRUE) ==
               CSTR_LESS_THAN;
    });
    return entries;
}

}  // namespace plovane::standin
