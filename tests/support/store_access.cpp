#include "tests/support/store_access.h"

#include <vector>

#include "common/unique_handle.h"
#include "standin/store_reader.h"

namespace plovane::testing {

std::wstring EntryPath(const std::wstring& key) {
    return std::wstring(standin::kStoreKeyPath) + L"\\" + key;
}

namespace {

bool ReadText(HKEY key, const wchar_t* name, std::wstring& out) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) != ERROR_SUCCESS) {
        return false;
    }
    size_t length = bytes / sizeof(wchar_t);
    if (length && buffer[length - 1] == L'\0') --length;
    out.assign(buffer.data(), length);
    return true;
}

}  // namespace

std::optional<StoredEntry> ReadEntry(const std::wstring& keyName) {
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, EntryPath(keyName).c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    StoredEntry entry;
    DWORD type = 0, bytes = sizeof(entry.flags);
    const bool flags =
        RegQueryValueExW(key.get(), standin::kEntryValueNames[standin::kFlagsValue], nullptr, &type,
                         reinterpret_cast<BYTE*>(&entry.flags), &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD;
    const bool texts =
        ReadText(key.get(), standin::kEntryValueNames[standin::kMenuNameValue], entry.menuName) &&
        ReadText(key.get(), standin::kEntryValueNames[standin::kUrlValue], entry.url) &&
        ReadText(key.get(), standin::kEntryValueNames[standin::kPathValue], entry.path);
    entry.whole = flags && texts;
    return entry;
}

std::map<std::wstring, StoredEntry> ReadStore() {
    std::map<std::wstring, StoredEntry> entries;
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, standin::kStoreKeyPath, 0, KEY_READ, store.put()) !=
        ERROR_SUCCESS) {
        return entries;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(store.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (auto entry = ReadEntry(name)) entries[name] = *entry;
    }
    return entries;
}

std::map<std::wstring, StoredEntry> AsTheMenuShowsIt() {
    standin::StoreFollower follower;
    follower.Look();
    while (follower.passing())
        follower.ContinuePass(INFINITE);
    std::map<std::wstring, StoredEntry> shown;
    for (const auto& e : follower.entries()) {
        const auto text = [](const unique_bstr& t) { return std::wstring(t.get(), t.length()); };
        shown[e.keyName] = {text(e.menuName), text(e.url), text(e.path), e.flags, !e.damaged};
    }
    return shown;
}

void SetStraight(const std::wstring& key, standin::EntryValue value, const std::wstring& text,
                 DWORD type) {
    RegSetKeyValueW(HKEY_CURRENT_USER, EntryPath(key).c_str(), standin::kEntryValueNames[value],
                    type, text.c_str(), standin::TextBytes(text.size()));
}

void WriteStraight(const std::wstring& key, const std::wstring& menuName, const std::wstring& url,
                   const std::wstring& path) {
    SetStraight(key, standin::kMenuNameValue, menuName);
    SetStraight(key, standin::kUrlValue, url);
    SetStraight(key, standin::kPathValue, path);
    const DWORD flags = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, EntryPath(key).c_str(),
                    standin::kEntryValueNames[standin::kFlagsValue], REG_DWORD, &flags,
                    sizeof(flags));
}

void DeleteStraight(const std::wstring& key) {
    RegDeleteTreeW(HKEY_CURRENT_USER, EntryPath(key).c_str());
}

DeniedKey::DeniedKey(const std::wstring& key) {
    RegOpenKeyExW(HKEY_CURRENT_USER, EntryPath(key).c_str(), 0, READ_CONTROL | WRITE_DAC, &key_);
    DWORD bytes = sizeof(given_);
    RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, given_, &bytes);
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD sidBytes = sizeof(everyone);
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidBytes);
    InitializeAcl(reinterpret_cast<ACL*>(acl_), sizeof(acl_), ACL_REVISION);
    AddAccessDeniedAce(reinterpret_cast<ACL*>(acl_), ACL_REVISION, KEY_ALL_ACCESS, everyone);
    SECURITY_DESCRIPTOR denied;
    InitializeSecurityDescriptor(&denied, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&denied, TRUE, reinterpret_cast<ACL*>(acl_), FALSE);
    denied_ = RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, &denied) == ERROR_SUCCESS;
}

void DeniedKey::Allow() {
    if (denied_) RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, given_);
    denied_ = false;
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
}

std::wstring KeyName(int i) {
    wchar_t key[16];
    swprintf(key, 16, L"key-%05d", i);
    return key;
}

void FillStraight(int count) {
    for (int i = 0; i < count; ++i)
        WriteStraight(KeyName(i), L"Menu " + KeyName(i));
}

void ClearStore() {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Plovane");
}

void RemoveClassRegistration() {
    // The class and the type library the stand-in registers with it.
    for (const wchar_t* key : {L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}",
                               L"TypeLib\\{53CED51D-432B-45B2-A3E0-0CE2C24235D4}",
                               L"Interface\\{305D86C6-6896-4099-91F5-CB7BA7733563}",
                               L"Interface\\{52AC8B62-8F88-46CA-902A-1F9106B0A9F4}"}) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
    }
}

}  // namespace plovane::testing
