#pragma once
#include <windows.h>

#include <vector>

namespace plovane::ui {

// The three-page tabbed dialog: a container holding a native tab strip and the page controls.
// Choosing a page shows that page's controls and hides the others'; nothing outside the
// component runs on a change of page. Notifications of the page controls go on to the parent.
class TabbedDialog {
public:
    TabbedDialog() = default;
    TabbedDialog(const TabbedDialog&) = delete;
    TabbedDialog& operator=(const TabbedDialog&) = delete;

    bool Create(HWND parent, int id, const RECT& bounds, int dpi, HFONT font);
    void AddPageControl(HWND control, int page);
    void SelectPage(int page);
    int CurrentPage() const;
    // Ctrl+Tab and Ctrl+Shift+Tab turn the pages from anywhere in the window.
    bool TranslatePageKey(const MSG& msg);

    HWND hwnd() const { return hwnd_; }
    HWND strip() const { return strip_; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void ShowPageControls(int page);
    void Paint();

    struct PageControl {
        HWND hwnd;
        int page;
    };
    HWND hwnd_ = nullptr;
    HWND strip_ = nullptr;
    std::vector<PageControl> controls_;
};

}  // namespace plovane::ui
