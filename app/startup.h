#pragma once
#include <windows.h>

namespace plovane {

// Runs the tool: the one window, its load, its message loop. Returns the process exit code.
int RunProgram(HINSTANCE instance, int showCommand);

// What the user is told when the session manager cannot be created.
struct StartupReport {
    wchar_t text[1024];
};
StartupReport DescribeStartupFailure(HRESULT hr);

}  // namespace plovane
