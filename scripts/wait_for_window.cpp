// scripts/run's wait for the Actions window: ends with 0 once a window of the class named on the
// command line is shown, active and done with what it was sent, or with 1 after 30 s without one.
// The tool started after it is then the window shown last, in front with the focus.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR className, int) {
    for (int tries = 0; tries < 3000; ++tries, Sleep(10)) {
        HWND window = FindWindowW(className, nullptr);
        DWORD_PTR answer = 0;
        if (window && IsWindowVisible(window) && GetForegroundWindow() == window &&
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer)) {
            return 0;
        }
    }
    return 1;
}
