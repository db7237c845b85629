// Register and Unregister: each traps every failure of its body and shows its one fixed prompt.
#include "actions/field_text.h"
#include "app/form1.h"

namespace plovane {
namespace {

constexpr wchar_t kErrorTitle[] = L"Plovane - Error";
constexpr wchar_t kRegisterPrompt[] = L"All feilds must be complete";
constexpr wchar_t kUnregisterPrompt[] = L"Key doesn't exist";

// The order in which Register reads its boxes and passes them on.
constexpr ui::ControlId kRegisterFields[] = {ui::Text4, ui::Text2, ui::Text3, ui::Text1};

}  // namespace

void Form1::Command2_Click() {
    if (FAILED(RegisterFromFields())) ShowError(kRegisterPrompt);
}

void Form1::Command3_Click() {
    if (FAILED(UnregisterFromField())) ShowError(kUnregisterPrompt);
}

HRESULT Form1::RegisterFromFields() {
    unique_bstr texts[4];
    for (int i = 0; i < 4; ++i) {
        const HRESULT hr = actions::ReadFieldText(Control(kRegisterFields[i]), texts[i]);
        if (FAILED(hr)) return hr;
    }
    const auto session = msnsession.copy();
    if (!session) return E_POINTER;
    return session->RegisterProgram(texts[0].get(), texts[1].get(), texts[2].get(), texts[3].get(),
                                    0);
}

HRESULT Form1::UnregisterFromField() {
    const auto session = msnsession.copy();
    if (!session) return E_POINTER;
    unique_bstr keyName;
    const HRESULT hr = actions::ReadFieldText(Control(ui::Text5), keyName);
    if (FAILED(hr)) return hr;
    return session->UnregisterProgram(keyName.get());
}

// A call that fails after the window was closed under it (a slow server in another process)
// has no window left to report to: a box then would stand alone after the program's window is
// gone.
void Form1::ShowError(const wchar_t* prompt) {
    if (!hwnd()) return;
    MessageBoxW(hwnd(), prompt, kErrorTitle, MB_OK | MB_ICONHAND);
}

}  // namespace plovane
