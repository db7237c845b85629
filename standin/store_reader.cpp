#include "standin/store_reader.h"

#include <algorithm>

#include "common/unique_handle.h"

namespace plovane::standin {
namespace {

enum class Read { Whole, Missing, OutOfMemory };

// A text value with or without its terminating NUL (entries written by others may lack it),
// never read beyond the bytes the registry holds.
Read ReadText(HKEY entry, const wchar_t* name, unique_bstr& out) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(entry, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return Read::Missing;
    }
    unique_bstr text(SysAllocStringLen(nullptr, bytes / sizeof(wchar_t) + 1));
    if (!text) return Read::OutOfMemory;
    if (RegQueryValueExW(entry, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.get()),
                         &bytes) != ERROR_SUCCESS) {
        return Read::Missing;
    }
    UINT length = bytes / sizeof(wchar_t);
    while (length > 0 && text.get()[length - 1] == L'\0')
        --length;
    unique_bstr exact(SysAllocStringLen(text.get(), length));
    if (!exact) return Read::OutOfMemory;
    out = std::move(exact);
    return Read::Whole;
}

bool ReadFlags(HKEY entry, DWORD& flags) {
    DWORD type = 0, bytes = sizeof(flags);
    return RegQueryValueExW(entry, L"Flags", nullptr, &type, reinterpret_cast<BYTE*>(&flags),
                            &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD && bytes == sizeof(flags);
}

// False only when memory ran out; a damaged entry is still read.
bool ReadEntry(HKEY parent, const wchar_t* subkey, const wchar_t* keyName, MenuEntry& entry) {
    lstrcpynW(entry.keyName, keyName, kMaxKeyNameLength + 1);
    unique_hkey key;
    if (RegOpenKeyExW(parent, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        entry.damaged = true;
        return true;
    }
    // Every value is read, even after a missing one, so that the menu can show what is there.
    bool whole = true;
    for (auto [name, text] : {std::pair{L"MenuName", &entry.menuName},
                              std::pair{L"URL", &entry.url}, std::pair{L"Path", &entry.path}}) {
        const Read read = ReadText(key.get(), name, *text);
        if (read == Read::OutOfMemory) return false;
        whole = whole && read == Read::Whole;
    }
    whole = ReadFlags(key.get(), entry.flags) && whole;
    entry.damaged = !whole || entry.path.length() == 0;
    return true;
}

bool SameKeyName(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The change left unfinished, if any: its key name, and the entry as it was before that change
// (kept false where there was none). False when no change is unfinished.
bool ReadUnfinished(wchar_t (&keyName)[kMaxKeyNameLength + 1], bool& kept, MenuEntry& before) {
    unique_hkey undo;
    unique_bstr name;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUndoKeyPath, 0, KEY_READ, undo.put()) != ERROR_SUCCESS ||
        ReadText(undo.get(), kUndoKeyName, name) != Read::Whole || name.length() == 0 ||
        name.length() > kMaxKeyNameLength) {
        return false;
    }
    lstrcpynW(keyName, name.get(), kMaxKeyNameLength + 1);
    unique_hkey entry;
    kept = RegOpenKeyExW(undo.get(), kUndoEntryName, 0, KEY_READ, entry.put()) == ERROR_SUCCESS;
    if (kept && !ReadEntry(undo.get(), kUndoEntryName, keyName, before)) kept = false;
    return true;
}

}  // namespace

bool ReadMenuEntries(heap_array<MenuEntry>& entries) {
    unique_handle mutex(CreateMutexW(nullptr, FALSE, kStoreMutexName));
    mutex_lock lock(mutex.get(), kStoreLockWaitMs);
    if (!lock.held()) return false;
    heap_array<MenuEntry> read;
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) !=
        ERROR_SUCCESS) {
        entries = std::move(read);
        return true;
    }
    wchar_t unfinished[kMaxKeyNameLength + 1] = {};
    bool kept = false;
    MenuEntry before;
    const bool pending = ReadUnfinished(unfinished, kept, before);
    bool whole = true;
    ForEachSubkey(store.get(), [&](const wchar_t* name, DWORD) {
        if (pending && SameKeyName(name, unfinished)) return true;
        MenuEntry entry;
        whole = ReadEntry(store.get(), name, name, entry) && read.push_back(std::move(entry));
        return whole;
    });
    if (whole && pending && kept) whole = read.push_back(std::move(before));
    if (!whole) return false;
    std::sort(read.begin(), read.end(), [](const MenuEntry& a, const MenuEntry& b) {
        return CompareStringOrdinal(a.keyName, -1, b.keyName, -1, TRUE) == CSTR_LESS_THAN;
    });
    entries = std::move(read);
    return true;
}

}  // namespace plovane::standin
