#pragma once
#include <windows.h>

#include "ui/design.h"

namespace plovane::ui {

// Makes the control answer a screen reader (MSAA, WM_GETOBJECT) with the name, role and
// description of its row in kAccessibleControls, found by its control id; everything else a
// reader asks is the system's standard answer. Nothing is loaded or made until a reader first
// asks.
bool MakeAccessible(HWND control);

}  // namespace plovane::ui
