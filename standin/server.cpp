// The in-process server's exports: class objects, unloading and self-registration.
#include <windows.h>

#include <olectl.h>

#include "common/com_ptr.h"
#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "standin/session_standin.h"

namespace {

HINSTANCE g_module = nullptr;

constexpr wchar_t kClassKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kServerKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
constexpr wchar_t kLocalServerKey[] =
    L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\LocalServer32";
constexpr wchar_t kClassDescription[] = L"Plovane Messenger stand-in session manager";

// What the type library registers: the library and the two interfaces it lets COM marshal.
constexpr const wchar_t* kTypeLibraryKeys[] = {
    L"TypeLib\\{53CED51D-432B-45B2-A3E0-0CE2C24235D4}",
    L"Interface\\{305D86C6-6896-4099-91F5-CB7BA7733563}",
    L"Interface\\{52AC8B62-8F88-46CA-902A-1F9106B0A9F4}",
};

// A registered server's path, as long as a registry value of the class may reasonably be.
constexpr DWORD kMaxRegistered = MAX_PATH * 2;

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

// The server this class is registered to now, in value (capacity characters), environment
// references expanded; false when the class is not registered in-process. A registration whose
// server cannot be read reads as empty.
bool RegisteredServer(wchar_t* value, DWORD capacity) {
    plovane::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = capacity * sizeof(wchar_t);
    // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded.
    if (RegGetValueW(key.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes) !=
        ERROR_SUCCESS) {
        value[0] = L'\0';
    }
    // A path in quotes names the same file as without them.
    if (value[0] == L'"') {
        const int length = lstrlenW(value);
        const int end = value[length - 1] == L'"' && length > 1 ? length - 1 : length;
        MoveMemory(value, value + 1, (end - 1) * sizeof(wchar_t));
        value[end - 1] = L'\0';
    }
    return true;
}

// A class served by a program (Messenger's own configuration) belongs to that program.
bool HasLocalServer() {
    plovane::unique_hkey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, kLocalServerKey, 0, KEY_QUERY_VALUE, key.put()) ==
           ERROR_SUCCESS;
}

bool IsThisServer(const wchar_t* registered) {
    const plovane::unique_bstr own = ModulePath();
    return own.length() && CompareStringOrdinal(registered, -1, own.get(), -1, TRUE) == CSTR_EQUAL;
}

// True only when the file is certainly gone: a server that cannot be looked at for another
// reason may still be alive.
bool ServerFileIsGone(const wchar_t* path) {
    wchar_t found[MAX_PATH];
    if (SearchPathW(nullptr, path, nullptr, MAX_PATH, found, nullptr) != 0) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool VersionStringIs(const void* block, const wchar_t* name, const wchar_t* expected) {
    wchar_t query[64] = L"\\StringFileInfo\\040904B0\\";
    lstrcatW(query, name);
    void* text = nullptr;
    UINT length = 0;
    return VerQueryValueW(block, query, &text, &length) && length &&
           CompareStringOrdinal(static_cast<const wchar_t*>(text), -1, expected, -1, FALSE) ==
               CSTR_EQUAL;
}

// A copy of this stand-in, wherever it lies and whichever version it is, as its version block
// names it.
bool IsStandInCopy(const wchar_t* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    void* block = HeapAlloc(GetProcessHeap(), 0, size);
    if (!block) return false;
    const bool ours = GetFileVersionInfoW(path, 0, size, block) &&
                      VersionStringIs(block, L"CompanyName", L"Plovane") &&
                      VersionStringIs(block, L"InternalName", L"messenger-standin");
    HeapFree(GetProcessHeap(), 0, block);
    return ours;
}

// A registration is ours to replace or remove when it names this file, a server file that no
// longer exists (a copy deleted without unregistering), or any copy of this stand-in.
bool IsOurRegistration(const wchar_t* registered) {
    // A server nobody can name may be anyone's.
    if (!registered[0] || HasLocalServer()) return false;
    return IsThisServer(registered) || ServerFileIsGone(registered) || IsStandInCopy(registered);
}

LSTATUS SetString(HKEY root, const wchar_t* subkey, const wchar_t* name, const wchar_t* value) {
    plovane::unique_hkey key;
    LSTATUS status =
        RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    const DWORD bytes = static_cast<DWORD>(lstrlenW(value) + 1) * sizeof(wchar_t);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

// Written from this file's own path, as the marshaler loads it in both processes.
HRESULT RegisterOwnTypeLibrary(BSTR path) {
    plovane::com_ptr<ITypeLib> library;
    const HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, library.put());
    if (FAILED(hr)) return hr;
    return RegisterTypeLib(library.get(), path, nullptr);
}

// The library's rows go by name rather than through the library they name: that file may be
// the deleted copy whose registration is being cleared.
void RemoveOwnTypeLibrary() {
    for (const wchar_t* key : kTypeLibraryKeys)
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
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

// Takes the class over only where the registration is free or ours (see IsOurRegistration); the
// type library goes with it so that the interface can be marshaled to a server in another process.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t current[kMaxRegistered];
    const bool registered = RegisteredServer(current, kMaxRegistered);
    if ((registered && !IsOurRegistration(current)) || (!registered && HasLocalServer())) {
        return SELFREG_E_CLASS;
    }
    const plovane::unique_bstr path = ModulePath();
    if (!path.length()) return HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(RegisterOwnTypeLibrary(path.get()))) return SELFREG_E_TYPELIB;
    LSTATUS status = SetString(HKEY_CLASSES_ROOT, kClassKey, nullptr, kClassDescription);
    if (status == ERROR_SUCCESS) {
        status = SetString(HKEY_CLASSES_ROOT, kServerKey, nullptr, path.get());
    }
    if (status == ERROR_SUCCESS) {
        status = SetString(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel", L"Apartment");
    }
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

// Removes the registration where it is ours (this copy, a deleted one or another copy of the
// stand-in) with its type library; another server's stays.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    wchar_t current[kMaxRegistered];
    if (!RegisteredServer(current, kMaxRegistered)) return S_OK;
    if (!IsOurRegistration(current)) return S_FALSE;
    RemoveOwnTypeLibrary();
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}
