#pragma once
#include <windows.h>

#include <oleauto.h>

#include "standin/store_format.h"

namespace plovane::standin {

// Every writer of the store, in any process, holds this while it works on it. Readers never take
// it: they check what they read against the store's mark instead.
inline constexpr wchar_t kStoreMutexName[] = L"Local\\Plovane.MessengerStandIn.Store";
// How long anyone waits for that mutex before giving up with ERROR_TIMEOUT.
inline constexpr DWORD kStoreLockWaitMs = 5000;

// Files an entry under keyName, replacing whole any entry of that name. Refuses (E_INVALIDARG,
// nothing written) an empty value, a key name with a backslash or over 255 characters, and any
// text with an embedded NUL, which the registry would cut short; and refuses with the system's
// reason an entry that is there but cannot be read. On any failure the store holds exactly what
// it held before.
HRESULT StoreEntry(BSTR keyName, BSTR menuName, BSTR url, BSTR path, DWORD flags);

// Removes exactly the entry filed under keyName, whole or not at all; an unknown key gives
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
HRESULT RemoveEntry(BSTR keyName);

}  // namespace plovane::standin
