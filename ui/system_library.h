#pragma once
#include <windows.h>

namespace plovane::ui {

// Loads a DLL that ships with Windows from the system folder, never from the program's own folder
// or the search path, on every Windows the tool runs on. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);

}  // namespace plovane::ui
