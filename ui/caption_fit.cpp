#include "ui/caption_fit.h"

#include <cstdlib>

#include "common/screen_dc.h"
#include "common/unique_handle.h"
#include "ui/design.h"

namespace plovane::ui {
namespace {

// A caption is cut where it is wider than its room; a label's may take the lines its height has.
bool Fits(HDC dc, const wchar_t* text, int width, int height, bool wraps) {
    RECT r = {0, 0, width, 0};
    const UINT format = DT_CALCRECT | DT_NOPREFIX | (wraps ? DT_WORDBREAK : DT_SINGLELINE);
    DrawTextW(dc, text, -1, &r, format);
    return r.right <= width && (!wraps || r.bottom <= height);
}

}  // namespace

int TabWidth(int stripWidth) {
    return (stripWidth - 6) / kPageCount;
}

int TabCaptionRoom(int stripWidth, int dpi) {
    return TabWidth(stripWidth) - 2 * MulDiv(kTabPaddingX, dpi, 96);
}

bool CaptionsFit(HFONT font, int dpi) {
    screen_dc dc(font);
    if (!dc.get()) return true;
    const RECT tab = PixelRect(kTabRect, dpi);
    const int tabRoom = TabCaptionRoom(tab.right - tab.left, dpi);
    for (const wchar_t* caption : kTabCaptions) {
        if (!Fits(dc.get(), caption, tabRoom, 0, false)) return false;
    }
    const int inset = 2 * MulDiv(kButtonCaptionInset, dpi, 96);
    for (const ControlSpec& design : kPageControls) {
        const RECT r = PixelRect(design.rect, dpi);
        const int width = r.right - r.left;
        const int height = r.bottom - r.top;
        if ((design.kind == ControlKind::Button &&
             !Fits(dc.get(), design.text, width - inset, height, false)) ||
            (design.kind == ControlKind::Label &&
             !Fits(dc.get(), design.text, width, height, true))) {
            return false;
        }
    }
    return true;
}

HFONT CreateFittedFont(LOGFONTW font, int dpi) {
    // The smallest the font is made: half its size, still read where a caption is cut by a letter.
    const LONG smallest = std::abs(font.lfHeight) / 2;
    for (;;) {
        unique_hgdiobj made(CreateFontIndirectW(&font));
        if (!made) return nullptr;
        if (std::abs(font.lfHeight) <= smallest ||
            CaptionsFit(static_cast<HFONT>(made.get()), dpi)) {
            return static_cast<HFONT>(made.release());
        }
        font.lfHeight += font.lfHeight < 0 ? 1 : -1;
    }
}

}  // namespace plovane::ui
