#include "standin/store.h"

#include <cwchar>

#include "common/unique_handle.h"
#include "standin/store_faults.h"

namespace plovane::standin {

ValueWriteFault g_valueWriteFault = nullptr;
UndoForgetFault g_undoForgetFault = nullptr;

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

LSTATUS CreateKey(HKEY parent, const wchar_t* path, unique_hkey& key) {
    return RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                           nullptr);
}

LSTATUS DeleteIfThere(HKEY parent, const wchar_t* path) {
    const LSTATUS status = RegDeleteTreeW(parent, path);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// Serializes the store across processes for the life of the object. A holder that died left
// its change unfinished, and the undo record says which; so an abandoned mutex is simply taken.
class StoreLock {
public:
    StoreLock()
        : mutex_(CreateMutexW(nullptr, FALSE, kStoreMutexName)),
          created_(GetLastError()),
          lock_(mutex_.get(), kStoreLockWaitMs) {}
    HRESULT status() const {
        if (!mutex_) return HRESULT_FROM_WIN32(created_);
        return lock_.held() ? S_OK : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }

private:
    unique_handle mutex_;
    DWORD created_;
    mutex_lock lock_;
};

LSTATUS SetValue(HKEY entry, int index, const wchar_t* name, DWORD type, const void* data,
                 DWORD bytes) {
    if (g_valueWriteFault) {
        const LSTATUS forced = g_valueWriteFault(index);
        if (forced != ERROR_SUCCESS) return forced;
    }
    return RegSetValueExW(entry, name, 0, type, static_cast<const BYTE*>(data), bytes);
}

HRESULT WriteValues(HKEY entry, BSTR menuName, BSTR url, BSTR path, DWORD flags) {
    const BSTR texts[] = {menuName, url, path};
    for (const EntryValue value : {kMenuNameValue, kUrlValue, kPathValue}) {
        const LSTATUS status = SetValue(entry, value, kEntryValueNames[value], REG_SZ, texts[value],
                                        TextBytes(SysStringLen(texts[value])));
        if (status != ERROR_SUCCESS) return FromWin32(status);
    }
    return FromWin32(SetValue(entry, kFlagsValue, kEntryValueNames[kFlagsValue], REG_DWORD, &flags,
                              sizeof(flags)));
}

// Finishes a change: once the name is gone the record means nothing, whatever is left of it.
HRESULT Forget(HKEY undo) {
    LSTATUS status = g_undoForgetFault ? g_undoForgetFault() : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = RegDeleteValueW(undo, kUndoKeyName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
    DeleteIfThere(HKEY_CURRENT_USER, kUndoKeyPath);
    return S_OK;
}

// Names keyName as the next finished change; a change that cannot be journaled is not finished,
// or readers that trust the journal would never see it.
HRESULT Journal(const wchar_t* keyName) {
    unique_hkey journal;
    LSTATUS status = CreateKey(HKEY_CURRENT_USER, kJournalKeyPath, journal);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    DWORD count = 0, type = 0, bytes = sizeof(count);
    if (RegQueryValueExW(journal.get(), kJournalCountName, nullptr, &type,
                         reinterpret_cast<BYTE*>(&count), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(count)) {
        count = 0;
    }
    ++count;
    JournalSlotName slot;
    status =
        RegSetValueExW(journal.get(), JournalSlot(count, slot), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(keyName), TextBytes(std::wcslen(keyName)));
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(journal.get(), kJournalCountName, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&count), sizeof(count));
    }
    return FromWin32(status);
}

// Puts back the entry an unfinished change (this writer's own, or one whose writer died) was
// replacing or removing, or removes the one it was adding. Safe to repeat after a failure.
HRESULT UndoUnfinished(HKEY store) {
    unique_hkey undo;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kUndoKeyPath, 0, KEY_ALL_ACCESS, undo.put());
    if (status == ERROR_FILE_NOT_FOUND) return S_OK;
    if (status != ERROR_SUCCESS) return FromWin32(status);
    KeyName keyName = {};
    if (ReadKeyName(undo.get(), kUndoKeyName, keyName) && IsEntryName(keyName)) {
        status = DeleteIfThere(store, keyName);
        unique_hkey kept, restored;
        if (status == ERROR_SUCCESS &&
            RegOpenKeyExW(undo.get(), kUndoEntryName, 0, KEY_READ, kept.put()) == ERROR_SUCCESS) {
            status = CreateKey(store, keyName, restored);
            if (status == ERROR_SUCCESS) status = RegCopyTreeW(kept.get(), nullptr, restored.get());
        }
        if (status != ERROR_SUCCESS) return FromWin32(status);
        const HRESULT hr = Journal(keyName);
        if (FAILED(hr)) return hr;
    }
    return Forget(undo.get());
}

