#pragma once
#include <windows.h>

#include "common/unique_bstr.h"

namespace plovane::actions {

// The whole text of a box as a BSTR of exactly its length; an empty box gives an empty BSTR.
HRESULT ReadFieldText(HWND box, unique_bstr& out);

}  // namespace plovane::actions
