#pragma once
#include <windows.h>

#include <oleauto.h>

namespace plovane::standin {

// Where the stand-in keeps the Actions-menu entries, one subkey a key name, per user.
inline constexpr wchar_t kStoreKeyPath[] = L"Software\\Plovane\\Messenger Stand-in\\Actions";
// Every writer and reader of the store, in any process, holds this while it works on it.
inline constexpr wchar_t kStoreMutexName[] = L"Local\\Plovane.MessengerStandIn.Store";
inline constexpr unsigned kMaxKeyNameLength = 255;

// Files an entry under keyName, replacing whole any entry of that name. Refuses (E_INVALIDARG,
// nothing written) an empty value, a key name with a backslash or over 255 characters, and any
// text with an embedded NUL, which the registry would cut short.
HRESULT StoreEntry(BSTR keyName, BSTR menuName, BSTR url, BSTR path, DWORD flags);

// Removes exactly the entry filed under keyName; an unknown key gives
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
HRESULT RemoveEntry(BSTR keyName);

}  // namespace plovane::standin
