#pragma once
#include <windows.h>

#include <oaidl.h>
#include "common/base_window.h"
#include "common/com_ptr.h"
#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "ui/design.h"
#include "ui/sstab.h"

namespace plovane {

// The tool's one window. It owns its controls and the session manager for its whole life; the
// click handlers (in actions/) hold all the logic.
class Form1 : public BaseWindow<Form1> {
public:
    Form1() = default;
    ~Form1() { DestroyOwnWindow(); }

    // Builds the window and its controls, not yet shown. The Open-box component is made here
    // unless one is handed in.
    bool Create(HINSTANCE instance, com_ptr<IDispatch> commonDialog = com_ptr<IDispatch>());
    // Creates the session manager. Nothing is trapped here: the caller ends the program when
    // this fails.
    HRESULT Load();
    void Show(int showCommand);
    // Page keys, Enter on a button and dialog navigation, ahead of normal dispatch.
    bool PreTranslateMessage(MSG& msg);

    HWND Control(ui::ControlId id) const;

    void Command1_Click();
    void Command2_Click();
    void Command3_Click();

private:
    friend class BaseWindow<Form1>;
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    bool CreateControls();
    // Places the frame's controls from the design at this density, with a font to match.
    void ApplyLayout(int dpi);
    void OnDpiChanged(int dpi, LPARAM suggested);
    bool OnCommand(WPARAM wParam, LPARAM lParam);
    bool PressFocusedButton(const MSG& msg);
    void RememberFocus();
    void RestoreFocus();
    LRESULT ControlColors(HDC dc);
    HRESULT RegisterFromFields();
    HRESULT UnregisterFromField();
    void ShowError(const wchar_t* prompt);

    unique_hgdiobj font_;
    unique_hgdiobj picture_;
    int dpi_ = 96;
    bool highContrast_ = false;
    // A press that arrives while a handler still runs (under its box) is dropped.
    bool busy_ = false;
    // The control that had the focus when the window was last deactivated.
    HWND savedFocus_ = nullptr;
    ui::TabbedDialog SSTab1;
    com_ptr<IDispatch> CommonDialog1;
    com_ptr<messenger::ISessionManager> msnsession;
};

}  // namespace plovane
