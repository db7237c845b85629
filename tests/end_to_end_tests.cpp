// The real program as a user runs it: its own process, the stand-in registered with regsvr32,
// driven from outside through its window.
#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "tests/support/box_catcher.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}
std::wstring StandInPath() {
    return testing::ProgramFolder() + L"messenger-standin.dll";
}
std::wstring ToolPath() {
    return testing::ProgramFolder() + L"plovane-actions.exe";
}

long Regsvr32(const std::wstring& options) {
    return testing::RunProcess(L"regsvr32.exe /s " + options + Quoted(StandInPath()), kWaitMs);
}

std::wstring RegisteredServer() {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(value);
    RegGetValueW(HKEY_CLASSES_ROOT,
                 L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32", nullptr,
                 RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ClearStore();
        testing::RemoveClassRegistration();
    }
    void TearDown() override {
        if (process_) TerminateProcess(process_.get(), 99);
        testing::RemoveClassRegistration();
        testing::ClearStore();
    }
    void Start() {
        process_.reset(testing::StartProcess(Quoted(ToolPath())));
        ASSERT_TRUE(process_);
    }
    HWND control(ui::ControlId id) const { return testing::FindDescendant(form_, id); }
    void type(ui::ControlId id, const std::wstring& text) {
        testing::SetWindowTextTo(control(id), text);
    }
    // Presses a button and waits for its handler to end; any box it shows is read and closed.
    bool press(ui::ControlId id, testing::CaughtBox* box) {
        if (!box) return SendMessageW(control(id), BM_CLICK, 0, 0), true;
        PostMessageW(control(id), BM_CLICK, 0, 0);
        return testing::CatchForeignBox(L"Plovane - Error", *box, kWaitMs);
    }
    DWORD WaitForExit() { return testing::WaitForExit(process_, kWaitMs); }

    unique_handle process_;
    HWND form_ = nullptr;
};

TEST_F(EndToEndTest, RegisterFilesTheEntryUnregisterRemovesItAndClosingEndsTheProgram) {
    ASSERT_EQ(Regsvr32(L""), 0);
    ASSERT_EQ(RegisteredServer(), StandInPath());
    Start();
    form_ = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
    ASSERT_TRUE(form_);

    type(ui::Text4, L"notes");
    type(ui::Text2, L"Open Notes");
    type(ui::Text3, L"http://notes.invalid/");
    type(ui::Text1, L"C:\\Tools\\notes.exe");
    ASSERT_TRUE(press(ui::Command2, nullptr));
    const auto entry = testing::ReadEntry(L"notes");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(*entry, (testing::StoredEntry{L"Open Notes", L"http://notes.invalid/",
                                            L"C:\\Tools\\notes.exe", 0, true}));

    type(ui::Text2, L"");
    testing::CaughtBox refused;
    ASSERT_TRUE(press(ui::Command2, &refused));
    EXPECT_EQ(refused.prompt, L"All feilds must be complete");
    EXPECT_EQ(refused.owner, form_);
    EXPECT_EQ(testing::ReadEntry(L"notes")->menuName, L"Open Notes") << "a refusal writes nothing";

    type(ui::Text5, L"notes");
    ASSERT_TRUE(press(ui::Command3, nullptr));
    EXPECT_FALSE(testing::ReadEntry(L"notes").has_value());
    testing::CaughtBox unknown;
    ASSERT_TRUE(press(ui::Command3, &unknown));
    EXPECT_EQ(unknown.prompt, L"Key doesn't exist");

    PostMessageW(form_, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(), 0u);
    EXPECT_EQ(Regsvr32(L"/u "), 0);
    EXPECT_TRUE(RegisteredServer().empty());
}

struct OwnedBoxSearch {
    HWND owner, found;
};

BOOL CALLBACK MatchOwnedBox(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<OwnedBoxSearch*>(param);
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (GetWindow(hwnd, GW_OWNER) != search->owner || std::wstring(cls) != L"#32770" ||
        !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    search->found = hwnd;
    return FALSE;
}

// A box the program shows over its window: a top-level dialog window owned by the form.
HWND WaitForBoxOwnedBy(HWND owner, DWORD timeoutMs) {
    OwnedBoxSearch search{owner, nullptr};
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!search.found && GetTickCount64() < end) {
        EnumWindows(&MatchOwnedBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(20);
    }
    return search.found;
}

class ClosingTest : public EndToEndTest {
protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        ASSERT_EQ(Regsvr32(L""), 0);
        Start();
        form_ = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
        ASSERT_TRUE(form_);
    }
    // The user closes the window from outside it (the taskbar, another program), whatever is up.
    void CloseAndExpectACleanEnd() {
        PostMessageW(form_, WM_CLOSE, 0, 0);
        EXPECT_EQ(WaitForExit(), 0u) << "the program must end cleanly, without a crash";
        EXPECT_FALSE(IsWindow(form_));
    }
};

