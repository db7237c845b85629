// The MSI's close step, run before an uninstall or an upgrade removes the installed files (a
// running program's file cannot be deleted, and would stay behind). Every program started from
// the installed folder is asked to close as the user's own close would ask it (WM_CLOSE to its
// windows) and is waited for; a program of the same name started from anywhere else, such as a
// portable copy from the zip, is not touched. The package carries this program in its Binary
// table, so an upgrade has it before anything of the new version is installed.
// Command line: the installed folder.
#include <windows.h>

#include <tlhelp32.h>

#include <utility>

#include "common/unique_handle.h"

namespace {

// How long the programs together get to close; one that asks its user something keeps it open
// no longer than this, and the installer then goes on as it would have without us.
constexpr DWORD kCloseWaitMs = 15000;
constexpr DWORD kMaxPath = 32768;

// The folder named after the program's own name on the command line, without quotes, made full
// ("C:\Programs\Plovane\." and "C:\Programs\Plovane\" both give "C:\Programs\Plovane"), in
// folder (kMaxPath characters).
bool ReadFolder(wchar_t* folder) {
    const wchar_t* p = GetCommandLineW();
    const wchar_t end = *p == L'"' ? L'"' : L' ';
    if (*p == L'"') ++p;
    while (*p && *p != end)
        ++p;
    if (*p) ++p;
    while (*p == L' ')
        ++p;
    wchar_t argument[kMaxPath];
    lstrcpynW(argument, *p == L'"' ? p + 1 : p, kMaxPath);
    int length = lstrlenW(argument);
    while (length && (argument[length - 1] == L'"' || argument[length - 1] == L' '))
        argument[--length] = L'\0';
    if (!length) return false;
    const DWORD n = GetFullPathNameW(argument, kMaxPath, folder, nullptr);
    if (n == 0 || n >= kMaxPath) return false;
    length = lstrlenW(folder);
    if (length > 3 && folder[length - 1] == L'\\') folder[length - 1] = L'\0';
    return true;
}

// True when the process's program file lies directly in the installed folder.
bool StartedFromFolder(HANDLE process, const wchar_t* folder) {
    wchar_t image[kMaxPath];
    DWORD size = kMaxPath;
    if (!QueryFullProcessImageNameW(process, 0, image, &size)) return false;
    wchar_t* slash = nullptr;
    for (wchar_t* c = image; *c; ++c)
        if (*c == L'\\') slash = c;
    if (!slash) return false;
    *slash = L'\0';
    return CompareStringOrdinal(image, -1, folder, -1, TRUE) == CSTR_EQUAL;
}

BOOL CALLBACK AskToClose(HWND window, LPARAM processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId) && IsWindowVisible(window)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t folder[kMaxPath];
    if (!ReadFolder(folder)) return 2;
    plovane::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return 1;
    }
    // The ones asked to close, waited for together (WaitForMultipleObjects takes at most 64).
    plovane::unique_handle asked[MAXIMUM_WAIT_OBJECTS];
    HANDLE waits[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more && count < MAXIMUM_WAIT_OBJECTS;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        plovane::unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                                   FALSE, entry.th32ProcessID));
        if (!process || !StartedFromFolder(process.get(), folder)) continue;
        EnumWindows(AskToClose, static_cast<LPARAM>(entry.th32ProcessID));
        waits[count] = process.get();
        asked[count++] = std::move(process);
    }
    if (count) WaitForMultipleObjects(count, waits, TRUE, kCloseWaitMs);
    return 0;
}
