#pragma once
#include <windows.h>

namespace plovane::ui {

// The room a tab leaves at each side of its caption (it draws the caption within its edges), and
// a button inside its focus rectangle, in pixels at 96 DPI.
inline constexpr int kTabPaddingX = 3;
inline constexpr int kButtonCaptionInset = 4;

// Three equal tabs in one row, a little narrower than the strip so that no scroll arrows appear.
int TabWidth(int stripWidth);
// The width a page's caption has on its tab, in a strip this wide at this density.
int TabCaptionRoom(int stripWidth, int dpi);

// True when every caption the window shows fits its tab, button or label in this font at this
// density: a tab's caption on one line within the tab's padding, a button's within its edges, a
// label's lines within its height.
bool CaptionsFit(HFONT font, int dpi);

// The font made from this description at the largest size, down to half, in which every caption
// fits: the designed face fits at its own size, and a wider face that stands in for it where it is
// missing is made as much smaller as it needs. Null when no font can be made.
HFONT CreateFittedFont(LOGFONTW font, int dpi);

}  // namespace plovane::ui
