#pragma once
#include <windows.h>

namespace plovane {

// The screen's device context for one scope, with a GDI object selected into it until the scope
// ends.
class screen_dc {
public:
    explicit screen_dc(HGDIOBJ selected) noexcept : dc_(GetDC(nullptr)) {
        if (dc_) old_ = SelectObject(dc_, selected);
    }
    screen_dc(const screen_dc&) = delete;
    screen_dc& operator=(const screen_dc&) = delete;
    ~screen_dc() {
        if (!dc_) return;
        SelectObject(dc_, old_);
        ReleaseDC(nullptr, dc_);
    }
    HDC get() const noexcept { return dc_; }

private:
    HDC dc_;
    HGDIOBJ old_ = nullptr;
};

}  // namespace plovane
