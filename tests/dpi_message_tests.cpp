// WM_DPICHANGED as any other program can post or send it to the running tool: with no rectangle,
// a pointer that points nowhere, a density Windows never uses, or a rectangle of no size, of
// absurd size or off every monitor. The tool lives, stays laid out and stays on the screen.
#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <string>

#include "common/unique_handle.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;

enum class Rect {
    None,        // lParam 0
    Unreadable,  // a pointer to nothing in the tool's process
    Sane,        // the frame's size at the density, at a new place on the screen
    Empty,
    OffScreen,  // the frame's size, far off every monitor
    Huge,
    Extreme,  // INT_MIN to INT_MAX
    Inverted,
};

struct Variant {
    const char* name;
    int dpi;
    Rect rect;
    bool sent;        // sent rather than posted
    int expectDpi;    // the density the window is laid out for afterwards
    bool expectMove;  // the frame takes the suggested place
};

std::ostream& operator<<(std::ostream& out, const Variant& variant) {
    return out << variant.name;
}

std::wstring StandInCommand(const wchar_t* options) {
    return L"regsvr32.exe /s " + std::wstring(options) + L"\"" + testing::ProgramFolder() +
           L"messenger-standin.dll\"";
}

SIZE FrameAt(HWND form, int dpi) {
    RECT frame = {0, 0, MulDiv(ui::kClientWidthTwips, dpi, 1440),
                  MulDiv(ui::kClientHeightTwips, dpi, 1440)};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(form, GWL_STYLE)), FALSE, 0);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

class DpiMessageTest : public ::testing::TestWithParam<Variant> {
protected:
    static void SetUpTestSuite() {
        testing::RemoveClassRegistration();
        ASSERT_EQ(testing::RunProcess(StandInCommand(L""), kWaitMs), 0);
    }
    static void TearDownTestSuite() {
        testing::RunProcess(StandInCommand(L"/u "), kWaitMs);
        testing::RemoveClassRegistration();
    }
    void SetUp() override {
        testing::ClearStore();
        process_.reset(
            testing::StartProcess(L"\"" + testing::ProgramFolder() + L"plovane-actions.exe\""));
        ASSERT_TRUE(process_);
        form_ = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
        ASSERT_TRUE(form_);
        text_ = testing::FindDescendant(form_, ui::Text4);
        ASSERT_TRUE(text_);
    }
    void TearDown() override {
        if (Alive()) PostMessageW(form_, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process_.get(), kWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 99);
        }
        testing::ClearStore();
    }

    bool Alive() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

    // A rectangle written into the tool's own memory, so that the pointer is good there.
    LPARAM InTool(const RECT& rect) {
        void* remote = VirtualAllocEx(process_.get(), nullptr, sizeof(RECT),
                                      MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        EXPECT_TRUE(remote);
        EXPECT_TRUE(WriteProcessMemory(process_.get(), remote, &rect, sizeof(rect), nullptr));
        return reinterpret_cast<LPARAM>(remote);
    }
    LPARAM Suggested(Rect kind, int dpi, const RECT& now) {
        const SIZE frame = FrameAt(form_, dpi);
        const LONG x = now.left > 200 ? now.left - 60 : now.left + 60;
        switch (kind) {
            case Rect::None:
                return 0;
            case Rect::Unreadable:
                return 0x10;
            case Rect::Sane:
                return InTool({x, now.top + 20, x + frame.cx, now.top + 20 + frame.cy});
            case Rect::Empty:
                return InTool({100, 100, 100, 100});
            case Rect::OffScreen:
                return InTool({-30000, -30000, -30000 + frame.cx, -30000 + frame.cy});
            case Rect::Huge:
                return InTool({0, 0, 100000, 100000});
            case Rect::Extreme:
                return InTool({INT_MIN, INT_MIN, INT_MAX, INT_MAX});
            case Rect::Inverted:
                return InTool({now.right, now.bottom, now.left, now.top});
        }
        return 0;
    }
    // The tool handles its queued messages in order: once a selection posted after the message
    // shows in a text box, the message has been handled (or the tool is gone).
    void WaitUntilHandled() {
        static DWORD mark = 0;
        mark = (mark + 1) % 30;
        PostMessageW(text_, EM_SETSEL, mark, static_cast<LPARAM>(mark) + 1);
        for (int wait = 0; wait < 1000 && Alive(); ++wait, Sleep(10)) {
            DWORD start = 0, end = 0;
            DWORD_PTR result = 0;
            SendMessageTimeoutW(text_, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                                reinterpret_cast<LPARAM>(&end), SMTO_ABORTIFHUNG, 1000, &result);
            if (start == mark && end == mark + 1) return;
        }
    }
    void ExpectLaidOutAt(int dpi) const {
        RECT client = {};
        GetClientRect(form_, &client);
        EXPECT_EQ(client.right, MulDiv(ui::kClientWidthTwips, dpi, 1440));
        EXPECT_EQ(client.bottom, MulDiv(ui::kClientHeightTwips, dpi, 1440));
        for (const auto& design : ui::kPageControls) {
            RECT r = {};
            GetWindowRect(testing::FindDescendant(form_, design.id), &r);
            EXPECT_EQ(r.right - r.left, MulDiv(design.rect.width, dpi, 1440)) << design.name;
            EXPECT_EQ(r.bottom - r.top, MulDiv(design.rect.height, dpi, 1440)) << design.name;
        }
    }

    unique_handle process_;
    HWND form_ = nullptr;
    HWND text_ = nullptr;
};

