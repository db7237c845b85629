// The window as designed: its frame, where every control stands, what each page shows, and how
// the keyboard and the mouse move through it.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/box_catcher.h"
#include "tests/support/form_fixture.h"
#include "ui/picture_box.h"

namespace plovane {
namespace {

using testing::FormTest;

class LayoutTest : public FormTest {
protected:
    RECT RectInTab(ui::ControlId id) const {
        RECT r;
        GetWindowRect(control(id), &r);
        MapWindowPoints(nullptr, control(ui::SSTab1), reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    std::vector<ui::ControlId> Visible() const {
        std::vector<ui::ControlId> shown;
        for (const auto& design : ui::kPageControls) {
            if (IsWindowVisible(control(design.id))) shown.push_back(design.id);
        }
        return shown;
    }
    std::vector<HWND> WalkTabOrder() const {
        std::vector<HWND> order;
        HWND at = control(ui::SSTab1Strip);
        do {
            order.push_back(at);
            at = GetNextDlgTabItem(form_.hwnd(), at, FALSE);
        } while (at && at != order.front() && order.size() < 20);
        return order;
    }
    std::vector<HWND> Handles(std::initializer_list<ui::ControlId> ids) const {
        std::vector<HWND> handles;
        for (auto id : ids)
            handles.push_back(control(id));
        return handles;
    }
};

TEST_F(LayoutTest, TheFrameIsFixedWithOnlyACloseButtonAndTheDesignedClientArea) {
    RECT client;
    GetClientRect(form_.hwnd(), &client);
    EXPECT_EQ(client.right, 327);
    EXPECT_EQ(client.bottom, 209);
    const LONG style = GetWindowLongW(form_.hwnd(), GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX));
    EXPECT_EQ(testing::WindowText(form_.hwnd()), L"Plovane - Add Programs to Actions list");
    EXPECT_TRUE(GetClassLongPtrW(form_.hwnd(), GCLP_HICON)) << "the window carries the icon";
}

TEST_F(LayoutTest, EveryControlStandsWhereTheDesignPutsIt) {
    struct Expected {
        ui::ControlId id;
        RECT pixels;
    };
    // The design's twips at 96 DPI: fifteen to the pixel.
    const Expected expected[] = {
        {ui::Text1, {8, 48, 281, 67}},     {ui::Command1, {288, 48, 321, 65}},
        {ui::Text4, {8, 80, 313, 99}},     {ui::Text2, {8, 112, 313, 131}},
        {ui::Text3, {8, 144, 313, 163}},   {ui::Command2, {240, 168, 313, 193}},
        {ui::Text5, {40, 56, 281, 75}},    {ui::Command3, {120, 88, 193, 113}},
        {ui::Label1, {8, 32, 185, 65}},    {ui::Label2, {8, 80, 185, 113}},
        {ui::Label3, {16, 152, 185, 185}}, {ui::Picture1, {216, 56, 305, 169}},
    };
    for (const auto& e : expected) {
        const RECT r = RectInTab(e.id);
        EXPECT_TRUE(EqualRect(&r, &e.pixels)) << ui::FindControl(e.id)->name << " at " << r.left
                                              << "," << r.top << "-" << r.right << "," << r.bottom;
    }
    RECT tab;
    GetWindowRect(control(ui::SSTab1), &tab);
    EXPECT_EQ(tab.right - tab.left, 329) << "the tab control runs two pixels past the client";
    EXPECT_EQ(tab.bottom - tab.top, 209);
}

TEST_F(LayoutTest, ControlsUseTheDialogFontAndTheirDesignedTexts) {
    const auto font = reinterpret_cast<HFONT>(SendMessageW(control(ui::Text4), WM_GETFONT, 0, 0));
    ASSERT_TRUE(font) << "a control without a font would draw in the System font";
    for (const auto& design : ui::kPageControls) {
        if (design.kind == ui::ControlKind::PictureBox) continue;  // it draws no text
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(control(design.id), WM_GETFONT, 0, 0)), font)
            << ui::FindControl(design.id)->name;
        EXPECT_EQ(text(design.id), design.text);
    }
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(control(ui::SSTab1Strip), WM_GETFONT, 0, 0)),
              font);
    EXPECT_EQ(SendMessageW(control(ui::Text1), EM_GETLIMITTEXT, 0, 0), 0x7FFFFFFE)
        << "no length limit";
    EXPECT_FALSE(GetWindowLongW(control(ui::Text1), GWL_STYLE) & (ES_MULTILINE | ES_PASSWORD));
    wchar_t caption[64];
    for (int page = 0; page < ui::kPageCount; ++page) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = caption;
        item.cchTextMax = 64;
        SendMessageW(control(ui::SSTab1Strip), TCM_GETITEMW, page, reinterpret_cast<LPARAM>(&item));
        EXPECT_STREQ(caption, ui::kTabCaptions[page]);
    }
    EXPECT_EQ(SendMessageW(control(ui::SSTab1Strip), TCM_GETITEMCOUNT, 0, 0), 3);
}

