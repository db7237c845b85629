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

// A class is registered in two places: the machine's (what regsvr32 writes) and the user's own
// (what the MSI writes; Windows puts it in front of the machine's). Each is read and changed on its
// own: through HKEY_CLASSES_ROOT, regsvr32 of a zip copy would write into, or remove, the row the
// MSI wrote for its installed copy, and the MSI's uninstall would then take the zip copy's
// registration with it.
const HKEY kClassRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};
constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kServerKey[] =
    L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
constexpr wchar_t kLocalServerKey[] =
    L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\LocalServer32";
// Beside the server's path, the path this stand-in's registration wrote: the MSI, which cannot
// read a version block, knows a registration of ours by the two being the same.
constexpr wchar_t kMarkerValue[] = L"PlovaneStandIn";
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

// What opening a row of the class under a root found. Only a row that is not there is free: one
// that cannot be opened for any other reason (access denied, say) may be anyone's.
enum class Row { absent, present, unreadable };

Row OpenRow(HKEY root, const wchar_t* subkey, plovane::unique_hkey& key) {
    const LSTATUS status = RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_SUCCESS) return Row::present;
    return status == ERROR_FILE_NOT_FOUND ? Row::absent : Row::unreadable;
}

// The server this class is registered to now under root, in value (capacity characters),
// environment references expanded; false when the class is not registered in-process there. A
// registration whose server cannot be read (a value that is not a string, a key we may not
// open) reads as empty.
bool RegisteredServer(HKEY root, wchar_t* value, DWORD capacity) {
    plovane::unique_hkey key;
    value[0] = L'\0';
    const Row row = OpenRow(root, kServerKey, key);
    if (row == Row::absent) return false;
    DWORD bytes = capacity * sizeof(wchar_t);
    // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded.
    if (row == Row::unreadable || RegGetValueW(key.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr,
                                               value, &bytes) != ERROR_SUCCESS) {
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

// A class served by a program (Messenger's own configuration) belongs to that program, and so
// does one whose program row we may not look at.
bool HasLocalServer(HKEY root) {
    plovane::unique_hkey key;
    return OpenRow(root, kLocalServerKey, key) != Row::absent;
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

// What a registration under root is to this copy of the stand-in.
enum class Holder { nobody, stale, thisCopy, anotherCopy, someoneElse };

Holder ClassHolder(HKEY root) {
    // A program serving the class (Messenger's own configuration) holds it, whatever in-process
    // row sits beside it.
    if (HasLocalServer(root)) return Holder::someoneElse;
    wchar_t registered[kMaxRegistered];
    if (!RegisteredServer(root, registered, kMaxRegistered)) return Holder::nobody;
    // A server nobody can name may be anyone's.
    if (!registered[0]) return Holder::someoneElse;
    if (IsThisServer(registered)) return Holder::thisCopy;
    if (ServerFileIsGone(registered)) return Holder::stale;
    return IsStandInCopy(registered) ? Holder::anotherCopy : Holder::someoneElse;
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

// Takes the machine's class over only where no one else holds the class, per machine or per user:
// free, this copy, a deleted copy or another copy of the stand-in (an earlier version, or the
// MSI's installed one, which the user's row keeps in front). The type library goes with it so
// that the interface can be marshaled to a server in another process.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    for (HKEY root : kClassRoots) {
        if (ClassHolder(root) == Holder::someoneElse) return SELFREG_E_CLASS;
    }
    const plovane::unique_bstr path = ModulePath();
    if (!path.length()) return HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(RegisterOwnTypeLibrary(path.get()))) return SELFREG_E_TYPELIB;
    const struct {
        const wchar_t* key;
        const wchar_t* name;
        const wchar_t* value;
    } rows[] = {{kClassKey, nullptr, kClassDescription},
                {kServerKey, nullptr, path.get()},
                {kServerKey, L"ThreadingModel", L"Apartment"},
                {kServerKey, kMarkerValue, path.get()}};
    for (const auto& row : rows) {
        if (SetString(HKEY_LOCAL_MACHINE, row.key, row.name, row.value) != ERROR_SUCCESS) {
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

// Removes the registrations of this copy and of deleted copies, per machine and per user, with
// the type library. Another live copy's stays (the MSI's installed one beside a zip copy removed,
// or a later version that took over), as does anyone else's.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    bool removed = false, kept = false;
    for (HKEY root : kClassRoots) {
        const Holder holder = ClassHolder(root);
        if (holder == Holder::thisCopy || holder == Holder::stale) {
            if (RegDeleteTreeW(root, kClassKey) != ERROR_SUCCESS) return SELFREG_E_CLASS;
            removed = true;
        } else if (holder != Holder::nobody) {
            kept = true;
        }
    }
    if (removed) RemoveOwnTypeLibrary();
    return removed || !kept ? S_OK : S_FALSE;
}
