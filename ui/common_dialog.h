#pragma once
#include <windows.h>

#include <oaidl.h>

#include <cstddef>

#include "common/com_ptr.h"

namespace plovane::ui {

// The Open-box component: called late-bound, as its container calls such controls.
enum CommonDialogDispId : DISPID {
    kDispFileName = 1,   // property: the current file name
    kDispShowOpen = 30,  // method: shows the Open box
};

// "description|pattern" as the Open box takes its filter: each of the two texts ended by a NUL,
// and one more NUL to close the list; the blanks on either side of the bar are kept. A filter
// without a bar shows all files under its text. False when it does not fit in capacity.
bool BuildFilter(const wchar_t* filter, wchar_t* out, size_t capacity);

// A new Open-box component for the given owner window and filter. ShowOpen succeeds when the
// user picks a file; a cancel or a failure of the box is a failing status, and the file name
// stays what it was.
com_ptr<IDispatch> CreateCommonDialog(HWND owner, const wchar_t* filter);

}  // namespace plovane::ui
