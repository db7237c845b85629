// The window with a fake session manager behind the real creation path: what each press sends,
// what the user is shown, and that every reference and string taken is given back.
#include <gtest/gtest.h>

#include <memory>

#include "app/form1.h"
#include "app/startup.h"
#include "common/com_apartment.h"
#include "tests/support/box_catcher.h"
#include "tests/support/fake_session.h"
#include "tests/support/form_fixture.h"
#include "tests/support/malloc_spy.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane {
namespace {

using testing::BoxCatcher;
using testing::FormTest;

const std::wstring kInitialKey = L"Keyname (recommended to use your menu name)";

TEST_F(FormTest, LoadCreatesOneSessionManagerAndHoldsTheOnlyReference) {
    EXPECT_EQ(registered_->instancesCreated(), 1);
    EXPECT_EQ(fake_.references(), 1);
    press(ui::Command2);
    press(ui::Command3);
    EXPECT_EQ(registered_->instancesCreated(), 1) << "a press must never create another one";
}

TEST_F(FormTest, RegisterSendsTheFourBoxesInOrderWithZeroFlagsAndShowsNothing) {
    type(ui::Text4, L"notes");
    type(ui::Text2, L"Open Notes");
    type(ui::Text3, L"http://example.invalid/notes");
    type(ui::Text1, L"C:\\Program Files\\Notes\\notes.exe");
    BoxCatcher boxes;
    press(ui::Command2);

    ASSERT_EQ(fake_.calls.size(), 1u);
    const auto& call = fake_.calls[0];
    EXPECT_EQ(call.slot, 9);
    EXPECT_EQ(call.texts,
              (std::vector<std::wstring>{L"notes", L"Open Notes", L"http://example.invalid/notes",
                                         L"C:\\Program Files\\Notes\\notes.exe"}));
    EXPECT_EQ(call.flags, 0);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(text(ui::Text4), L"notes");
    EXPECT_EQ(text(ui::Text1), L"C:\\Program Files\\Notes\\notes.exe");
}

TEST_F(FormTest, RegisterWithTheBoxesUntouchedSendsTheirInitialTexts) {
    press(ui::Command2);
    ASSERT_EQ(fake_.calls.size(), 1u);
    EXPECT_EQ(fake_.calls[0].texts,
              (std::vector<std::wstring>{kInitialKey, L"Name to appear in the menu", L"URL",
                                         L"Path to program"}));
}

TEST_F(FormTest, EmptyBoxesArriveAsEmptyStringsNeverNull) {
    for (auto id : {ui::Text4, ui::Text2, ui::Text3, ui::Text1})
        type(id, L"");
    BoxCatcher boxes;
    press(ui::Command2);
    ASSERT_EQ(fake_.calls.size(), 1u);
    EXPECT_EQ(fake_.calls[0].texts, std::vector<std::wstring>(4));
    EXPECT_EQ(fake_.calls[0].nullTexts, std::vector<bool>(4, false));
    EXPECT_TRUE(boxes.boxes().empty()) << "accepted, so nothing is shown";
}

TEST_F(FormTest, EveryRefusedRegistrationShowsTheOneFixedBox) {
    for (HRESULT refusal : {E_INVALIDARG, E_FAIL, E_OUTOFMEMORY, RPC_E_DISCONNECTED,
                            MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201)}) {
        fake_.registerResult = refusal;
        BoxCatcher boxes;
        type(ui::Text2, L"kept");
        press(ui::Command2);
        ASSERT_EQ(boxes.boxes().size(), 1u) << std::hex << refusal;
        const auto& box = boxes.boxes()[0];
        EXPECT_EQ(box.title, L"Plovane - Error");
        EXPECT_EQ(box.prompt, L"All feilds must be complete");
        EXPECT_TRUE(box.handIcon);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(box.owner, form_.hwnd());
        EXPECT_EQ(text(ui::Text2), L"kept") << "a refusal changes no box";
    }
    EXPECT_EQ(fake_.calls.size(), 5u) << "nothing is retried";
    fake_.registerResult = S_OK;
    BoxCatcher after;
    press(ui::Command2);
    EXPECT_TRUE(after.boxes().empty()) << "a press after a refusal works";
}

TEST_F(FormTest, UnregisterSendsOnlyTheUnregisterKeyName) {
    type(ui::Text4, L"register-page-key");
    type(ui::Text5, L"notes");
    BoxCatcher boxes;
    press(ui::Command3);
    ASSERT_EQ(fake_.calls.size(), 1u);
    EXPECT_EQ(fake_.calls[0].slot, 10);
    EXPECT_EQ(fake_.calls[0].texts, std::vector<std::wstring>{L"notes"});
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(text(ui::Text5), L"notes");
}

