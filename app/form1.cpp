#include "app/form1.h"

#include <commctrl.h>

#include <algorithm>

#include "ui/accessible.h"
#include "ui/button_face.h"
#include "ui/caption_fit.h"
#include "ui/common_dialog.h"
#include "ui/picture_box.h"
#include "ui/resources.h"

namespace plovane {
namespace {

constexpr wchar_t kClassName[] = L"PlovaneForm1";
// The tool's code sees only what Windows XP offers, so that a call XP lacks fails the build.
static_assert(_WIN32_WINNT == 0x0501 && WINVER == 0x0501, "the tool is built against Windows XP");
// WM_DPICHANGED, which Windows 8.1 and later send; the tool is built against Windows XP's headers,
// which do not name it, and older Windows never send it.
constexpr UINT kDpiChanged = 0x02E0;
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The density of the monitor the window stands on; Windows before 10 knows only the system's.
int WindowDpi(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const int dpi = getDpi ? static_cast<int>(getDpi(hwnd)) : 0;
    return dpi > 0 ? dpi : ScreenDpi();
}

// The system's message font, which the system gives at its own density, scaled to this one and
// fitted to the captions.
HFONT CreateDialogFont(int dpi) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        return nullptr;
    }
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, ScreenDpi());
    return ui::CreateFittedFont(metrics.lfMessageFont, dpi);
}

SIZE FrameSize(int dpi) {
    RECT frame = {0, 0, ui::TwipsToPixels(ui::kClientWidthTwips, dpi),
                  ui::TwipsToPixels(ui::kClientHeightTwips, dpi)};
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, 0);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

// About the frame's size (unsigned, so that a width below half of it wraps round and fails too),
// with its middle on a monitor.
bool IsPlausibleFrame(const RECT& r, SIZE frame) {
    const UINT cx = static_cast<UINT>(r.right) - static_cast<UINT>(r.left);
    const UINT cy = static_cast<UINT>(r.bottom) - static_cast<UINT>(r.top);
    const POINT middle = {static_cast<LONG>(static_cast<UINT>(r.left) + cx / 2),
                          static_cast<LONG>(static_cast<UINT>(r.top) + cy / 2)};
    return cx - frame.cx / 2 <= static_cast<UINT>(frame.cx) * 3 / 2 &&
           cy - frame.cy / 2 <= static_cast<UINT>(frame.cy) * 3 / 2 &&
           MonitorFromPoint(middle, MONITOR_DEFAULTTONULL);
}

// A frame wider or taller than the work area keeps its title bar and its close button there: the
// top and the right edge win over the bottom and the left.
void KeepTitleBarOnScreen(HWND hwnd) {
    RECT r;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (!GetWindowRect(hwnd, &r) ||
        !GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor)) {
        return;
    }
    const RECT& work = monitor.rcWork;
    const LONG x = std::min(std::max(r.left, work.left), work.right - (r.right - r.left));
    const LONG y = std::max(std::min(r.top, work.bottom - (r.bottom - r.top)), work.top);
    if (x != r.left || y != r.top) {
        SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

bool IsButton(HWND hwnd) {
    const ui::ControlSpec* design = ui::FindControl(static_cast<ui::ControlId>(GetDlgCtrlID(hwnd)));
    return design && design->kind == ui::ControlKind::Button;
}

}  // namespace

