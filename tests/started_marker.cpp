// Stands in for a registered program: records that it was started, and in which folder.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    FILE* out = _wfopen(L"started-marker.txt", L"w");
    if (!out) return 1;
    std::fputws(folder, out);
    std::fclose(out);
    return 0;
}
