#include "tests/support/window_helpers.h"

#include <vector>

namespace plovane::testing {

bool PumpMessages() {
    bool quit = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return quit;
}

// Another process may set a longer text between the two messages: a full buffer is read again
// until the text has settled, so that a text is never taken for its first part.
std::wstring WindowText(HWND hwnd) {
    for (int tries = 0;; ++tries) {
        const auto length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
        std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
        const auto got =
            SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
        const bool whole = got < length || SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0) == got;
        if (whole || tries == 100) return std::wstring(text.data(), static_cast<size_t>(got));
    }
}

void SetWindowTextTo(HWND hwnd, const std::wstring& text) {
    SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

namespace {

struct Search {
    int id;
    HWND found;
};

BOOL CALLBACK MatchId(HWND child, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (GetDlgCtrlID(child) != search->id) return TRUE;
    search->found = child;
    return FALSE;
}

}  // namespace

HWND FindDescendant(HWND parent, int id) {
    Search search{id, nullptr};
    EnumChildWindows(parent, &MatchId, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForVisibleWindow(const wchar_t* className, const wchar_t* title, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    do {
        HWND hwnd = FindWindowW(className, title);
        if (hwnd && IsWindowVisible(hwnd)) return hwnd;
        Sleep(20);
    } while (GetTickCount64() < end);
    return nullptr;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

HANDLE StartProcess(const std::wstring& commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

long RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    HANDLE process = StartProcess(commandLine);
    if (!process) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code)) {
        TerminateProcess(process, 99);
        code = static_cast<DWORD>(-1);
    }
    CloseHandle(process);
    return static_cast<long>(code);
}

DWORD WaitForExit(unique_handle& process, DWORD timeoutMs) {
    DWORD code = 12345;
    if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.get(), &code);
        process.reset();
    }
    return code;
}

std::wstring ReadStartedFolder(const std::wstring& markerFile) {
    unique_handle in(CreateFileW(markerFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (in.get() == INVALID_HANDLE_VALUE) return L"";
    wchar_t text[MAX_PATH] = {};
    DWORD read = 0;
    ReadFile(in.get(), text, sizeof(text) - sizeof(wchar_t), &read, nullptr);
    return std::wstring(text, read / sizeof(wchar_t));
}

}  // namespace plovane::testing
