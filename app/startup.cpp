#include "app/startup.h"

#include <cwchar>

#include "app/form1.h"
#include "common/com_apartment.h"
#include "common/system_text.h"

namespace plovane {
namespace {

constexpr int kExitStartupFailed = 1;

std::wstring Described(HRESULT hr) {
    const std::wstring text = SystemText(static_cast<DWORD>(hr));
    return text.empty() ? L"no description is known" : text;
}

void ReportStartupFailure(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), ui::kFormTitle, MB_OK | MB_ICONHAND | MB_SETFOREGROUND);
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

std::wstring DescribeStartupFailure(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return L"The MSN Messenger session manager could not be created (class "
           L"{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}), so the tool cannot start.\n\nError " +
           std::wstring(code) + L": " + Described(hr);
}

int RunProgram(HINSTANCE instance, int showCommand) {
    com_apartment apartment;
    if (FAILED(apartment.status())) {
        ReportStartupFailure(DescribeStartupFailure(apartment.status()));
        return kExitStartupFailed;
    }
    Form1 form;
    if (!form.Create(instance)) {
        const DWORD error = GetLastError();
        ReportStartupFailure(DescribeStartupFailure(error ? HRESULT_FROM_WIN32(error) : E_FAIL));
        return kExitStartupFailed;
    }
    const HRESULT loaded = form.Load();
    if (FAILED(loaded)) {
        DestroyWindow(form.hwnd());
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        ReportStartupFailure(DescribeStartupFailure(loaded));
        return kExitStartupFailed;
    }
    form.Show(showCommand);
    return RunMessageLoop(form);
}

}  // namespace plovane
