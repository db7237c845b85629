// The in-process server's exports: class objects, unloading and self-registration.
#include <windows.h>

#include <olectl.h>

#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "standin/session_standin.h"

namespace {

HINSTANCE g_module = nullptr;

constexpr wchar_t kClassKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kServerKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
constexpr wchar_t kClassDescription[] = L"Plovane Messenger stand-in session manager";

// The longest path Windows can give back.
constexpr DWORD kMaxPath = 32768;

// This DLL's own path, or an empty BSTR when it cannot be had.
plovane::unique_bstr ModulePath() {
    plovane::unique_bstr path(SysAllocStringLen(nullptr, kMaxPath - 1));
    if (!path) return path;
    const DWORD n = GetModuleFileNameW(g_module, path.get(), kMaxPath);
    if (n == 0 || n >= kMaxPath) return plovane::unique_bstr();
    return plovane::unique_bstr(SysAllocStringLen(path.get(), n));
}

// The server this class is registered to now, in value (capacity characters); false when the
// class is not registered. A registration whose server cannot be read reads as "?".
bool RegisteredServer(wchar_t* value, DWORD capacity) {
    plovane::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = (capacity - 1) * sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                         &bytes) != ERROR_SUCCESS) {
        lstrcpynW(value, L"?", static_cast<int>(capacity));
        return true;
    }
    value[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

bool IsThisServer(const wchar_t* registered) {
    const plovane::unique_bstr own = ModulePath();
    return own.length() && CompareStringOrdinal(registered, -1, own.get(), -1, TRUE) == CSTR_EQUAL;
}

LSTATUS SetString(HKEY root, const wchar_t* subkey, const wchar_t* name, const wchar_t* value) {
    plovane::unique_hkey key;
    LSTATUS status =
        RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    const DWORD bytes = static_cast<DWORD>(lstrlenW(value) + 1) * sizeof(wchar_t);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
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
    wchar_t current[MAX_PATH * 2];
    if (RegisteredServer(current, MAX_PATH * 2) && !IsThisServer(current)) return SELFREG_E_CLASS;
    const plovane::unique_bstr path = ModulePath();
    if (!path.length()) return HRESULT_FROM_WIN32(GetLastError());
    LSTATUS status = SetString(HKEY_CLASSES_ROOT, kClassKey, nullptr, kClassDescription);
    if (status == ERROR_SUCCESS) {
        status = SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, path.get());
    }
    if (status == ERROR_SUCCESS) {
        status = SetString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", L"Apartment");
    }
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

// Removes the registration only where it names this server; another server's stays.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    wchar_t current[MAX_PATH * 2];
    if (!RegisteredServer(current, MAX_PATH * 2)) return S_OK;
    if (!IsThisServer(current)) return S_FALSE;
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}
