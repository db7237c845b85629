#pragma once
// The store's format, as every writer and reader of it (the stand-in, the Actions window, the
// tests' own straight writer) spells it: the keys, the values, the journal and the undo record.
#include <windows.h>

namespace plovane::standin {

// The entries, one subkey a key name, per user.
inline constexpr wchar_t kStoreKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Actions";
inline constexpr unsigned kMaxKeyNameLength = 255;
using KeyName = wchar_t[kMaxKeyNameLength + 1];

// An entry's values: three texts (REG_SZ, stored with their terminating NUL; a path may also be
// REG_EXPAND_SZ, as .reg files store paths) and the flags (REG_DWORD), in the order written.
enum EntryValue : int { kMenuNameValue, kUrlValue, kPathValue, kFlagsValue, kEntryValues };
inline constexpr const wchar_t* kEntryValueNames[kEntryValues] = {L"MenuName", L"URL", L"Path",
                                                                  L"Flags"};

// The undo record of the one change in progress. While its value kUndoKeyName names an entry,
// that entry's change is unfinished and the store holds what the record keeps under
// kUndoEntryName instead (no entry at all where that subkey is missing, which a change records
// only where the entry was not found). A change is finished by removing the name, so a writer
// that dies part-way leaves its change to be undone.
inline constexpr wchar_t kUndoKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Undo";
inline constexpr wchar_t kUndoKeyName[] = L"Key";
inline constexpr wchar_t kUndoEntryName[] = L"Entry";

// The journal of finished changes, beside the store so that readers of the store see only its
// entries: kJournalCountName (REG_DWORD) counts every change finished or undone, and the slot of
// each change (JournalSlot) holds its key name. A change is journaled while its writer still holds
// the lock and before its undo record is cleared.
inline constexpr wchar_t kJournalKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Changes";
inline constexpr wchar_t kJournalCountName[] = L"Count";
inline constexpr DWORD kJournalLength = 64;
using JournalSlotName = wchar_t[12];
// The value that names change number change: the count modulo kJournalLength, in decimal.
const wchar_t* JournalSlot(DWORD change, JournalSlotName& slot);

// A text's size as stored, its terminating NUL included.
DWORD TextBytes(size_t length);

// A name that can be a top-level entry: a subkey's own name, never a path to one deeper down.
bool IsEntryName(const wchar_t* keyName);
// Key names ordered as the registry orders them, without regard to case.
int CompareKeyNames(const wchar_t* a, const wchar_t* b);
// An entry's key name held in a text value, into a fixed buffer (no allocation); false, and
// empty, where the value holds none.
bool ReadKeyName(HKEY key, const wchar_t* name, KeyName& keyName);

// What says whether a writer of ours changed the store while a reader read it: the journal's
// count and the key name of the change in progress (empty when none).
struct StoreMark {
    bool counted = false;
    DWORD count = 0;
    KeyName pending = {};
};
StoreMark ReadMark();
bool operator==(const StoreMark& a, const StoreMark& b);
inline bool operator!=(const StoreMark& a, const StoreMark& b) {
    return !(a == b);
}

// Runs read(mark) until the store's mark is the same before and after it, so that nothing it
// read was half written by a writer of ours (a few times at most: under a storm of changes it
// gives up). False when it gave up, or read returned false.
template <class Read>
bool ReadUnchanged(Read read, StoreMark* seen = nullptr) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const StoreMark before = ReadMark();
        if (!read(before)) return false;
        if (ReadMark() == before) {
            if (seen) *seen = before;
            return true;
        }
    }
    return false;
}

}  // namespace plovane::standin
