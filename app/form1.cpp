#include "app/form1.h"

#include <commctrl.h>

#include "ui/button_face.h"
#include "ui/common_dialog.h"
#include "ui/picture_box.h"
#include "ui/resources.h"

namespace plovane {
namespace {

constexpr wchar_t kClassName[] = L"PlovaneForm1";
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

struct ControlClass {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};

ControlClass ClassFor(ui::ControlKind kind) {
    switch (kind) {
        case ui::ControlKind::TextBox:
            return {L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
        case ui::ControlKind::Button:
            return {L"BUTTON", WS_TABSTOP | BS_OWNERDRAW, 0};
        case ui::ControlKind::Label:
            return {L"STATIC", SS_LEFT, 0};
        case ui::ControlKind::PictureBox:
        default:
            return {ui::kPictureBoxClass, WS_TABSTOP, WS_EX_CLIENTEDGE};
    }
}

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

HFONT CreateDialogFont() {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        return nullptr;
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

RECT PixelRect(const ui::TwipRect& r, int dpi) {
    const int left = ui::TwipsToPixels(r.left, dpi);
    const int top = ui::TwipsToPixels(r.top, dpi);
    return {left, top, left + ui::TwipsToPixels(r.width, dpi),
            top + ui::TwipsToPixels(r.height, dpi)};
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
    dpi_ = ScreenDpi();
    RECT frame = {0, 0, ui::TwipsToPixels(ui::kClientWidthTwips, dpi_),
                  ui::TwipsToPixels(ui::kClientHeightTwips, dpi_)};
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, 0);
    HWND hwnd = CreateWindowExW(0, kClassName, ui::kFormTitle, kFormStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                nullptr, nullptr, instance, this);
    // The window procedure took ownership of the handle as the window was made.
    if (!hwnd) return false;
    CommonDialog1 =
        commonDialog ? std::move(commonDialog) : ui::CreateCommonDialog(hwnd, ui::kOpenFilter);
    return CommonDialog1 && CreateControls();
}

bool Form1::CreateControls() {
    font_.reset(CreateDialogFont());
    auto font = static_cast<HFONT>(font_.get());
    if (!SSTab1.Create(hwnd(), ui::SSTab1, PixelRect(ui::kTabRect, dpi_), dpi_, font)) {
        return false;
    }
    auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd(), GWLP_HINSTANCE));
    for (const ui::ControlSpec& design : ui::kPageControls) {
        const ControlClass cls = ClassFor(design.kind);
        const RECT r = PixelRect(design.rect, dpi_);
        HWND control = CreateWindowExW(
            cls.exStyle, cls.className, design.text, WS_CHILD | cls.style, r.left, r.top,
            r.right - r.left, r.bottom - r.top, SSTab1.hwnd(),
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(design.id)), instance, nullptr);
        if (!control) return false;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (design.kind == ui::ControlKind::TextBox) SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
        if (design.kind == ui::ControlKind::PictureBox) {
            picture_.reset(LoadImageW(instance, MAKEINTRESOURCEW(IDB_ABOUT), IMAGE_BITMAP, 0, 0,
                                      LR_CREATEDIBSECTION));
            SendMessageW(control, ui::kSetPicture, reinterpret_cast<WPARAM>(picture_.get()), 0);
        }
        SSTab1.AddPageControl(control, static_cast<int>(design.page));
    }
    return true;
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
    return SSTab1.TranslatePageKey(msg) || IsDialogMessageW(hwnd(), &msg);
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
            ui::DrawButtonFace(*item);
            return TRUE;
        }
        case WM_CTLCOLOREDIT:
            SetBkColor(reinterpret_cast<HDC>(wParam), RGB(255, 255, 255));
            return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
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
        if (reinterpret_cast<HWND>(lParam) == Control(route.id)) {
            (this->*route.handler)();
            return true;
        }
    }
    return false;
}

}  // namespace plovane
