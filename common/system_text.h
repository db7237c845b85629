#pragma once
#include <windows.h>

#include <cstddef>

namespace plovane {

// The system's own words for a status or error code, written into out (capacity characters, the
// closing NUL included) without the line break they end with. Returns their length: 0 when the
// system has none, so that each caller says what fits its message.
inline std::size_t SystemText(DWORD code, wchar_t* out, std::size_t capacity) {
    if (!out || capacity == 0) return 0;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, out, static_cast<DWORD>(capacity), nullptr);
    while (length > 0 &&
           (out[length - 1] == L'\n' || out[length - 1] == L'\r' || out[length - 1] == L' ')) {
        --length;
    }
    out[length] = L'\0';
    return length;
}

}  // namespace plovane
