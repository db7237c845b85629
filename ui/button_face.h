#pragma once
#include <windows.h>

namespace plovane::ui {

// The designed face of every button and the background of every text box.
inline constexpr COLORREF kDesignedFace = RGB(255, 255, 255);
// Captions and typed text on the designed white: whatever the colour scheme says of text, this
// reads there.
inline constexpr COLORREF kTextOnDesignedFace = RGB(0, 0, 0);

// True while the user runs a high-contrast scheme. Windows then asks every program to draw in
// the scheme's own colours, so the designed white gives way to them.
bool HighContrastOn();
// Where HighContrastOn() asks; null puts back the system's answer. Wine never reports the flag,
// so the tests answer for it.
void SetHighContrastSource(bool (*source)());

// The colours a button face or a text box is drawn in under the scheme in force.
struct FaceColors {
    COLORREF face;
    COLORREF text;
};
FaceColors ButtonColors(bool highContrast);
FaceColors TextBoxColors(bool highContrast);

// Paints a graphical-style button: its face, raised, sunken while pressed, the caption centred,
// and while it has the focus a frame (Enter presses it, as the default button) and a focus
// rectangle.
void DrawButtonFace(const DRAWITEMSTRUCT& item, bool highContrast);

}  // namespace plovane::ui
