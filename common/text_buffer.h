#pragma once
#include <windows.h>

#include <cstddef>

namespace plovane {

// A text built in place, of at most Capacity - 1 characters: what does not fit is left off,
// never written beyond the buffer.
template <std::size_t Capacity>
class text_buffer {
public:
    const wchar_t* c_str() const noexcept { return text_; }
    std::size_t length() const noexcept { return length_; }

    text_buffer& append(const wchar_t* text, std::size_t length) noexcept {
        for (std::size_t i = 0; i < length && length_ + 1 < Capacity; ++i)
            text_[length_++] = text[i];
        text_[length_] = L'\0';
        return *this;
    }
    text_buffer& append(const wchar_t* text) noexcept {
        return append(text, static_cast<std::size_t>(lstrlenW(text)));
    }
    text_buffer& append(wchar_t c) noexcept { return append(&c, 1); }
    text_buffer& append_number(unsigned long number) noexcept {
        wchar_t digits[16] = {};
        const int length = wsprintfW(digits, L"%lu", number);
        return append(digits, static_cast<std::size_t>(length));
    }

private:
    wchar_t text_[Capacity] = {};
    std::size_t length_ = 0;
};

}  // namespace plovane
