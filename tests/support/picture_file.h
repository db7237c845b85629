#pragma once
// Pictures as pixels, for comparing what the program shows or carries with the pictures in docs/.
#include <windows.h>

#include <string>
#include <vector>

namespace plovane::testing {

struct Picture {
    int width = 0, height = 0;
    std::vector<DWORD> pixels;  // 0x00RRGGBB, top row first

    DWORD At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A PNG file read through the system's imaging component; empty (width 0) when it cannot be.
// COM must be started on this thread.
Picture ReadPng(const std::wstring& path);

}  // namespace plovane::testing
