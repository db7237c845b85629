// Enter held down on a focused button, as the keyboard sends it: one key-down, then the
// keyboard's repeats (marked as such: the key was down before), then one key-up. The button is
// pressed once, not once for each repeat.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "tests/support/form_fixture.h"

namespace plovane {
namespace {

class KeyRepeatTest : public testing::FormTest {
protected:
    // Holds the key down for the given number of key-downs (the first and its repeats) and then
    // lets it go, through the system's input queue, with the window in the foreground.
    void HoldKey(WORD vk, int keyDowns) {
        SetForegroundWindow(form_.hwnd());
        testing::PumpMessages();
        std::vector<INPUT> inputs(static_cast<size_t>(keyDowns) + 1);
        for (INPUT& input : inputs) {
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = vk;
        }
        inputs.back().ki.dwFlags = KEYEVENTF_KEYUP;
        ASSERT_EQ(SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)),
                  inputs.size());
        RunUntilKeyUp(vk);
    }
    // The window's own loop (page keys, Enter on a button, dialog navigation) until the key's
    // release has come through, counting the key-downs it saw and the repeats among them.
    void RunUntilKeyUp(WPARAM vk) {
        keyDowns_ = repeats_ = 0;
        const ULONGLONG end = GetTickCount64() + 10000;
        bool released = false;
        while (!released && GetTickCount64() < end) {
            MSG msg;
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
                continue;
            }
            if (msg.message == WM_KEYDOWN && msg.wParam == vk) {
                ++keyDowns_;
                if (msg.lParam & (1 << 30)) ++repeats_;
            }
            released = msg.message == WM_KEYUP && msg.wParam == vk;
            if (form_.PreTranslateMessage(msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        testing::PumpMessages();
    }

    int keyDowns_ = 0;
    int repeats_ = 0;
};

TEST_F(KeyRepeatTest, EnterHeldOnRegisterPressesItOnce) {
    SetFocus(control(ui::Command2));
    HoldKey(VK_RETURN, 6);
    ASSERT_EQ(keyDowns_, 6) << "every key-down reached the window";
    ASSERT_EQ(repeats_, 5) << "the ones after the first came as repeats";
    ASSERT_EQ(fake_.calls.size(), 1u) << "one press for one held key";
    EXPECT_EQ(fake_.calls[0].slot, 9);
    EXPECT_EQ(GetFocus(), control(ui::Command2));

    HoldKey(VK_RETURN, 1);
    EXPECT_EQ(fake_.calls.size(), 2u) << "the next press of the key presses again";
}

TEST_F(KeyRepeatTest, EnterHeldOnUnregisterPressesItOnce) {
    ChoosePage(1);
    SetFocus(control(ui::Command3));
    HoldKey(VK_RETURN, 6);
    ASSERT_EQ(repeats_, 5);
    ASSERT_EQ(fake_.calls.size(), 1u) << "one press for one held key";
    EXPECT_EQ(fake_.calls[0].slot, 10);
}

}  // namespace
}  // namespace plovane
