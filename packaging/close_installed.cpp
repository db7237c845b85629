// The MSI's close step, run before an uninstall or an upgrade removes the installed files (a
// running program's file cannot be deleted, and would stay behind). Every program started from
// the installed folder is asked to close as the user's own close would ask it (WM_CLOSE to its
// windows) and is waited for; a program of the same name started from anywhere else, such as a
// portable copy from the zip, is not touched. The package carries this program in its Binary
// table, so an upgrade has it before anything of the new version is installed.
// Its second step, after the installer removed the files: a file of the package that is still
// there is held by a program that runs on (a portable copy's tool has the installed stand-in
// loaded, as the user's class puts it in front). Windows Installer deals with such a file itself;
// Wine's leaves it for good. A loaded file may be renamed though not deleted: it is moved aside,
// into the user's temporary folder where it can, and deleted at the next restart. The installed
// folder can go now, and an upgrade puts its own file in its place at once, not at the restart.
// Command line: the installed folder, or /release, the installed folder and the package's file
// names.
#include <windows.h>

#include <tlhelp32.h>

#include <utility>

#include "common/unique_handle.h"

namespace {

// How long the programs together get to close; one that asks its user something keeps it open
// no longer than this, and the installer then goes on as it would have without us.
constexpr DWORD kCloseWaitMs = 15000;
constexpr DWORD kMaxPath = 32768;

// The next argument of a command line, unquoted, in argument (kMaxPath characters); false when
// there is none.
bool NextArgument(const wchar_t*& p, wchar_t* argument) {
    while (*p == L' ')
        ++p;
    if (!*p) return false;
    const wchar_t end = *p == L'"' ? L'"' : L' ';
    if (*p == L'"') ++p;
    const wchar_t* start = p;
    while (*p && *p != end)
        ++p;
    const DWORD length = static_cast<DWORD>(p - start);
    lstrcpynW(argument, start, static_cast<int>(length < kMaxPath ? length + 1 : kMaxPath));
    if (*p) ++p;
    return true;
}

// The folder an argument names, made full ("C:\Programs\Plovane\." and "C:\Programs\Plovane\"
// both give "C:\Programs\Plovane"), in folder (kMaxPath characters).
bool FullFolder(const wchar_t* argument, wchar_t* folder) {
    if (!*argument) return false;
    const DWORD n = GetFullPathNameW(argument, kMaxPath, folder, nullptr);
    if (n == 0 || n >= kMaxPath) return false;
    const int length = lstrlenW(folder);
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

// Moves a held file to a fresh name in the folder place (GetTempFileName makes it there, ours
// alone) and has the restart delete it; true when it went.
bool MoveAside(const wchar_t* path, const wchar_t* place) {
    wchar_t aside[MAX_PATH];
    if (!GetTempFileNameW(place, L"plv", 0, aside)) return false;
    if (!MoveFileExW(path, aside, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(aside);
        return false;
    }
    // Scheduling needs what a per-user install may lack on Windows; the file then waits in the
    // temporary folder for the user's own clean-up.
    MoveFileExW(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

// A package's file the installer left in folder: gone now if its holder has ended, else moved
// aside. True when it had to stay in the folder itself, which must then wait for the restart too.
bool Release(const wchar_t* folder, const wchar_t* name) {
    wchar_t path[kMaxPath];
    if (lstrlenW(folder) + 1 + lstrlenW(name) >= static_cast<int>(kMaxPath)) return false;
    lstrcpyW(path, folder);
    lstrcatW(path, L"\\");
    lstrcatW(path, name);
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES || DeleteFileW(path)) return false;
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n && n < MAX_PATH && MoveAside(path, temp)) return false;
    return MoveAside(path, folder);
}

int ReleaseHeld(const wchar_t* folder, const wchar_t* names) {
    bool folderWaits = false;
    wchar_t name[kMaxPath];
    while (NextArgument(names, name))
        folderWaits = Release(folder, name) || folderWaits;
    // The installer removed the folder before it was empty, or will; where it still holds a moved
    // file it goes at the restart, after that file.
    if (!RemoveDirectoryW(folder) && folderWaits) {
        MoveFileExW(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return 0;
}

int CloseStartedFrom(const wchar_t* folder) {
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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const wchar_t* p = GetCommandLineW();
    wchar_t argument[kMaxPath];
    wchar_t folder[kMaxPath];
    if (!NextArgument(p, argument) || !NextArgument(p, argument)) return 2;
    const bool release = CompareStringOrdinal(argument, -1, L"/release", -1, TRUE) == CSTR_EQUAL;
    if (release && !NextArgument(p, argument)) return 2;
    if (!FullFolder(argument, folder)) return 2;
    return release ? ReleaseHeld(folder, p) : CloseStartedFrom(folder);
}
