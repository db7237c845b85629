#pragma once
// The Actions window's own object in the test process, where its menu can be read item by item
// (under Wine one process cannot read another's menu).
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "standin/actions_menu.h"
#include "standin/store.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane::testing {

// The Actions menu's items as the window holds them, in order.
inline std::vector<std::wstring> ItemsOf(const standin::ActionsMenu& window) {
    std::vector<std::wstring> items;
    HMENU menu = window.actionsMenu();
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[1024] = {};
        GetMenuStringW(menu, i, text, 1024, MF_BYPOSITION);
        items.push_back(text);
    }
    return items;
}

class ActionsMenuFixture : public ::testing::Test {
protected:
    void SetUp() override { ClearStore(); }
    void TearDown() override {
        if (menu_.hwnd()) DestroyWindow(menu_.hwnd());
        PumpMessages();
        ClearStore();
    }
    void Open() {
        ASSERT_TRUE(menu_.Create(GetModuleHandleW(nullptr)));
        menu_.Show(SW_SHOWNORMAL);
        PumpMessages();
    }
    std::vector<std::wstring> Items() const { return ItemsOf(menu_); }
    bool Grayed(int position) const {
        return (GetMenuState(menu_.actionsMenu(), position, MF_BYPOSITION) & MF_GRAYED) != 0;
    }

    com_apartment apartment_;
    standin::ActionsMenu menu_;
};

// The real actions-menu.exe in a process of its own, closed as a user closes it after each test.
class ActionsWindowProcess : public ::testing::Test {
protected:
    static constexpr DWORD kProcessWaitMs = 20000;

    void SetUp() override { ClearStore(); }
    void TearDown() override {
        if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
        if (process_ && WaitForSingleObject(process_.get(), kProcessWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 99);
        }
        ClearStore();
    }
    void Start(DWORD loadMs = kProcessWaitMs) {
        process_.reset(StartProcess(L"\"" + ProgramFolder() + L"actions-menu.exe\""));
        ASSERT_TRUE(process_);
        window_ = WaitForVisibleWindow(L"PlovaneActionsMenu", L"Actions", loadMs);
        ASSERT_TRUE(window_);
        status_ = FindWindowExW(window_, nullptr, STATUSCLASSNAMEW, nullptr);
        ASSERT_TRUE(status_);
    }

    // Read in one message, so that a text changing meanwhile is never read cut to the old length.
    std::wstring Status() const {
        wchar_t text[2048] = {};
        SendMessageW(status_, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text));
        return text;
    }
    // Waits until the window has listed what the status line names (its count of programs).
    bool WaitForStatus(const std::wstring& part) const {
        for (int wait = 0; wait < 1000; ++wait, Sleep(20)) {
            if (Status().find(part) != std::wstring::npos) return true;
        }
        return false;
    }

    unique_handle process_;
    HWND window_ = nullptr;
    HWND status_ = nullptr;
};

}  // namespace plovane::testing
