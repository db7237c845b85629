#pragma once
#include <windows.h>

#include <cstddef>

#include "common/base_window.h"
#include "ui/design.h"

namespace plovane::ui {

// The three-page tabbed dialog: a container holding a native tab strip and the page controls.
// Choosing a page shows that page's controls and hides the others'; nothing outside the
// component runs on a change of page. Notifications of the page controls go on to the parent.
class TabbedDialog : public BaseWindow<TabbedDialog> {
public:
    TabbedDialog() = default;
    ~TabbedDialog() { DestroyOwnWindow(); }

    bool Create(HWND parent, int id, const RECT& bounds, int dpi, HFONT font);
    // Puts the container and its strip where the design says at this density; the tab height and
    // the font follow.
    void Layout(const RECT& bounds, int dpi, HFONT font);
    // False when the component holds as many page controls as the design has already.
    bool AddPageControl(HWND control, int page);
    void SelectPage(int page);
    int CurrentPage() const;
    // Ctrl+Tab and Ctrl+Shift+Tab turn the pages from anywhere in the window.
    bool TranslatePageKey(const MSG& msg);

    HWND strip() const { return hwnd() ? strip_ : nullptr; }

private:
    friend class BaseWindow<TabbedDialog>;
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void ShowPageControls(int page);
    void Paint();

    struct PageControl {
        HWND hwnd;
        int page;
    };
    HWND strip_ = nullptr;
    PageControl controls_[kPageControlCount] = {};
    std::size_t count_ = 0;
};

}  // namespace plovane::ui
