#include "standin/shown_text.h"

#include <cwchar>

#include "common/system_text.h"
#include "common/unique_handle.h"

namespace plovane::standin {
namespace {

// A character that would not read as itself: a tab moves what follows into a menu item's
// shortcut column (or the status line's next part), a line break shows as a box.
bool IsControl(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The marks that reorder the text around them (embeddings, overrides, isolates, and the
// direction marks): a name holding U+202E then "Entry txe.exe" would read "exe.ext yrtnE".
bool IsDirectionMark(wchar_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
           c == 0x200F || c == 0x061C;
}

// Either is shown as a space, so a text reads in the order it is stored.
bool ShownAsSpace(wchar_t c) {
    return IsControl(c) || IsDirectionMark(c);
}

template <class Text>
Text& AppendShown(Text& out, const wchar_t* text, size_t length, bool doubleAmpersands = false) {
    size_t kept = length;
    if (length > kMaxShownLength) {
        kept = kMaxShownLength - 1;
        if (IS_HIGH_SURROGATE(text[kept - 1])) --kept;  // never half a character
    }
    for (size_t i = 0; i < kept; ++i) {
        out.append(ShownAsSpace(text[i]) ? L' ' : text[i]);
        if (doubleAmpersands && text[i] == L'&')
            out.append(L'&');  // shown as typed, never as a mnemonic
    }
    if (kept < length) out.append(L'\x2026');
    return out;
}

template <class Text>
Text& AppendShown(Text& out, const unique_bstr& text, bool doubleAmpersands = false) {
    return AppendShown(out, text.get() ? text.get() : L"", text.length(), doubleAmpersands);
}

// Empty, or spaces and control characters alone: as a menu item, a blank line that starts
// something all the same.
bool ShowsBlank(const unique_bstr& text) {
    for (UINT i = 0; i < text.length(); ++i) {
        if (text.get()[i] != L' ' && !ShownAsSpace(text.get()[i])) return false;
    }
    return true;
}

// The entry as the user knows it: by its menu name, or by its key name, marked, where the menu
// name cannot be shown.
template <class Text>
Text& AppendName(Text& out, const MenuEntry& entry, bool doubleAmpersands) {
    if (!entry.damaged && !ShowsBlank(entry.menuName))
        return AppendShown(out, entry.menuName, doubleAmpersands);
    AppendShown(out, entry.keyName, static_cast<size_t>(lstrlenW(entry.keyName)), doubleAmpersands);
    return out.append(entry.damaged ? L" (damaged)" : L" (no menu name)");
}

template <class Text>
void AppendDescribed(Text& out, DWORD error) {
    wchar_t described[512];
    if (SystemText(error, described, 512)) {
        out.append(described);
    } else {
        out.append(L"error ").append_number(error);
    }
}

// Where a line too wide is broken: after the last path separator of the part that fits (unless
// that leaves the line less than half full), else where it stops fitting; at least one
// character, and never between the halves of a surrogate pair.
size_t BreakAt(const wchar_t* line, size_t fit) {
    if (fit == 0) fit = 1;
    for (size_t i = fit; i > fit / 2 && i > 1; --i) {
        if (line[i - 1] == L'\\' || line[i - 1] == L'/') return i;
    }
    if (fit > 1 && IS_LOW_SURROGATE(line[fit])) --fit;
    return fit;
}

// Cut where it fits before an ellipsis, never between the halves of a surrogate pair or of a
// doubled ampersand.
MenuText Shortened(const MenuText& text, const ShownFont& font) {
    if (font.Fitting(text.c_str(), text.length(), font.widest()) >= text.length()) return text;
    const wchar_t ellipsis = L'\x2026';
    size_t kept =
        font.Fitting(text.c_str(), text.length(), font.widest() - font.Width(&ellipsis, 1));
    if (kept > 0 && IS_HIGH_SURROGATE(text.c_str()[kept - 1])) --kept;
    size_t ampersands = 0;
    while (ampersands < kept && text.c_str()[kept - 1 - ampersands] == L'&')
        ++ampersands;
    kept -= ampersands % 2;
    MenuText cut;
    return cut.append(text.c_str(), kept).append(ellipsis);
}

}  // namespace

ShownFont::ShownFont(LOGFONTW NONCLIENTMETRICSW::*font, int share) : dc_(GetDC(nullptr)) {
    RECT work = {0, 0, 800, 600};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    widest_ = (work.right - work.left) / share;
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        font_.reset(CreateFontIndirectW(&(metrics.*font)));
    if (dc_ && font_) old_ = SelectObject(dc_, font_.get());
}

ShownFont::~ShownFont() {
    if (old_) SelectObject(dc_, old_);
    if (dc_) ReleaseDC(nullptr, dc_);
}

size_t ShownFont::Fitting(const wchar_t* text, size_t length, int width) const {
    int fit = 0;
    SIZE size = {};
    if (!old_ ||
        !GetTextExtentExPointW(dc_, text, static_cast<int>(length), width, &fit, nullptr, &size)) {
        return length;
    }
    return static_cast<size_t>(fit);
}

int ShownFont::Width(const wchar_t* text, size_t length) const {
    SIZE size = {};
    return old_ && GetTextExtentPoint32W(dc_, text, static_cast<int>(length), &size) ? size.cx : 0;
}

// A message box is as wide as its longest line, and a line with no space in it (a long path) is
// not wrapped: such a box ran off the screen, its text and caption with it. Each line is broken
// here so that it fits in half the work area at the box's font; nothing is left out.
BoxText FitToScreen(const BoxText& text) {
    const ShownFont font(&NONCLIENTMETRICSW::lfMessageFont, 2);
    BoxText fitted;
    const wchar_t* at = text.c_str();
    while (*at) {
        size_t line = std::wcscspn(at, L"\n");
        while (line > 0) {
            const size_t fit = font.Fitting(at, line, font.widest());
            const size_t kept = fit >= line ? line : BreakAt(at, fit);
            fitted.append(at, kept);
            at += kept;
            line -= kept;
            if (line > 0) fitted.append(L'\n');
        }
        if (*at == L'\n') fitted.append(*at++);
    }
    return fitted;
}

MenuText ItemText(const MenuEntry& entry, const ShownFont& font) {
    MenuText text;
    AppendName(text, entry, true);
    return Shortened(text, font);
}

MenuText StatusText(const MenuEntry& entry, const ShownFont& font) {
    MenuText text;
    MenuText name;
    AppendName(name, entry, true);
    if (font.Fitting(name.c_str(), name.length(), font.widest()) < name.length())
        AppendName(text, entry, false).append(L"    ");
    AppendShown(text.append(L"Key: "), entry.keyName, static_cast<size_t>(lstrlenW(entry.keyName)));
    if (entry.damaged) {
        text.append(L"    damaged: it cannot be started");
    } else {
        AppendShown(text.append(L"    URL: "), entry.url);
    }
    return text;
}

BoxText StartFailureText(const MenuEntry& entry, DWORD error) {
    BoxText text;
    AppendName(text.append(L"The program of \""), entry, false);
    AppendShown(text.append(L"\" could not be started.\n\n"), entry.path).append(L"\n\n");
    AppendDescribed(text, error);
    return text;
}

}  // namespace plovane::standin
