#pragma once
// A shown window whose session manager is a fake served through the real creation path.
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
