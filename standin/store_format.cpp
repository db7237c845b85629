#include "standin/store_format.h"

#include <cwchar>

#include "common/unique_handle.h"

namespace plovane::standin {

const wchar_t* JournalSlot(DWORD change, JournalSlotName& slot) {
    wsprintfW(slot, L"%lu", static_cast<unsigned long>(change % kJournalLength));
    return &slot[0];
}

DWORD TextBytes(size_t length) {
    return static_cast<DWORD>(length + 1) * static_cast<DWORD>(sizeof(wchar_t));
}

bool IsEntryName(const wchar_t* keyName) {
    return keyName[0] != L'\0' && !std::wcschr(keyName, L'\\');
}

int CompareKeyNames(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) - CSTR_EQUAL;
}

bool ReadKeyName(HKEY key, const wchar_t* name, KeyName& keyName) {
    DWORD type = 0, bytes = sizeof(keyName) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(keyName), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        keyName[0] = L'\0';
        return false;
    }
    keyName[bytes / sizeof(wchar_t)] = L'\0';
    return keyName[0] != L'\0';
}

StoreMark ReadMark() {
    StoreMark mark;
    unique_hkey journal, undo;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kJournalKeyPath, 0, KEY_READ, journal.put()) ==
        ERROR_SUCCESS) {
        DWORD type = 0, bytes = sizeof(mark.count);
        mark.counted =
            RegQueryValueExW(journal.get(), kJournalCountName, nullptr, &type,
                             reinterpret_cast<BYTE*>(&mark.count), &bytes) == ERROR_SUCCESS &&
            type == REG_DWORD && bytes == sizeof(mark.count);
        if (!mark.counted) mark.count = 0;
    }
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUndoKeyPath, 0, KEY_READ, undo.put()) == ERROR_SUCCESS &&
        (!ReadKeyName(undo.get(), kUndoKeyName, mark.pending) || !IsEntryName(mark.pending))) {
        mark.pending[0] = L'\0';
    }
    return mark;
}

bool operator==(const StoreMark& a, const StoreMark& b) {
    return a.counted == b.counted && a.count == b.count && lstrcmpW(a.pending, b.pending) == 0;
}

}  // namespace plovane::standin