TEST_F(ClosingTest, WhileTheOpenBoxIsUp) {
    PostMessageW(control(ui::Command1), BM_CLICK, 0, 0);
    HWND box = WaitForBoxOwnedBy(form_, kWaitMs);
    ASSERT_TRUE(box) << "the Open box never showed";
    EXPECT_TRUE(GetDlgItem(box, 0x47C)) << "it is the Open box, with its file-name field";
    CloseAndExpectACleanEnd();
}

TEST_F(ClosingTest, WhileTheErrorBoxIsUp) {
    type(ui::Text2, L"");
    PostMessageW(control(ui::Command2), BM_CLICK, 0, 0);
    HWND box = WaitForBoxOwnedBy(form_, kWaitMs);
    ASSERT_TRUE(box);
    CloseAndExpectACleanEnd();
    EXPECT_FALSE(testing::ReadEntry(L"Keyname (recommended to use your menu name)").has_value());
}

TEST_F(ClosingTest, InTheMiddleOfAPress) {
    type(ui::Text4, L"closing");
    type(ui::Text2, L"Closing");
    PostMessageW(control(ui::Command2), BM_CLICK, 0, 0);
    CloseAndExpectACleanEnd();
    const auto entry = testing::ReadEntry(L"closing");
    EXPECT_TRUE(!entry || entry->whole) << "a press cut short by closing leaves no half entry";
}

TEST_F(EndToEndTest, WithNoClassRegisteredTheProgramReportsItAndExitsWithFailure) {
    Start();
    testing::CaughtBox report;
    ASSERT_TRUE(testing::CatchForeignBox(ui::kFormTitle, report, kWaitMs));
    EXPECT_NE(report.prompt.find(L"{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}"), std::wstring::npos);
    EXPECT_NE(report.prompt.find(L"0x80040154"), std::wstring::npos);
    EXPECT_EQ(FindWindowW(L"PlovaneForm1", nullptr), nullptr) << "the window never became usable";
    EXPECT_NE(WaitForExit(), 0u);
}

class BrokenServerTest : public EndToEndTest,
                         public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(BrokenServerTest, AClassWhoseServerCannotLoadIsReportedLikeNoClassAtAll) {
    const std::wstring server = testing::ProgramFolder() + GetParam();
    const wchar_t* key = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, key, nullptr, REG_SZ, server.c_str(),
                              static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    Start();
    testing::CaughtBox report;
    ASSERT_TRUE(testing::CatchForeignBox(ui::kFormTitle, report, kWaitMs));
    EXPECT_NE(report.prompt.find(L"could not be created"), std::wstring::npos);
    EXPECT_NE(report.prompt.find(L"Error 0x8"), std::wstring::npos) << "a failing status is named";
    EXPECT_EQ(FindWindowW(L"PlovaneForm1", nullptr), nullptr);
    EXPECT_NE(WaitForExit(), 0u);
}

INSTANTIATE_TEST_SUITE_P(MissingOrFailing, BrokenServerTest,
                         ::testing::Values(L"no-such-server.dll", L"failing-server.dll"));

TEST_F(EndToEndTest, TheStandInNeverTakesOverAnotherServersRegistration) {
    const wchar_t* key = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
    // A server that is there and is not the stand-in.
    const std::wstring other = testing::ProgramFolder() + L"failing-server.dll";
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CLASSES_ROOT, key, nullptr, REG_SZ, other.c_str(),
                        static_cast<DWORD>(other.size() + 1) * static_cast<DWORD>(sizeof(wchar_t))),
        ERROR_SUCCESS);
    EXPECT_NE(Regsvr32(L""), 0);
    EXPECT_EQ(RegisteredServer(), other);
    Regsvr32(L"/u ");
    EXPECT_EQ(RegisteredServer(), other);
}

// Run by tests/scripts/desktop_tests.sh while scripts/run has the tool and the Actions window up:
// once both are shown and have handled what they were sent, the tool is in front with the focus
// on its tab strip. Then it closes the tool, which ends scripts/run.
TEST(RunScriptCheck, DISABLED_TheToolComesUpInFrontWithTheFocus) {
    HWND tool = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, 60000);
    ASSERT_TRUE(tool);
    HWND menu = testing::WaitForVisibleWindow(L"PlovaneActionsMenu", nullptr, kWaitMs);
    DWORD_PTR answer = 0;
    for (HWND settled : {menu, tool}) {
        if (settled)
            SendMessageTimeoutW(settled, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kWaitMs, &answer);
    }
    EXPECT_TRUE(menu) << "the Actions window came up beside the tool";
    EXPECT_EQ(GetForegroundWindow(), tool);
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(tool, nullptr), &thread));
    EXPECT_EQ(thread.hwndActive, tool);
    EXPECT_EQ(thread.hwndFocus, testing::FindDescendant(tool, ui::SSTab1Strip));
    PostMessageW(tool, WM_CLOSE, 0, 0);
}

}  // namespace
}  // namespace plovane
