#include "ui/system_library.h"

#include <cwchar>

namespace plovane::ui {
namespace {

#ifdef PLOVANE_LOADER_WITHOUT_SEARCH_FLAGS
// Built into a test copy of the tool only: the loader of Windows XP, Vista and a Windows 7 without
// its 2011 update, which knows none of the LOAD_LIBRARY_SEARCH_* flags and refuses them.
HMODULE WINAPI Load(const wchar_t* name, HANDLE file, DWORD flags) {
    if (flags & (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                 LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                 LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryExW(name, file, flags);
}
#else
HMODULE WINAPI Load(const wchar_t* name, HANDLE file, DWORD flags) {
    return LoadLibraryExW(name, file, flags);
}
#endif

}  // namespace

HMODULE LoadSystemLibrary(const wchar_t* name) {
    HMODULE module = Load(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // A loader without the flag: the full path names the file, and the altered search takes what
    // the DLL itself needs from its own folder, the system's, before the program's.
    wchar_t path[MAX_PATH];
    const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
    const size_t length = wcslen(name);
    if (folder == 0 || folder + 1 + length >= MAX_PATH) return nullptr;
    path[folder] = L'\\';
    wmemcpy(path + folder + 1, name, length + 1);
    return Load(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace plovane::ui
