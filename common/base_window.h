#pragma once
#include <windows.h>

#include "common/unique_handle.h"

namespace plovane {

// The one static window procedure of a window object: it finds the object the window was made
// for and hands every message to its HandleMessage. The object owns its window handle, and
// gives it up when the window is destroyed by other means. A derived object calls
// DestroyOwnWindow() in its own destructor: the window's last messages then still find its
// members alive.
template <class Derived>
class BaseWindow {
public:
    BaseWindow(const BaseWindow&) = delete;
    BaseWindow& operator=(const BaseWindow&) = delete;

    HWND hwnd() const { return window_.get(); }

protected:
    BaseWindow() = default;
    ~BaseWindow() = default;

    void DestroyOwnWindow() {
        if (window_) DestroyWindow(window_.get());
    }

    // Pass `this` as the creation parameter of CreateWindowEx.
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<Derived*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
        if (msg == WM_NCDESTROY) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            self->window_.release();
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        }
        if (!self->window_) self->window_.reset(hwnd);
        return self->HandleMessage(msg, wParam, lParam);
    }

private:
    unique_hwnd window_;
};

}  // namespace plovane
