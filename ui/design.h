#pragma once
#include <windows.h>

#include <cstddef>

namespace plovane::ui {

// Every position in the design is in twips (1/1440 inch); at 96 DPI fifteen make one pixel.
inline int TwipsToPixels(int twips, int dpi) {
    return MulDiv(twips, dpi, 1440);
}

enum class ControlKind { TextBox, Button, Label, PictureBox };
enum class Page { Register = 0, Unregister = 1, About = 2 };
inline constexpr int kPageCount = 3;

// Control identifiers stay clear of IDOK and IDCANCEL, which the dialog manager sends for Enter
// and Esc.
enum ControlId : int {
    Text1 = 101,
    Text2,
    Text3,
    Text4,
    Text5,
    Command1 = 111,
    Command2,
    Command3,
    Label1 = 121,
    Label2,
    Label3,
    Picture1 = 131,
    SSTab1 = 140,
    SSTab1Strip = 141,
};

struct TwipRect {
    int left, top, width, height;
};

struct ControlSpec {
    ControlId id;
    const wchar_t* name;
    ControlKind kind;
    Page page;
    TwipRect rect;
    const wchar_t* text;
    int tabIndex;
};

inline constexpr wchar_t kFormTitle[] = L"Plovane - Add Programs to Actions list";
inline constexpr int kClientWidthTwips = 4905;
inline constexpr int kClientHeightTwips = 3135;
inline constexpr TwipRect kTabRect = {0, 0, 4935, 3135};
inline constexpr int kTabHeightHundredthsMm = 520;
inline constexpr const wchar_t* kTabCaptions[kPageCount] = {L"Register Program",
                                                            L"Unregister Program", L"About"};
inline constexpr wchar_t kOpenFilter[] = L"All files (*.*) | *.*";

// The twelve page controls, in tab-index order (the tab strip itself is index 0).
// Its rows are constants, so it is initialised before any code runs; the check cannot see into
// design.cpp to know that.
extern const ControlSpec kPageControls[12];  // NOLINT(bugprone-dynamic-static-initializers)
inline constexpr std::size_t kPageControlCount = 12;

const ControlSpec* FindControl(ControlId id);

// What a screen reader says of a control: its name (null: the designed text, for controls whose
// text is their name), its MSAA role, and a description where one helps. Text boxes are named
// here because their initial text is gone as soon as the user types over it.
struct AccessibleNaming {
    ControlId id;
    const wchar_t* name;
    long role;
    const wchar_t* description;
};
inline constexpr std::size_t kAccessibleControlCount = kPageControlCount + 1;
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers)
extern const AccessibleNaming kAccessibleControls[kAccessibleControlCount];

const AccessibleNaming* FindAccessible(ControlId id);

// A design rectangle in pixels at this density.
RECT PixelRect(const TwipRect& r, int dpi);

// The window class and styles each kind of control is made with.
struct ControlClass {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};
ControlClass ClassFor(ControlKind kind);

}  // namespace plovane::ui