TEST_F(FormTest, RefusedRemovalSaysTheKeyDoesNotExist) {
    fake_.unregisterResult = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    BoxCatcher boxes;
    press(ui::Command3);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, L"Plovane - Error");
    EXPECT_EQ(boxes.boxes()[0].prompt, L"Key doesn't exist");
    EXPECT_TRUE(boxes.boxes()[0].handIcon);
    EXPECT_EQ(boxes.boxes()[0].buttons, std::vector<int>{IDOK});
    EXPECT_EQ(text(ui::Text5), L"Keyname");
}

TEST_F(FormTest, EveryPressGivesBackTheReferenceItTook) {
    for (HRESULT answer : {S_OK, E_FAIL}) {
        fake_.registerResult = fake_.unregisterResult = answer;
        BoxCatcher boxes;
        press(ui::Command2);
        EXPECT_EQ(fake_.references(), 1);
        press(ui::Command3);
        EXPECT_EQ(fake_.references(), 1);
    }
}

TEST_F(FormTest, EveryPressFreesTheStringsItRead) {
    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    type(ui::Text2, std::wstring(5000, L'x'));
    press(ui::Command2);  // one-time allocations of the platform are not the handler's
    press(ui::Command3);
    for (HRESULT answer : {S_OK, E_INVALIDARG}) {
        fake_.registerResult = fake_.unregisterResult = answer;
        BoxCatcher boxes;
        const size_t before = spy.live();
        press(ui::Command2);
        press(ui::Command3);
        EXPECT_EQ(spy.live(), before) << std::hex << answer;
    }
}

TEST_F(FormTest, AStringThatCannotBeAllocatedStopsThePressBeforeTheCall) {
    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    for (long n = 0;; ++n) {
        fake_.calls.clear();
        spy.RefuseAllocation(n);
        BoxCatcher boxes;
        press(ui::Command2);
        if (!spy.refusedOne()) break;
        EXPECT_TRUE(fake_.calls.empty()) << "allocation " << n << " failed, yet the call was made";
        ASSERT_EQ(boxes.boxes().size(), 1u) << "allocation " << n;
        EXPECT_EQ(boxes.boxes()[0].prompt, L"All feilds must be complete");
    }
    ASSERT_EQ(fake_.calls.size(), 1u);
    EXPECT_EQ(fake_.calls[0].nullTexts, std::vector<bool>(4, false));
    spy.RefuseAllocation(0);
    fake_.calls.clear();
    BoxCatcher boxes;
    press(ui::Command3);
    EXPECT_TRUE(fake_.calls.empty());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].prompt, L"Key doesn't exist");
    spy.RefuseAllocation(-1);
}

TEST_F(FormTest, ClosingAsksNothingReleasesTheSessionManagerAndEndsTheLoop) {
    BoxCatcher boxes;
    SendMessageW(form_.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(form_.hwnd(), nullptr);
    EXPECT_EQ(fake_.references(), 0);
    EXPECT_TRUE(testing::PumpMessages()) << "closing the window ends the message loop";
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(fake_.calls.empty());
}

TEST(FormLifetimeTest, AWindowObjectGoingWithItsWindowOpenClosesItAndReleasesEverything) {
    com_apartment apartment;
    testing::FakeSessionManager fake;
    testing::RegisteredFake registered(fake);
    ASSERT_HRESULT_SUCCEEDED(registered.status());
    HWND window = nullptr;
    {
        Form1 form;
        ASSERT_TRUE(form.Create(GetModuleHandleW(nullptr)));
        ASSERT_HRESULT_SUCCEEDED(form.Load());
        window = form.hwnd();
        ASSERT_EQ(fake.references(), 1);
    }
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(fake.references(), 0) << "the session manager is released with the window";
    testing::PumpMessages();
}

TEST(StartupTest, WithoutTheClassTheProgramReportsItAndEndsBeforeTheWindowIsUsable) {
    // A clean apartment: nothing serves the class in this process, and the test prefix has no
    // registration of it.
    testing::RemoveClassRegistration();
    BoxCatcher boxes;
    const int exitCode = RunProgram(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    EXPECT_NE(exitCode, 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const auto& box = boxes.boxes()[0];
    EXPECT_NE(box.prompt.find(L"{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}"), std::wstring::npos)
        << std::string(box.prompt.begin(), box.prompt.end());
    EXPECT_NE(box.prompt.find(L"0x80040154"), std::wstring::npos);
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(FindWindowW(L"PlovaneForm1", nullptr), nullptr) << "the window is gone";
}

TEST(StartupTest, TheReportGivesTheStatusAndItsSystemText) {
    const std::wstring text = DescribeStartupFailure(E_ACCESSDENIED).text;
    EXPECT_NE(text.find(L"0x80070005"), std::wstring::npos);
    EXPECT_NE(text.find(L"MSN Messenger session manager"), std::wstring::npos);
    EXPECT_NE(text.back(), L'\n');
}

}  // namespace
}  // namespace plovane
