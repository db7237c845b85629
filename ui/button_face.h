#pragma once
#include <windows.h>

namespace plovane::ui {

inline constexpr COLORREF kButtonFace = RGB(255, 255, 255);

// Paints a graphical-style button: a white face, raised, sunken while pressed, the caption
// centred and a focus rectangle while it has the focus.
void DrawButtonFace(const DRAWITEMSTRUCT& item);

}  // namespace plovane::ui