// Keeps a copy of the entry about to change, then names it: from that moment on the change
// counts as unfinished until it is forgotten.
// Only "not found" means there is no entry to keep: an entry that cannot be read (its key denied
// to us) is refused before anything is recorded, or undoing this change would delete it.
HRESULT Record(HKEY store, BSTR keyName, unique_hkey& undo) {
    unique_hkey current, kept;
    const LSTATUS opened = RegOpenKeyExW(store, keyName, 0, KEY_READ, current.put());
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) return FromWin32(opened);
    LSTATUS status = DeleteIfThere(HKEY_CURRENT_USER, kUndoKeyPath);
    if (status == ERROR_SUCCESS) status = CreateKey(HKEY_CURRENT_USER, kUndoKeyPath, undo);
    if (status == ERROR_SUCCESS && current) {
        status = CreateKey(undo.get(), kUndoEntryName, kept);
        if (status == ERROR_SUCCESS) status = RegCopyTreeW(current.get(), nullptr, kept.get());
    }
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(undo.get(), kUndoKeyName, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(keyName),
                                TextBytes(SysStringLen(keyName)));
    }
    if (status != ERROR_SUCCESS && undo) {
        undo.reset();
        DeleteIfThere(HKEY_CURRENT_USER, kUndoKeyPath);
    }
    return FromWin32(status);
}

// Runs one change of the entry keyName under the lock, all or nothing: what an earlier writer
// left unfinished is undone first, and this change is undone if any step of it fails.
template <class Change>
HRESULT ChangeEntry(BSTR keyName, Change change) {
    StoreLock lock;
    if (FAILED(lock.status())) return lock.status();
    unique_hkey store;
    HRESULT hr = FromWin32(CreateKey(HKEY_CURRENT_USER, kStoreKeyPath, store));
    if (SUCCEEDED(hr)) hr = UndoUnfinished(store.get());
    unique_hkey undo;
    if (SUCCEEDED(hr)) hr = Record(store.get(), keyName, undo);
    if (FAILED(hr)) return hr;
    hr = change(store.get());
    if (SUCCEEDED(hr)) hr = Journal(keyName);
    if (SUCCEEDED(hr)) hr = Forget(undo.get());
    if (FAILED(hr)) UndoUnfinished(store.get());
    return hr;
}

}  // namespace

HRESULT StoreEntry(BSTR keyName, BSTR menuName, BSTR url, BSTR path, DWORD flags) {
    if (!IsUsableKeyName(keyName)) return E_INVALIDARG;
    for (BSTR value : {menuName, url, path}) {
        if (!IsWholeText(value) || SysStringLen(value) == 0) return E_INVALIDARG;
    }
    return ChangeEntry(keyName, [&](HKEY store) {
        // keyName is never empty here: an empty subkey would make this delete the whole store.
        HRESULT hr = FromWin32(DeleteIfThere(store, keyName));
        unique_hkey entry;
        if (SUCCEEDED(hr)) hr = FromWin32(CreateKey(store, keyName, entry));
        if (SUCCEEDED(hr)) hr = WriteValues(entry.get(), menuName, url, path, flags);
        return hr;
    });
}

HRESULT RemoveEntry(BSTR keyName) {
    if (!IsUsableKeyName(keyName)) {
        const bool tooLong = IsWholeText(keyName) && SysStringLen(keyName) > kMaxKeyNameLength &&
                             !std::wcschr(keyName, L'\\');
        return tooLong ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : E_INVALIDARG;
    }
    return ChangeEntry(keyName,
                       [&](HKEY store) { return FromWin32(RegDeleteTreeW(store, keyName)); });
}

}  // namespace plovane::standin
