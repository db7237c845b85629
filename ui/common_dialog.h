#pragma once
#include <windows.h>

#include <oaidl.h>

#include <string>

#include "common/com_ptr.h"

namespace plovane::ui {

// The Open-box component: called late-bound, as its container calls such controls.
enum CommonDialogDispId : DISPID {
    kDispFileName = 1,   // property: the current file name
    kDispShowOpen = 30,  // method: shows the Open box
};

struct FileFilter {
    std::wstring description;
    std::wstring pattern;
};

// "description|pattern" taken apart at the bar, the blanks on either side kept.
FileFilter ParseFilter(const std::wstring& filter);

// A new Open-box component for the given owner window and filter. ShowOpen succeeds when the
// user picks a file; a cancel or a failure of the box is a failing status, and the file name
// stays what it was.
com_ptr<IDispatch> CreateCommonDialog(HWND owner, const std::wstring& filter);

}  // namespace plovane::ui