TEST_F(LayoutTest, EachPageShowsOnlyItsOwnControlsAndKeepsTheirTexts) {
    using V = std::vector<ui::ControlId>;
    EXPECT_EQ(Visible(),
              (V{ui::Text4, ui::Command2, ui::Text3, ui::Text2, ui::Command1, ui::Text1}));
    EXPECT_EQ(GetFocus(), control(ui::SSTab1Strip)) << "the focus starts on the tab strip";
    type(ui::Text3, L"typed on page one");
    ChoosePage(1);
    EXPECT_EQ(Visible(), (V{ui::Text5, ui::Command3}));
    type(ui::Text5, L"typed on page two");
    ChoosePage(2);
    EXPECT_EQ(Visible(), (V{ui::Label1, ui::Label2, ui::Label3, ui::Picture1}));
    ChoosePage(0);
    EXPECT_EQ(text(ui::Text3), L"typed on page one");
    EXPECT_EQ(text(ui::Text5), L"typed on page two");
    EXPECT_TRUE(fake_.calls.empty()) << "changing pages runs nothing of the tool's";
}

TEST_F(LayoutTest, TheTabOrderOfEachPageFollowsTheDesign) {
    EXPECT_EQ(WalkTabOrder(), Handles({ui::SSTab1Strip, ui::Text4, ui::Command2, ui::Text3,
                                       ui::Text2, ui::Command1, ui::Text1}));
    ChoosePage(1);
    EXPECT_EQ(WalkTabOrder(), Handles({ui::SSTab1Strip, ui::Text5, ui::Command3}));
    ChoosePage(2);
    EXPECT_EQ(WalkTabOrder(), Handles({ui::SSTab1Strip, ui::Picture1}));
}

TEST_F(LayoutTest, TabKeysMoveTheFocusThroughThePageAndBack) {
    const auto order = Handles(
        {ui::Text4, ui::Command2, ui::Text3, ui::Text2, ui::Command1, ui::Text1, ui::SSTab1Strip});
    for (HWND next : order) {
        Key(VK_TAB);
        EXPECT_EQ(GetFocus(), next);
    }
    Key(VK_TAB, /*shift=*/true);
    EXPECT_EQ(GetFocus(), control(ui::Text1)) << "Shift+Tab goes back";
    EXPECT_EQ(text(ui::Text1), L"Path to program") << "focusing a box leaves its text";
}

