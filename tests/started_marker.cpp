// Stands in for a registered program: records that it was started, and in which folder. The
// folder is written as UTF-16, as Windows names it: a folder named in letters outside the ANSI
// code page (a clone in "Mes projets été" or in Cyrillic) reads back exactly.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    HANDLE out = CreateFileW(L"started-marker.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const BOOL whole = WriteFile(out, folder, length * sizeof(wchar_t), &written, nullptr);
    CloseHandle(out);
    return whole ? 0 : 1;
}
