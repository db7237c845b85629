#pragma once
#include <windows.h>

namespace plovane::ui {

// A focusable picture box: a 3D border, and a bitmap drawn at its own size from the top-left
// corner, neither scaled nor resizing the box. The bitmap stays its owner's.
inline constexpr wchar_t kPictureBoxClass[] = L"PlovanePictureBox";
inline constexpr UINT kSetPicture = WM_APP + 1;  // wParam: the HBITMAP to show

bool RegisterPictureBoxClass(HINSTANCE instance);

}  // namespace plovane::ui
