#pragma once
// A shown window whose session manager is a fake served through the real creation path.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/form1.h"
#include "common/com_apartment.h"
#include "tests/support/fake_session.h"
#include "tests/support/window_helpers.h"

namespace plovane::testing {

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(apartment_.status());
        registered_ = std::make_unique<RegisteredFake>(fake_);
        ASSERT_HRESULT_SUCCEEDED(registered_->status());
        ASSERT_TRUE(form_.Create(GetModuleHandleW(nullptr), MakeCommonDialog()));
        ASSERT_HRESULT_SUCCEEDED(form_.Load());
        form_.Show(SW_SHOWNORMAL);
        testing::PumpMessages();
    }
    void TearDown() override {
        if (form_.hwnd()) DestroyWindow(form_.hwnd());
        testing::PumpMessages();
    }

    // The Open-box component handed to the window; empty gives it its own.
    virtual com_ptr<IDispatch> MakeCommonDialog() { return com_ptr<IDispatch>(); }

    HWND control(ui::ControlId id) const { return form_.Control(id); }
    void type(ui::ControlId id, const std::wstring& text) {
        testing::SetWindowTextTo(control(id), text);
    }
    std::wstring text(ui::ControlId id) const { return testing::WindowText(control(id)); }
    // One key press as the message loop would see it, with the given modifiers held.
    void Key(UINT vk, bool shift = false, bool ctrl = false) {
        BYTE state[256] = {};
        GetKeyboardState(state);
        state[VK_SHIFT] = shift ? 0x80 : 0;
        state[VK_CONTROL] = ctrl ? 0x80 : 0;
        SetKeyboardState(state);
        for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
            MSG msg = {};
            msg.hwnd = GetFocus();
            msg.message = message;
            msg.wParam = vk;
            msg.lParam = 1;
            if (!form_.PreTranslateMessage(msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            testing::PumpMessages();
        }
        state[VK_SHIFT] = state[VK_CONTROL] = 0;
        SetKeyboardState(state);
    }
    // A tab chosen as a click on it would choose it.
    void ChoosePage(int page) {
        SendMessageW(control(ui::SSTab1Strip), TCM_SETCURFOCUS, page, 0);
        testing::PumpMessages();
    }
    void press(ui::ControlId id) {
        SendMessageW(control(id), BM_CLICK, 0, 0);
        testing::PumpMessages();
    }

    com_apartment apartment_;
    FakeSessionManager fake_;
    std::unique_ptr<RegisteredFake> registered_;
    Form1 form_;
};

}  // namespace plovane::testing
