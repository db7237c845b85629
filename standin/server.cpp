// The in-process server's exports: class objects, unloading and self-registration.
#include <windows.h>

#include <olectl.h>

#include <string>

#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "standin/session_standin.h"

namespace {

HINSTANCE g_module = nullptr;

constexpr wchar_t kClassKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kServerKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
constexpr wchar_t kClassDescription[] = L"Plovane Messenger stand-in session manager";

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(g_module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The server this class is registered to now, or an empty text when it is not registered.
std::wstring RegisteredServer() {
    plovane::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                         &bytes) != ERROR_SUCCESS) {
        return L"?";
    }
    return value;
}

bool IsThisServer(const std::wstring& registered) {
    return CompareStringOrdinal(registered.c_str(), -1, ModulePath().c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

LSTATUS SetString(HKEY root, const wchar_t* subkey, const wchar_t* name,
                  const std::wstring& value) {
    plovane::unique_hkey key;
    LSTATUS status =
        RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    const size_t bytes = (value.size() + 1) * sizeof(wchar_t);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(bytes));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, plovane::messenger::kSessionManagerClsid)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return plovane::standin::GetSessionManagerFactory(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return plovane::standin::ServerReferences() == 0 ? S_OK : S_FALSE;
}

// Refuses to take over the class while it is registered to another server.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const std::wstring current = RegisteredServer();
    if (!current.empty() && !IsThisServer(current)) return SELFREG_E_CLASS;
    const std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    LSTATUS status = SetString(HKEY_CLASSES_ROOT, kClassKey, nullptr, kClassDescription);
    if (status == ERROR_SUCCESS) status = SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, path);
    if (status == ERROR_SUCCESS) {
        status = SetString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", L"Apartment");
    }
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

// Removes the registration only where it names this server; another server's stays.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const std::wstring current = RegisteredServer();
    if (current.empty()) return S_OK;
    if (!IsThisServer(current)) return S_FALSE;
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}
