#include "app/startup.h"

#include "app/form1.h"
#include "common/com_apartment.h"
#include "common/system_text.h"

namespace plovane {
namespace {

constexpr int kExitStartupFailed = 1;

void ReportStartupFailure(HRESULT hr) {
    MessageBoxW(nullptr, DescribeStartupFailure(hr).text, ui::kFormTitle,
                MB_OK | MB_ICONHAND | MB_SETFOREGROUND);
}

int RunMessageLoop(Form1& form) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (form.PreTranslateMessage(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

StartupReport DescribeStartupFailure(HRESULT hr) {
    wchar_t described[512];
    if (!SystemText(static_cast<DWORD>(hr), described, 512)) {
        lstrcpynW(described, L"no description is known", 512);
    }
    StartupReport report;
    wsprintfW(report.text,
              L"The MSN Messenger session manager could not be created (class "
              L"{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}), so the tool cannot start.\n\nError "
              L"0x%08lX: %s",
              static_cast<unsigned long>(hr), described);
    return report;
}

int RunProgram(HINSTANCE instance, int showCommand) {
    com_apartment apartment;
    if (FAILED(apartment.status())) {
        ReportStartupFailure(apartment.status());
        return kExitStartupFailed;
    }
    Form1 form;
    if (!form.Create(instance)) {
        const DWORD error = GetLastError();
        ReportStartupFailure(error ? HRESULT_FROM_WIN32(error) : E_FAIL);
        return kExitStartupFailed;
    }
    const HRESULT loaded = form.Load();
    if (FAILED(loaded)) {
        DestroyWindow(form.hwnd());
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        ReportStartupFailure(loaded);
        return kExitStartupFailed;
    }
    form.Show(showCommand);
    return RunMessageLoop(form);
}

}  // namespace plovane