TEST_F(LayoutTest, CtrlTabAndArrowsTurnThePages) {
    SetFocus(control(ui::Text4));
    Key(VK_TAB, false, /*ctrl=*/true);
    EXPECT_EQ(SendMessageW(control(ui::SSTab1Strip), TCM_GETCURSEL, 0, 0), 1);
    EXPECT_TRUE(IsWindowVisible(control(ui::Text5)));
    EXPECT_EQ(GetFocus(), control(ui::SSTab1Strip)) << "the focus leaves the hidden page";
    Key(VK_TAB, /*shift=*/true, /*ctrl=*/true);
    Key(VK_TAB, true, true);
    EXPECT_EQ(SendMessageW(control(ui::SSTab1Strip), TCM_GETCURSEL, 0, 0), 2);
    Key(VK_LEFT);
    EXPECT_EQ(SendMessageW(control(ui::SSTab1Strip), TCM_GETCURSEL, 0, 0), 1);
    EXPECT_TRUE(IsWindowVisible(control(ui::Text5)));
    EXPECT_FALSE(IsWindowVisible(control(ui::Label1)));
}

TEST_F(LayoutTest, EnterPressesTheFocusedButtonAndNothingElseAndEscNeverCloses) {
    testing::BoxCatcher boxes;
    for (ui::ControlId box : {ui::Text4, ui::Text2, ui::Text3, ui::Text1}) {
        SetFocus(control(box));
        Key(VK_RETURN);
        Key(VK_ESCAPE);
    }
    EXPECT_TRUE(fake_.calls.empty()) << "Enter in a text box presses nothing";
    SetFocus(control(ui::Command2));
    Key(VK_RETURN);
    ASSERT_EQ(fake_.calls.size(), 1u);
    EXPECT_EQ(fake_.calls[0].slot, 9);
    Key(VK_ESCAPE);

    ChoosePage(1);
    SetFocus(control(ui::Text5));
    Key(VK_RETURN);
    EXPECT_EQ(fake_.calls.size(), 1u);
    SetFocus(control(ui::Command3));
    Key(VK_RETURN);
    ASSERT_EQ(fake_.calls.size(), 2u);
    EXPECT_EQ(fake_.calls[1].slot, 10);

    EXPECT_TRUE(IsWindow(form_.hwnd()));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LayoutTest, EnterOnTheBrowseButtonOpensTheOpenBox) {
    SetFocus(control(ui::Command1));
    testing::OpenBoxAnswer cancel(L"");
    Key(VK_RETURN);
    EXPECT_EQ(cancel.shown(), 1);
    EXPECT_EQ(text(ui::Text1), L"Path to program");
}

TEST_F(LayoutTest, TheWhiteButtonsArePressedByTheMouseAndBySpace) {
    EXPECT_EQ(GetWindowLongW(control(ui::Command2), GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    RECT r;
    GetClientRect(control(ui::Command2), &r);
    const LPARAM middle = MAKELPARAM(r.right / 2, r.bottom / 2);
    SendMessageW(control(ui::Command2), WM_LBUTTONDOWN, MK_LBUTTON, middle);
    SendMessageW(control(ui::Command2), WM_LBUTTONUP, 0, middle);
    testing::PumpMessages();
    ASSERT_EQ(fake_.calls.size(), 1u);
    EXPECT_EQ(fake_.calls[0].slot, 9);

    ChoosePage(1);
    SetFocus(control(ui::Command3));
    Key(VK_SPACE);
    ASSERT_EQ(fake_.calls.size(), 2u);
    EXPECT_EQ(fake_.calls[1].slot, 10);
}

TEST_F(LayoutTest, TheAboutPictureIsShownUnscaledFromTheTopLeftCorner) {
    ChoosePage(2);
    HWND picture = control(ui::Picture1);
    EXPECT_TRUE(GetWindowLongW(picture, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    RedrawWindow(picture, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    HDC dc = GetDC(picture);
    const COLORREF inside = GetPixel(dc, 40, 100);  // in the picture's band
    const COLORREF beyond = GetPixel(dc, 40, 108);  // below its 108 rows
    ReleaseDC(picture, dc);
    EXPECT_NE(inside, beyond);
    EXPECT_EQ(beyond, GetSysColor(COLOR_BTNFACE));
    SetFocus(picture);
    EXPECT_EQ(GetFocus(), picture) << "the picture box takes the focus";
}

}  // namespace
}  // namespace plovane
