#pragma once
#include <windows.h>

#include <oleauto.h>

#include <utility>

namespace plovane {

// Owns one BSTR. An empty text is a zero-length BSTR, never null, so callees that tell the two
// apart see exactly what the user left in a box.
class unique_bstr {
public:
    unique_bstr() = default;
    explicit unique_bstr(BSTR attached) noexcept : b_(attached) {}
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    unique_bstr(unique_bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    unique_bstr& operator=(unique_bstr&& other) noexcept {
        if (this != &other) {
            reset();
            b_ = std::exchange(other.b_, nullptr);
        }
        return *this;
    }
    ~unique_bstr() { reset(); }

    void reset() noexcept { SysFreeString(std::exchange(b_, nullptr)); }
    BSTR* put() noexcept {
        reset();
        return &b_;
    }
    BSTR get() const noexcept { return b_; }
    BSTR detach() noexcept { return std::exchange(b_, nullptr); }
    UINT length() const noexcept { return SysStringLen(b_); }
    explicit operator bool() const noexcept { return b_ != nullptr; }

private:
    BSTR b_ = nullptr;
};

}  // namespace plovane
