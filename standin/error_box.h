#pragma once
// The Actions window's error box: it keeps to the screen, and what is copied from it pastes back
// as written.
#include <windows.h>

#include "standin/shown_text.h"

namespace plovane::standin {

// Shows text in a message box, its lines broken to fit the screen. Ctrl+C (or Ctrl+Insert) in
// the box copies it as a standard box does, but with the text as written: a long path broken
// into lines to be shown pastes back whole.
int ShowErrorBox(HWND owner, const BoxText& text, const wchar_t* title, UINT type);

}  // namespace plovane::standin