bool Form1::Create(HINSTANCE instance, com_ptr<IDispatch> commonDialog) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    if (!InitCommonControlsEx(&controls) || !ui::RegisterPictureBoxClass(instance)) return false;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (!GetClassInfoExW(instance, kClassName, &wc)) {
        wc.lpfnWndProc = &WindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_PLOVANE));
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.lpszClassName = kClassName;
        if (!RegisterClassExW(&wc)) return false;
    }
    const SIZE frame = FrameSize(ScreenDpi());
    HWND hwnd =
        CreateWindowExW(0, kClassName, ui::kFormTitle, kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        frame.cx, frame.cy, nullptr, nullptr, instance, this);
    // The window procedure took ownership of the handle as the window was made.
    if (!hwnd) return false;
    dpi_ = WindowDpi(hwnd);
    if (dpi_ != ScreenDpi()) {
        const SIZE own = FrameSize(dpi_);
        SetWindowPos(hwnd, nullptr, 0, 0, own.cx, own.cy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    KeepTitleBarOnScreen(hwnd);
    CommonDialog1 =
        commonDialog ? std::move(commonDialog) : ui::CreateCommonDialog(hwnd, ui::kOpenFilter);
    return CommonDialog1 && CreateControls();
}

bool Form1::CreateControls() {
    highContrast_ = ui::HighContrastOn();
    if (!SSTab1.Create(hwnd(), ui::SSTab1, ui::PixelRect(ui::kTabRect, dpi_), dpi_, nullptr)) {
        return false;
    }
    auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd(), GWLP_HINSTANCE));
    for (const ui::ControlSpec& design : ui::kPageControls) {
        const ui::ControlClass cls = ui::ClassFor(design.kind);
        HWND control = CreateWindowExW(cls.exStyle, cls.className, design.text,
                                       WS_CHILD | cls.style, 0, 0, 0, 0, SSTab1.hwnd(),
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(design.id)),
                                       instance, nullptr);
        if (!control) return false;
        if (design.kind == ui::ControlKind::TextBox) SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
        if (design.kind == ui::ControlKind::PictureBox) {
            picture_.reset(LoadImageW(instance, MAKEINTRESOURCEW(IDB_ABOUT), IMAGE_BITMAP, 0, 0,
                                      LR_CREATEDIBSECTION));
            SendMessageW(control, ui::kSetPicture, reinterpret_cast<WPARAM>(picture_.get()), 0);
        }
        if (!SSTab1.AddPageControl(control, static_cast<int>(design.page))) return false;
    }
    for (const ui::AccessibleNaming& named : ui::kAccessibleControls) {
        if (!ui::MakeAccessible(Control(named.id))) return false;
    }
    ApplyLayout(dpi_);
    return static_cast<bool>(font_);
}

void Form1::ApplyLayout(int dpi) {
    dpi_ = dpi;
    // The old font goes only once no control uses it any more.
    unique_hgdiobj font(CreateDialogFont(dpi));
    const auto hfont = static_cast<HFONT>(font.get());
    SSTab1.Layout(ui::PixelRect(ui::kTabRect, dpi), dpi, hfont);
    for (const ui::ControlSpec& design : ui::kPageControls) {
        HWND control = Control(design.id);
        const RECT r = ui::PixelRect(design.rect, dpi);
        SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(hfont), TRUE);
    }
    font_ = std::move(font);
}

// Any program can post or send this message, with any density and any pointer: a density
// Windows never uses is ignored, and the suggested frame is taken only when it can be read (a
// pointer to nothing makes ReadProcessMemory fail, where reading it would crash), has about the
// frame's size and has its middle on a monitor. Otherwise the frame keeps its place.
void Form1::OnDpiChanged(int dpi, LPARAM suggested) {
    if (dpi < 96 || dpi > 480) return;
    const SIZE frame = FrameSize(dpi);
    RECT r = {0, 0, frame.cx, frame.cy};
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE;
    RECT s;
    if (ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(suggested), &s,
                          sizeof(s), nullptr) &&
        IsPlausibleFrame(s, frame)) {
        r = s;
        flags = SWP_NOZORDER | SWP_NOACTIVATE;
    }
    SetWindowPos(hwnd(), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, flags);
    KeepTitleBarOnScreen(hwnd());
    ApplyLayout(dpi);
}

HRESULT Form1::Load() {
    com_ptr<messenger::ISessionManager> created;
    const HRESULT hr = messenger::CreateSessionManager(created);
    if (FAILED(hr)) return hr;
    msnsession = std::move(created);
    return S_OK;
}

void Form1::Show(int showCommand) {
    SSTab1.SelectPage(static_cast<int>(ui::Page::Register));
    ShowWindow(hwnd(), showCommand);
    UpdateWindow(hwnd());
    SetFocus(SSTab1.strip());
}