TEST_P(DpiMessageTest, TheToolLivesStaysLaidOutAndStaysOnTheScreen) {
    const Variant& variant = GetParam();
    RECT before = {};
    GetWindowRect(form_, &before);
    const LPARAM suggested = Suggested(variant.rect, variant.dpi, before);
    RECT expected = {};
    ReadProcessMemory(process_.get(), reinterpret_cast<const void*>(suggested), &expected,
                      sizeof(expected), nullptr);
    const WPARAM dpi = MAKEWPARAM(variant.dpi, variant.dpi);
    if (variant.sent) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(form_, WM_DPICHANGED, dpi, suggested, SMTO_ABORTIFHUNG, kWaitMs,
                            &result);
    } else {
        ASSERT_TRUE(PostMessageW(form_, WM_DPICHANGED, dpi, suggested));
    }
    WaitUntilHandled();

    ASSERT_TRUE(Alive()) << "the tool ended";
    ASSERT_TRUE(IsWindowVisible(form_));
    ExpectLaidOutAt(variant.expectDpi);
    RECT after = {};
    GetWindowRect(form_, &after);
    if (variant.expectMove) {
        EXPECT_EQ(after.left, expected.left);
        EXPECT_EQ(after.top, expected.top);
    } else {
        EXPECT_EQ(after.left, before.left) << "the frame keeps its place";
        EXPECT_EQ(after.top, before.top);
    }
    const POINT middle = {(after.left + after.right) / 2, (after.top + after.bottom) / 2};
    EXPECT_TRUE(MonitorFromPoint(middle, MONITOR_DEFAULTTONULL)) << "the frame is on a monitor";
    // Still answering messages.
    DWORD_PTR answer = 0;
    EXPECT_TRUE(SendMessageTimeoutW(form_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kWaitMs, &answer));
}

INSTANTIATE_TEST_SUITE_P(
    PostedAndSent, DpiMessageTest,
    ::testing::Values(Variant{"NoRectangle", 144, Rect::None, false, 144, false},
                      Variant{"NoRectangleSent", 144, Rect::None, true, 144, false},
                      Variant{"NoRectangleNoDensity", 0, Rect::None, false, 96, false},
                      Variant{"UnreadablePointer", 120, Rect::Unreadable, false, 120, false},
                      Variant{"DensityZero", 0, Rect::Sane, false, 96, false},
                      Variant{"DensityAbsurd", 4000, Rect::Sane, false, 96, false},
                      Variant{"DensityBelowAnyWindowsUses", 12, Rect::Sane, true, 96, false},
                      Variant{"EmptyRectangle", 96, Rect::Empty, false, 96, false},
                      Variant{"OffScreenRectangle", 96, Rect::OffScreen, false, 96, false},
                      Variant{"HugeRectangle", 120, Rect::Huge, false, 120, false},
                      Variant{"ExtremeRectangle", 96, Rect::Extreme, false, 96, false},
                      Variant{"InvertedRectangle", 96, Rect::Inverted, true, 96, false},
                      Variant{"SaneRectangleIsTaken", 120, Rect::Sane, false, 120, true},
                      Variant{"SaneRectangleSentIsTaken", 96, Rect::Sane, true, 96, true}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace plovane
