#include "ui/button_face.h"

#include "common/unique_handle.h"

namespace plovane::ui {
namespace {

bool AskTheSystem() {
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof(contrast);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

bool (*g_highContrastSource)() = &AskTheSystem;

}  // namespace

bool HighContrastOn() {
    return g_highContrastSource();
}

void SetHighContrastSource(bool (*source)()) {
    g_highContrastSource = source ? source : &AskTheSystem;
}

FaceColors ButtonColors(bool highContrast) {
    if (highContrast) return {GetSysColor(COLOR_BTNFACE), GetSysColor(COLOR_BTNTEXT)};
    return {kDesignedFace, kTextOnDesignedFace};
}

FaceColors TextBoxColors(bool highContrast) {
    if (highContrast) return {GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)};
    return {kDesignedFace, kTextOnDesignedFace};
}

void DrawButtonFace(const DRAWITEMSTRUCT& item, bool highContrast) {
    RECT r = item.rcItem;
    HDC dc = item.hDC;
    const FaceColors colors = ButtonColors(highContrast);
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    unique_hgdiobj face(CreateSolidBrush(colors.face));
    FillRect(dc, &r, static_cast<HBRUSH>(face.get()));
    if (focused) {
        unique_hgdiobj frame(CreateSolidBrush(colors.text));
        FrameRect(dc, &r, static_cast<HBRUSH>(frame.get()));
        InflateRect(&r, -1, -1);
    }
    DrawEdge(dc, &r, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);

    wchar_t caption[64] = {};
    GetWindowTextW(item.hwndItem, caption, 64);
    RECT text = r;
    if (pressed) OffsetRect(&text, 1, 1);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, (item.itemState & ODS_DISABLED) ? GetSysColor(COLOR_GRAYTEXT) : colors.text);
    DrawTextW(dc, caption, -1, &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    if (focused) {
        // The dotted rectangle inverts what lies under it, so it shows on any face.
        SetBkColor(dc, colors.face);
        SetTextColor(dc, colors.text);
        InflateRect(&r, -3, -3);
        DrawFocusRect(dc, &r);
    }
}

}  // namespace plovane::ui