bool Form1::PreTranslateMessage(MSG& msg) {
    if (!hwnd()) return false;
    return SSTab1.TranslatePageKey(msg) || PressFocusedButton(msg) ||
           IsDialogMessageW(hwnd(), &msg);
}

// In a dialog the focused push button is the default one: Enter presses it as Space does. Enter
// anywhere else presses nothing.
bool Form1::PressFocusedButton(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN) return false;
    if (!IsChild(SSTab1.hwnd(), msg.hwnd) || !IsButton(msg.hwnd)) return false;
    const bool repeat = (msg.lParam & (1 << 30)) != 0;
    if (!repeat) SendMessageW(msg.hwnd, BM_CLICK, 0, 0);
    return true;
}

void Form1::RememberFocus() {
    HWND focus = GetFocus();
    if (focus && IsChild(hwnd(), focus)) savedFocus_ = focus;
}

void Form1::RestoreFocus() {
    HWND target = savedFocus_;
    if (!target || !IsChild(hwnd(), target) || !IsWindowVisible(target) ||
        !IsWindowEnabled(target)) {
        target = SSTab1.strip();
    }
    SetFocus(target);
}

HWND Form1::Control(ui::ControlId id) const {
    if (id == ui::SSTab1) return SSTab1.hwnd();
    if (id == ui::SSTab1Strip) return SSTab1.strip();
    return SSTab1.hwnd() ? GetDlgItem(SSTab1.hwnd(), id) : nullptr;
}

LRESULT Form1::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            if (OnCommand(wParam, lParam)) return 0;
            break;
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlType != ODT_BUTTON) break;
            ui::DrawButtonFace(*item, highContrast_);
            return TRUE;
        }
        case WM_CTLCOLOREDIT:
            return ControlColors(reinterpret_cast<HDC>(wParam));
        case WM_ACTIVATE:
            // As the dialog manager does: the focus leaves with the window and comes back with it,
            // never left on the frame.
            if (LOWORD(wParam) == WA_INACTIVE) {
                RememberFocus();
            } else if (!HIWORD(wParam)) {
                RestoreFocus();
            }
            return 0;
        case WM_SETFOCUS:
            RestoreFocus();
            return 0;
        case WM_SETTINGCHANGE:
        case WM_SYSCOLORCHANGE:
            highContrast_ = ui::HighContrastOn();
            RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
            break;
        case kDpiChanged:
            OnDpiChanged(LOWORD(wParam), lParam);
            return 0;
        case WM_DESTROY:
            // The window gives up its COM objects before the apartment goes away.
            msnsession.reset();
            CommonDialog1.reset();
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd(), msg, wParam, lParam);
}

LRESULT Form1::ControlColors(HDC dc) {
    const ui::FaceColors colors = ui::TextBoxColors(highContrast_);
    SetTextColor(dc, colors.text);
    SetBkColor(dc, colors.face);
    return reinterpret_cast<LRESULT>(highContrast_ ? GetSysColorBrush(COLOR_WINDOW)
                                                   : GetStockObject(WHITE_BRUSH));
}

bool Form1::OnCommand(WPARAM wParam, LPARAM lParam) {
    struct ClickRoute {
        ui::ControlId id;
        void (Form1::*handler)();
    };
    static constexpr ClickRoute kRoutes[] = {
        {ui::Command1, &Form1::Command1_Click},
        {ui::Command2, &Form1::Command2_Click},
        {ui::Command3, &Form1::Command3_Click},
    };
    if (HIWORD(wParam) != BN_CLICKED || !lParam) return false;
    for (const ClickRoute& route : kRoutes) {
        if (reinterpret_cast<HWND>(lParam) != Control(route.id)) continue;
        if (busy_) return true;
        // Whatever box the handler shows, the focus comes back here after it.
        RememberFocus();
        busy_ = true;
        (this->*route.handler)();
        busy_ = false;
        return true;
    }
    return false;
}

}  // namespace plovane
