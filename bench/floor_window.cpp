// The floor under the tool's start-up and footprint: its first window rebuilt from the same
// design table with none of its logic. COM, common controls 6 (the tool's own resources and
// manifest), the session manager, the frame, the tab container and strip, and the twelve
// controls with their font, icon and picture are made as the tool makes them; every window
// procedure is DefWindowProc's. Built with a lower PLOVANE_FLOOR_RUNG it stops short, so that
// each step's cost can be seen on its own.
#include <windows.h>

#include <commctrl.h>

#include "common/com_apartment.h"
#include "common/com_ptr.h"
#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "ui/design.h"
#include "ui/picture_box.h"
#include "ui/resources.h"

#ifndef PLOVANE_FLOOR_RUNG
#define PLOVANE_FLOOR_RUNG 4
#endif

namespace {

using namespace plovane;

// 1: a bare window in a COM apartment; 2: common controls 6 and the tab strip; 3: the session
// manager too; 4: the font, the icon, the twelve controls and the picture.
constexpr int kRung = PLOVANE_FLOOR_RUNG;
constexpr const wchar_t* kFrameClasses[] = {L"", L"PlovaneRung1", L"PlovaneRung2", L"PlovaneRung3",
                                            L"PlovaneFloor"};
constexpr wchar_t kContainerClass[] = L"PlovaneTabbedDialog";
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

bool RegisterPlainClass(HINSTANCE instance, const wchar_t* name, HBRUSH background, HICON icon) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &FrameProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hIcon = icon;
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    return RegisterClassExW(&wc) != 0;
}

HWND CreateChild(const wchar_t* className, DWORD style, DWORD exStyle, const wchar_t* text,
                 const RECT& r, HWND parent, int id) {
    return CreateWindowExW(
        exStyle, className, text, WS_CHILD | style, r.left, r.top, r.right - r.left,
        r.bottom - r.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
}

// The tab container and its strip of three equal tabs; returns the container. (The lowest rung
// leaves this and the controls out.)
[[maybe_unused]] HWND CreateTabs(HWND frame, int dpi, HFONT font) {
    const RECT bounds = ui::PixelRect(ui::kTabRect, dpi);
    HWND container = CreateChild(kContainerClass, WS_VISIBLE | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT,
                                 L"", bounds, frame, ui::SSTab1);
    if (!container) return nullptr;
    // Made empty and sized once it has its tabs, as the tool makes it: the tabs' scroll arrows,
    // hidden, come with that.
    HWND strip = CreateChild(
        WC_TABCONTROLW,
        WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS | TCS_FIXEDWIDTH | TCS_FOCUSONBUTTONDOWN, 0, L"",
        {}, container, ui::SSTab1Strip);
    if (!strip) return nullptr;
    for (int page = 0; page < ui::kPageCount; ++page) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(ui::kTabCaptions[page]);
        SendMessageW(strip, TCM_INSERTITEMW, page, reinterpret_cast<LPARAM>(&item));
    }
    const int width = bounds.right - bounds.left;
    const int tabHeight = MulDiv(ui::kTabHeightHundredthsMm, dpi, 2540);
    SetWindowPos(strip, nullptr, 0, 0, width, tabHeight + 2, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(strip, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(strip, TCM_SETITEMSIZE, 0, MAKELPARAM((width - 6) / ui::kPageCount, tabHeight));
    return container;
}

// The twelve controls where the design puts them, the first page's shown.
[[maybe_unused]] bool CreatePageControls(HWND container, int dpi, HFONT font, HBITMAP picture) {
    for (const ui::ControlSpec& design : ui::kPageControls) {
        const ui::ControlClass cls = ui::ClassFor(design.kind);
        const DWORD shown = design.page == ui::Page::Register ? WS_VISIBLE : 0;
        HWND control = CreateChild(cls.className, cls.style | shown, cls.exStyle, design.text,
                                   ui::PixelRect(design.rect, dpi), container, design.id);
        if (!control) return false;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (design.kind == ui::ControlKind::TextBox) SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
        if (design.kind == ui::ControlKind::PictureBox) {
            SendMessageW(control, ui::kSetPicture, reinterpret_cast<WPARAM>(picture), 0);
        }
    }
    return true;
}

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

HFONT CreateMessageFont() {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        return nullptr;
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

int Run(HINSTANCE instance, int showCommand) {
    com_apartment apartment;
    if (FAILED(apartment.status())) return 1;
    if constexpr (kRung >= 2) {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
        if (!InitCommonControlsEx(&controls)) return 1;
        if (!RegisterPlainClass(instance, kContainerClass,
                                reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1), nullptr)) {
            return 1;
        }
    }
    if (kRung >= 4 && !ui::RegisterPictureBoxClass(instance)) return 1;
    HICON icon = kRung >= 4 ? LoadIconW(instance, MAKEINTRESOURCEW(IDI_PLOVANE)) : nullptr;
    if (!RegisterPlainClass(instance, kFrameClasses[kRung],
                            static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)), icon)) {
        return 1;
    }
    const int dpi = ScreenDpi();
    RECT frame = {0, 0, ui::TwipsToPixels(ui::kClientWidthTwips, dpi),
                  ui::TwipsToPixels(ui::kClientHeightTwips, dpi)};
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, 0);
    HWND hwnd = CreateWindowExW(0, kFrameClasses[kRung], ui::kFormTitle, kFormStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                nullptr, nullptr, instance, nullptr);
    if (!hwnd) return 1;
    unique_hgdiobj font(kRung >= 4 ? CreateMessageFont() : nullptr);
    unique_hgdiobj picture(kRung >= 4 ? LoadImageW(instance, MAKEINTRESOURCEW(IDB_ABOUT),
                                                   IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)
                                      : nullptr);
    if constexpr (kRung >= 2) {
        HWND container = CreateTabs(hwnd, dpi, static_cast<HFONT>(font.get()));
        if (!container) return 1;
        if (kRung >= 4 && !CreatePageControls(container, dpi, static_cast<HFONT>(font.get()),
                                              static_cast<HBITMAP>(picture.get()))) {
            return 1;
        }
    }
    com_ptr<messenger::ISessionManager> session;
    if (kRung >= 3 && FAILED(messenger::CreateSessionManager(session))) return 1;
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return Run(instance, showCommand);
}
