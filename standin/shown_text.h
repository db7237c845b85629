#pragma once
// Names and paths made fit to show: every text an entry's writer chose reads as its text, in the
// menu, the status line and the error box alike, and no text keeps any of them from showing.
#include <windows.h>

#include "common/text_buffer.h"
#include "common/unique_handle.h"
#include "standin/store_reader.h"

namespace plovane::standin {

// Longer texts are cut, so that no one entry can keep the menu (or its status line) from
// showing: Windows fails to open a popup with an item of some millions of characters.
inline constexpr size_t kMaxShownLength = 260;

// Room for three cut texts and their words, or a cut name with every character doubled.
using MenuText = text_buffer<3 * kMaxShownLength + 64>;
using BoxText = text_buffer<4 * kMaxShownLength + 640>;

// The screen's DC with one of the system's fonts selected, for measuring texts shown in it
// against the widest they may be: a share of the work area's width.
class ShownFont {
public:
    ShownFont(LOGFONTW NONCLIENTMETRICSW::*font, int share);
    ~ShownFont();
    ShownFont(const ShownFont&) = delete;
    ShownFont& operator=(const ShownFont&) = delete;
    int widest() const { return widest_; }
    // How many of the first length characters fit in width pixels; all of them when unsure.
    size_t Fitting(const wchar_t* text, size_t length, int width) const;
    int Width(const wchar_t* text, size_t length) const;

private:
    HDC dc_;
    unique_hgdiobj font_;
    HGDIOBJ old_ = nullptr;
    int widest_ = 0;
};

// A menu's items are no wider than half the work area, so that a popup stays on the screen.
inline ShownFont MenuFont() {
    return ShownFont(&NONCLIENTMETRICSW::lfMenuFont, 2);
}

// The entry's menu item: its menu name, or its key name, marked, where that cannot be shown; cut
// with an ellipsis where it is wider than the font lets an item be.
MenuText ItemText(const MenuEntry& entry, const ShownFont& font);
// What the status line says of the highlighted entry: its name too, where its item is cut, so
// that the name can be read whole.
MenuText StatusText(const MenuEntry& entry, const ShownFont& font);
// The error box's text for an entry whose program could not be started, in lines as written.
BoxText StartFailureText(const MenuEntry& entry, DWORD error);
// The same text broken into lines that fit the screen.
BoxText FitToScreen(const BoxText& text);

}  // namespace plovane::standin
