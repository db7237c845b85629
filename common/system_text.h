#pragma once
#include <windows.h>

#include <cstddef>

namespace plovane {

// The system's own words for a status or error code, written into out (capacity characters, the
// closing NUL included) without the line break they end with. Returns their length: 0 when the
// system has none, so that each caller says what fits its message.
//
// Some of those texts have a place for a value the caller would pass in ("%1 is not a valid
// Win32 application."). None is passed (a value could hold inserts of its own), so each such
// place reads "the file", and the caller names the file in its own words. The other marks
// ("%n", "%%", "%.") become the character they stand for, a line break as a space.
inline std::size_t SystemText(DWORD code, wchar_t* out, std::size_t capacity) {
    if (!out || capacity == 0) return 0;
    wchar_t raw[512];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, raw, 512, nullptr);
    std::size_t written = 0;
    for (DWORD i = 0; i < length; ++i) {
        const wchar_t* piece = raw + i;
        std::size_t pieceLength = 1;
        if (raw[i] == L'%' && i + 1 < length) {
            piece = raw + ++i;
            if (*piece == L'n') piece = L" ";
            if (*piece >= L'1' && *piece <= L'9') {
                while (i + 1 < length && raw[i + 1] >= L'0' && raw[i + 1] <= L'9')
                    ++i;
                piece = written ? L"the file" : L"The file";
                pieceLength = 8;
            }
        }
        for (std::size_t k = 0; k < pieceLength && written + 1 < capacity; ++k)
            out[written++] = piece[k];
    }
    while (written > 0 &&
           (out[written - 1] == L'\n' || out[written - 1] == L'\r' || out[written - 1] == L' ')) {
        --written;
    }
    out[written] = L'\0';
    return written;
}

}  // namespace plovane
