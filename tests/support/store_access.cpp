#include "tests/support/store_access.h"

#include <vector>

#include "common/unique_handle.h"
#include "standin/store.h"

namespace plovane::testing {
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
    const std::wstring path = std::wstring(standin::kStoreKeyPath) + L"\\" + keyName;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    StoredEntry entry;
    DWORD type = 0, bytes = sizeof(entry.flags);
    const bool flags =
        RegQueryValueExW(key.get(), L"Flags", nullptr, &type, reinterpret_cast<BYTE*>(&entry.flags),
                         &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD;
    const bool texts = ReadText(key.get(), L"MenuName", entry.menuName) &&
                       ReadText(key.get(), L"URL", entry.url) &&
                       ReadText(key.get(), L"Path", entry.path);
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
