#include "ui/sstab.h"

#include <commctrl.h>

#include "ui/caption_fit.h"
#include "ui/design.h"

namespace plovane::ui {
namespace {

constexpr wchar_t kClassName[] = L"PlovaneTabbedDialog";

bool RegisterContainerClass(HINSTANCE instance, WNDPROC windowProc) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (GetClassInfoExW(instance, kClassName, &wc)) return true;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
}

bool IsForwardedToParent(UINT msg) {
    switch (msg) {
        case WM_COMMAND:
        case WM_DRAWITEM:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool TabbedDialog::Create(HWND parent, int id, const RECT& bounds, int dpi, HFONT font) {
    auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    if (!RegisterContainerClass(instance, &WindowProc)) return false;
    HWND container = CreateWindowExW(
        WS_EX_CONTROLPARENT, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0,
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, this);
    if (!container) return false;
    strip_ = CreateWindowExW(0, WC_TABCONTROLW, L"",
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS | TCS_FIXEDWIDTH |
                                 TCS_FOCUSONBUTTONDOWN,
                             0, 0, 0, 0, hwnd(),
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(SSTab1Strip)), instance,
                             nullptr);
    if (!strip_) return false;
    for (int page = 0; page < kPageCount; ++page) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(kTabCaptions[page]);
        SendMessageW(strip_, TCM_INSERTITEMW, page, reinterpret_cast<LPARAM>(&item));
    }
    Layout(bounds, dpi, font);
    return true;
}

void TabbedDialog::Layout(const RECT& bounds, int dpi, HFONT font) {
    const int width = bounds.right - bounds.left;
    const UINT move = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(hwnd(), nullptr, bounds.left, bounds.top, width, bounds.bottom - bounds.top, move);
    const int tabHeight = MulDiv(kTabHeightHundredthsMm, dpi, 2540);
    SetWindowPos(strip_, nullptr, 0, 0, width, tabHeight + 2, move);
    SendMessageW(strip_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(strip_, TCM_SETITEMSIZE, 0, MAKELPARAM(TabWidth(width), tabHeight));
    InvalidateRect(hwnd(), nullptr, TRUE);
}

bool TabbedDialog::AddPageControl(HWND control, int page) {
    if (count_ == kPageControlCount) return false;
    controls_[count_++] = {control, page};
    ShowWindow(control, page == CurrentPage() ? SW_SHOWNA : SW_HIDE);
    return true;
}

int TabbedDialog::CurrentPage() const {
    return strip_ ? static_cast<int>(SendMessageW(strip_, TCM_GETCURSEL, 0, 0)) : 0;
}

void TabbedDialog::SelectPage(int page) {
    SendMessageW(strip_, TCM_SETCURSEL, page, 0);
    ShowPageControls(page);
}

void TabbedDialog::ShowPageControls(int page) {
    HWND focus = GetFocus();
    for (std::size_t i = 0; i < count_; ++i) {
        const PageControl& c = controls_[i];
        const bool shown = c.page == page;
        if (!shown && (focus == c.hwnd || IsChild(c.hwnd, focus))) SetFocus(strip_);
        ShowWindow(c.hwnd, shown ? SW_SHOWNA : SW_HIDE);
    }
}

bool TabbedDialog::TranslatePageKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB || GetKeyState(VK_CONTROL) >= 0) {
        return false;
    }
    if (msg.hwnd != hwnd() && !IsChild(GetParent(hwnd()), msg.hwnd)) return false;
    const int step = GetKeyState(VK_SHIFT) < 0 ? kPageCount - 1 : 1;
    // TCM_SETCURFOCUS notifies the strip's parent just as a click on a tab does.
    SendMessageW(strip_, TCM_SETCURFOCUS, (CurrentPage() + step) % kPageCount, 0);
    return true;
}

LRESULT TabbedDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (IsForwardedToParent(msg)) return SendMessageW(GetParent(hwnd()), msg, wParam, lParam);
    switch (msg) {
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->hwndFrom == strip_ && header->code == TCN_SELCHANGE) {
                ShowPageControls(CurrentPage());
                return 0;
            }
            return SendMessageW(GetParent(hwnd()), msg, wParam, lParam);
        }
        case WM_PAINT:
            Paint();
            return 0;
        default:
            return DefWindowProcW(hwnd(), msg, wParam, lParam);
    }
}

void TabbedDialog::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd(), &ps);
    RECT body;
    GetClientRect(hwnd(), &body);
    RECT stripRect;
    GetWindowRect(strip_, &stripRect);
    body.top = stripRect.bottom - stripRect.top - 2;
    DrawEdge(dc, &body, EDGE_RAISED, BF_RECT);
    EndPaint(hwnd(), &ps);
}

}  // namespace plovane::ui
