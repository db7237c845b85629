#include "standin/store.h"

#include <cwchar>
#include <string>

#include "common/unique_handle.h"

namespace plovane::standin {
namespace {

bool IsWholeText(BSTR text) {
    return text && std::wcslen(text) == SysStringLen(text);
}

bool IsUsableKeyName(BSTR keyName) {
    return IsWholeText(keyName) && SysStringLen(keyName) > 0 &&
           SysStringLen(keyName) <= kMaxKeyNameLength && !std::wcschr(keyName, L'\\');
}

HRESULT FromWin32(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

HRESULT OpenStore(unique_hkey& store) {
    return FromWin32(RegCreateKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, store.put(), nullptr));
}

// Serializes the store across processes for the life of the object.
class StoreLock {
public:
    StoreLock() : mutex_(CreateMutexW(nullptr, FALSE, kStoreMutexName)), lock_(mutex_.get()) {}
    HRESULT status() const {
        if (!mutex_) return HRESULT_FROM_WIN32(GetLastError());
        return lock_.held() ? S_OK : E_FAIL;
    }

private:
    unique_handle mutex_;
    mutex_lock lock_;
};

HRESULT SetText(HKEY entry, const wchar_t* name, BSTR value) {
    const DWORD bytes = (SysStringLen(value) + 1) * sizeof(wchar_t);
    return FromWin32(
        RegSetValueExW(entry, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes));
}

HRESULT WriteValues(HKEY entry, BSTR menuName, BSTR url, BSTR path, DWORD flags) {
    HRESULT hr = SetText(entry, L"MenuName", menuName);
    if (SUCCEEDED(hr)) hr = SetText(entry, L"URL", url);
    if (SUCCEEDED(hr)) hr = SetText(entry, L"Path", path);
    if (SUCCEEDED(hr)) {
        hr = FromWin32(RegSetValueExW(entry, L"Flags", 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&flags), sizeof(flags)));
    }
    return hr;
}

HRESULT DeleteEntry(HKEY store, BSTR keyName) {
    // keyName is never empty here: an empty subkey would make this delete the whole store.
    return FromWin32(RegDeleteTreeW(store, keyName));
}

}  // namespace

HRESULT StoreEntry(BSTR keyName, BSTR menuName, BSTR url, BSTR path, DWORD flags) {
    if (!IsUsableKeyName(keyName)) return E_INVALIDARG;
    for (BSTR value : {menuName, url, path}) {
        if (!IsWholeText(value) || SysStringLen(value) == 0) return E_INVALIDARG;
    }
    StoreLock lock;
    if (FAILED(lock.status())) return lock.status();
    unique_hkey store;
    HRESULT hr = OpenStore(store);
    if (FAILED(hr)) return hr;
    hr = DeleteEntry(store.get(), keyName);
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return hr;

    unique_hkey entry;
    hr = FromWin32(RegCreateKeyExW(store.get(), keyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   entry.put(), nullptr));
    if (SUCCEEDED(hr)) hr = WriteValues(entry.get(), menuName, url, path, flags);
    if (FAILED(hr) && entry) {
        // Never leave half an entry behind for the menu to read.
        entry.reset();
        DeleteEntry(store.get(), keyName);
    }
    return hr;
}

HRESULT RemoveEntry(BSTR keyName) {
    if (!IsUsableKeyName(keyName)) {
        const bool tooLong = IsWholeText(keyName) && SysStringLen(keyName) > kMaxKeyNameLength &&
                             !std::wcschr(keyName, L'\\');
        return tooLong ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : E_INVALIDARG;
    }
    StoreLock lock;
    if (FAILED(lock.status())) return lock.status();
    unique_hkey store;
    const HRESULT hr = OpenStore(store);
    if (FAILED(hr)) return hr;
    return DeleteEntry(store.get(), keyName);
}

}  // namespace plovane::standin
