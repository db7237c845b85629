#pragma once
#include <windows.h>

#include <oleauto.h>

namespace plovane::standin {

// Where the stand-in keeps the Actions-menu entries, one subkey a key name, per user.
inline constexpr wchar_t kStoreKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Actions";
// The undo record of the one change in progress. While its value kUndoKeyName names an entry,
// that entry's change is unfinished and the store holds what the record keeps under
// kUndoEntryName instead (no entry at all where that subkey is missing). A change is finished by
// removing the name, so a writer that dies part-way leaves its change to be undone.
inline constexpr wchar_t kUndoKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Undo";
inline constexpr wchar_t kUndoKeyName[] = L"Key";
inline constexpr wchar_t kUndoEntryName[] = L"Entry";
// The journal of finished changes, beside the store so that readers of the store see only its
// entries: kJournalCountName (REG_DWORD) counts every change finished or undone, and the value
// named by the count modulo kJournalLength, in decimal, holds the key name of that change. A
// change is journaled while it still holds the lock and before its undo record is cleared, so a
// reader that sees the same count and the same undo record before and after reading an entry has
// read it whole, and a reader that knows the count it last saw reads again only the entries named
// since. A count gone, or more changes than the journal holds, sends readers through the whole
// store.
inline constexpr wchar_t kJournalKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Changes";
inline constexpr wchar_t kJournalCountName[] = L"Count";
inline constexpr DWORD kJournalLength = 64;
// Every writer of the store, in any process, holds this while it works on it. Readers never take
// it: they check what they read against the journal and the undo record instead.
inline constexpr wchar_t kStoreMutexName[] = L"Local\\Plovane.MessengerStandIn.Store";
// How long anyone waits for that mutex before giving up with ERROR_TIMEOUT.
inline constexpr DWORD kStoreLockWaitMs = 5000;
inline constexpr unsigned kMaxKeyNameLength = 255;

// Files an entry under keyName, replacing whole any entry of that name. Refuses (E_INVALIDARG,
// nothing written) an empty value, a key name with a backslash or over 255 characters, and any
// text with an embedded NUL, which the registry would cut short. On any failure the store holds
// exactly what it held before.
HRESULT StoreEntry(BSTR keyName, BSTR menuName, BSTR url, BSTR path, DWORD flags);

// Removes exactly the entry filed under keyName, whole or not at all; an unknown key gives
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
HRESULT RemoveEntry(BSTR keyName);

// For tests only, and not exported from the server: when set, it is asked before each value
// write of an entry (0 MenuName, 1 URL, 2 Path, 3 Flags), and a status other than ERROR_SUCCESS
// is taken as that write's own.
using ValueWriteFault = LSTATUS (*)(int value);
// It starts null, before any code runs; the check cannot see that from here.
extern ValueWriteFault g_valueWriteFault;  // NOLINT(bugprone-dynamic-static-initializers)

// For tests only, like the one above: when set, it is asked before the undo record is deleted,
// and a status other than ERROR_SUCCESS is taken as that deletion's own (nothing is deleted).
using UndoForgetFault = LSTATUS (*)();
extern UndoForgetFault g_undoForgetFault;  // NOLINT(bugprone-dynamic-static-initializers)

}  // namespace plovane::standin
