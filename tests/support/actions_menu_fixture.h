#pragma once
// The Actions window's own object in the test process, where its menu can be read item by item
// (under Wine one process cannot read another's menu).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/com_apartment.h"
#include "standin/actions_menu.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane::testing {

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
    std::vector<std::wstring> Items() const {
        std::vector<std::wstring> items;
        HMENU menu = menu_.actionsMenu();
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[1024] = {};
            GetMenuStringW(menu, i, text, 1024, MF_BYPOSITION);
            items.push_back(text);
        }
        return items;
    }
    bool Grayed(int position) const {
        return (GetMenuState(menu_.actionsMenu(), position, MF_BYPOSITION) & MF_GRAYED) != 0;
    }

    com_apartment apartment_;
    standin::ActionsMenu menu_;
};

}  // namespace plovane::testing
