// The window as a well-made dialog: where the focus goes after boxes and other windows, one press
// at a time, typing past a box's width, colours under a high-contrast scheme, and a change of
// display density while it runs.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/box_catcher.h"
#include "tests/support/form_fixture.h"
#include "ui/button_face.h"

namespace plovane {
namespace {

using testing::FormTest;

// Posts clicks to a button from inside the first box (or Open box) this thread shows, as another
// program or an accessibility tool could while the window is disabled under it.
class ClicksUnderTheBox {
public:
    ClicksUnderTheBox(HWND button, int clicks)
        : hook_(SetWindowsHookExW(WH_CBT, &Hook, nullptr, GetCurrentThreadId())),
          button_(button),
          clicks_(clicks) {
        t_self = this;
    }
    ~ClicksUnderTheBox() {
        UnhookWindowsHookEx(hook_);
        t_self = nullptr;
    }
    ClicksUnderTheBox(const ClicksUnderTheBox&) = delete;
    ClicksUnderTheBox& operator=(const ClicksUnderTheBox&) = delete;

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HCBT_ACTIVATE && t_self && t_self->clicks_ > 0) {
            for (; t_self->clicks_ > 0; --t_self->clicks_)
                PostMessageW(t_self->button_, BM_CLICK, 0, 0);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static thread_local ClicksUnderTheBox* t_self;
    HHOOK hook_;
    HWND button_;
    int clicks_;
};
thread_local ClicksUnderTheBox* ClicksUnderTheBox::t_self = nullptr;

class DialogTest : public FormTest {
protected:
    // Another top-level window takes the activation, and then the tool gets it back.
    void ActivateAnotherWindowAndBack() {
        HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP | WS_VISIBLE, 0, 0,
                                     100, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(other);
        SetActiveWindow(other);
        SetFocus(other);
        testing::PumpMessages();
        EXPECT_EQ(GetActiveWindow(), other);
        SetActiveWindow(form_.hwnd());
        testing::PumpMessages();
        DestroyWindow(other);
        testing::PumpMessages();
    }
};

TEST_F(DialogTest, AfterTheErrorBoxTheFocusIsBackOnTheButtonAndTheNextSpacePressesIt) {
    fake_.registerResult = E_FAIL;
    SetFocus(control(ui::Command2));
    testing::BoxCatcher boxes;
    Key(VK_SPACE);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(GetFocus(), control(ui::Command2));
    Key(VK_SPACE);
    EXPECT_EQ(boxes.boxes().size(), 2u) << "the second Space reached the button";
    EXPECT_EQ(fake_.calls.size(), 2u);

    ChoosePage(1);
    fake_.unregisterResult = E_FAIL;
    SetFocus(control(ui::Command3));
    Key(VK_RETURN);
    ASSERT_EQ(boxes.boxes().size(), 3u);
    EXPECT_EQ(GetFocus(), control(ui::Command3));
}

TEST_F(DialogTest, AfterTheOpenBoxTheFocusIsBackOnTheBrowseButton) {
    const std::wstring picked = testing::ProgramFolder() + L"plovane-tests.exe";
    for (const std::wstring& answer : {picked, std::wstring()}) {
        SetFocus(control(ui::Command1));
        testing::OpenBoxAnswer box(answer);
        Key(VK_SPACE);
        ASSERT_EQ(box.shown(), 1);
        EXPECT_EQ(GetFocus(), control(ui::Command1)) << (answer.empty() ? "cancel" : "pick");
    }
    EXPECT_EQ(text(ui::Text1), picked);
}

TEST_F(DialogTest, AnotherWindowTakingTheFocusGivesItBackToTheSameControl) {
    for (ui::ControlId id : {ui::Text2, ui::Command2, ui::Text1}) {
        SetFocus(control(id));
        ActivateAnotherWindowAndBack();
        EXPECT_EQ(GetActiveWindow(), form_.hwnd());
        EXPECT_EQ(GetFocus(), control(id)) << ui::FindControl(id)->name;
    }
    // A control hidden with its page meanwhile cannot take it back: the tab strip does.
    SetFocus(control(ui::Text2));
    HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP | WS_VISIBLE, 0, 0, 100,
                                 100, nullptr, nullptr, nullptr, nullptr);
    SetActiveWindow(other);
    testing::PumpMessages();
    SendMessageW(control(ui::SSTab1Strip), TCM_SETCURFOCUS, 1, 0);
    SetActiveWindow(form_.hwnd());
    testing::PumpMessages();
    DestroyWindow(other);
    EXPECT_EQ(GetFocus(), control(ui::SSTab1Strip));
}

// Minimized, the window has nothing to show the focus in: activated so (from the taskbar, by
// Alt+Tab) it moves the focus to none of its controls, and restored it gives it back to the one
// the user left it on.
TEST_F(DialogTest, ActivatedWhileMinimizedItMovesNoFocusUntilRestored) {
    for (ui::ControlId id : {ui::Text2, ui::Command1}) {
        SetFocus(control(id));
        ShowWindow(form_.hwnd(), SW_MINIMIZE);
        testing::PumpMessages();
        ActivateAnotherWindowAndBack();
        ASSERT_TRUE(IsIconic(form_.hwnd()));
        EXPECT_FALSE(IsChild(form_.hwnd(), GetFocus())) << "the focus went into a minimized window";
        ShowWindow(form_.hwnd(), SW_RESTORE);
        testing::PumpMessages();
        EXPECT_EQ(GetActiveWindow(), form_.hwnd());
        EXPECT_EQ(GetFocus(), control(id)) << ui::FindControl(id)->name;
    }
}

TEST_F(DialogTest, ClicksThatArriveUnderTheErrorBoxAreDropped) {
    fake_.registerResult = E_FAIL;
    testing::BoxCatcher boxes;
    ClicksUnderTheBox clicks(control(ui::Command2), 5);
    press(ui::Command2);
    EXPECT_EQ(boxes.boxes().size(), 1u) << "no box is stacked on another";
    EXPECT_EQ(fake_.calls.size(), 1u);
    press(ui::Command2);
    EXPECT_EQ(fake_.calls.size(), 2u) << "a press after the box runs again";
}

TEST_F(DialogTest, ClicksThatArriveUnderTheOpenBoxAreDropped) {
    testing::BoxCatcher boxes;
    testing::OpenBoxAnswer cancel(L"");
    ClicksUnderTheBox clicks(control(ui::Command2), 5);
    press(ui::Command1);
    EXPECT_EQ(cancel.shown(), 1);
    EXPECT_TRUE(fake_.calls.empty()) << "Register never ran while the Open box was up";
}

TEST_F(DialogTest, EveryBoxTakesTextTypedKeyByKeyPastItsWidth) {
    std::wstring typed;
    for (int i = 0; i < 300; ++i)
        typed += static_cast<wchar_t>(L'a' + i % 26);
    const ui::ControlId boxes[] = {ui::Text4, ui::Text2, ui::Text3, ui::Text1, ui::Text5};
    for (ui::ControlId id : boxes) {
        type(id, L"");
        for (wchar_t c : typed)
            PostMessageW(control(id), WM_CHAR, c, 1);
        testing::PumpMessages();
        EXPECT_EQ(text(id), typed) << ui::FindControl(id)->name;
    }
}

// The pixels of a window's client area, read back after it is drawn.
class Pixels {
public:
    explicit Pixels(HWND hwnd) : hwnd_(hwnd) {
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        GetClientRect(hwnd, &rect_);
        dc_ = GetDC(hwnd);
    }
    ~Pixels() { ReleaseDC(hwnd_, dc_); }
    Pixels(const Pixels&) = delete;
    Pixels& operator=(const Pixels&) = delete;

    COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }
    // Pixels of the inner part (clear of the edges) whose brightness is far from the face's.
    int Contrasting(COLORREF face, int inset) const {
        int count = 0;
        for (int y = inset; y < rect_.bottom - inset; ++y) {
            for (int x = inset; x < rect_.right - inset; ++x)
                count += Distance(At(x, y), face) > 128 ? 1 : 0;
        }
        return count;
    }
    int ContrastingInRow(COLORREF face, int y) const {
        int count = 0;
        for (int x = 6; x < rect_.right - 6; ++x)
            count += Distance(At(x, y), face) > 128 ? 1 : 0;
        return count;
    }

private:
    static int Brightness(COLORREF c) { return (GetRValue(c) + GetGValue(c) + GetBValue(c)) / 3; }
    static int Distance(COLORREF a, COLORREF b) { return std::abs(Brightness(a) - Brightness(b)); }
    HWND hwnd_;
    HDC dc_;
    RECT rect_{};
};

// A high-contrast scheme's colours applied to the whole session while the object lives, as the
// control panel applies a scheme.
class HighContrastColors {
public:
    HighContrastColors() {
        for (size_t i = 0; i < 4; ++i)
            saved_[i] = GetSysColor(kElements[i]);
        const COLORREF scheme[4] = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(0, 0, 0),
                                    RGB(255, 255, 255)};
        SetSysColors(4, kElements, scheme);
    }
    ~HighContrastColors() { SetSysColors(4, kElements, saved_); }
    HighContrastColors(const HighContrastColors&) = delete;
    HighContrastColors& operator=(const HighContrastColors&) = delete;

private:
    static constexpr INT kElements[4] = {COLOR_BTNFACE, COLOR_BTNTEXT, COLOR_WINDOW,
                                         COLOR_WINDOWTEXT};
    COLORREF saved_[4] = {};
};

bool Yes() {
    return true;
}

class ColourTest : public FormTest {
protected:
    void TearDown() override {
        ui::SetHighContrastSource(nullptr);
        FormTest::TearDown();
    }
    void Announce(bool (*source)()) {
        ui::SetHighContrastSource(source);
        SendMessageW(form_.hwnd(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
        testing::PumpMessages();
    }
    void ExpectReadableButtons(COLORREF face) {
        // "..." is three dots; "Register" a word.
        const std::pair<ui::ControlId, int> captions[] = {{ui::Command1, 3}, {ui::Command2, 30}};
        for (const auto& [id, least] : captions) {
            Pixels button(control(id));
            EXPECT_EQ(button.At(button_inner_, button_inner_), face) << ui::FindControl(id)->name;
            EXPECT_GE(button.Contrasting(face, 3), least)
                << ui::FindControl(id)->name << ": the caption does not read on its face";
        }
    }
    void ExpectReadableTextBox(COLORREF background) {
        Pixels box(control(ui::Text4));
        EXPECT_EQ(box.At(1, 1), background);
        EXPECT_GT(box.Contrasting(background, 2), 20) << "the typed text does not read";
    }
    static constexpr int button_inner_ = 3;
};

TEST_F(ColourTest, InAHighContrastSchemeCaptionsAndTextReadWhateverTheSystemReports) {
    HighContrastColors scheme;
    testing::PumpMessages();
    // Wine applies the scheme's colours but never reports the flag: the designed white stays and
    // the captions are drawn in a colour that reads on it.
    Announce(nullptr);
    ExpectReadableButtons(ui::kDesignedFace);
    ExpectReadableTextBox(ui::kDesignedFace);
    // Where the flag is reported, the system's colours are used throughout.
    Announce(&Yes);
    ExpectReadableButtons(GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(0, 0, 0));
    ExpectReadableTextBox(GetSysColor(COLOR_WINDOW));
}

TEST_F(ColourTest, TheFocusRectangleShowsOnTheFaceInEveryScheme) {
    HighContrastColors scheme;
    using Source = bool (*)();
    const Source sources[] = {nullptr, &Yes};
    for (Source source : sources) {
        Announce(source);
        const COLORREF face = ui::ButtonColors(source != nullptr).face;
        SetFocus(control(ui::Text4));
        const int unfocused = Pixels(control(ui::Command2)).ContrastingInRow(face, 4);
        SetFocus(control(ui::Command2));
        const int focused = Pixels(control(ui::Command2)).ContrastingInRow(face, 4);
        EXPECT_EQ(unfocused, 0);
        EXPECT_GT(focused, 20) << (source ? "high contrast" : "designed colours");
    }
}

class DensityTest : public FormTest {
protected:
    struct Snapshot {
        RECT client;
        std::vector<RECT> controls;
        RECT strip;
        LONG fontHeight;
    };
    Snapshot Take() const {
        Snapshot shot{};
        GetClientRect(form_.hwnd(), &shot.client);
        for (const auto& design : ui::kPageControls)
            shot.controls.push_back(RectInTab(design.id));
        shot.strip = RectInTab(ui::SSTab1Strip);
        LOGFONTW font = {};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control(ui::Text4), WM_GETFONT, 0, 0)),
                   sizeof(font), &font);
        shot.fontHeight = font.lfHeight;
        return shot;
    }
    RECT RectInTab(ui::ControlId id) const {
        RECT r;
        GetWindowRect(control(id), &r);
        MapWindowPoints(nullptr, control(ui::SSTab1), reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    // What Windows sends when the window moves to a monitor of another density.
    void MoveToDensity(int dpi) {
        RECT frame = {0, 0, MulDiv(4905, dpi, 1440), MulDiv(3135, dpi, 1440)};
        AdjustWindowRectEx(&frame, GetWindowLongW(form_.hwnd(), GWL_STYLE), FALSE, 0);
        RECT now;
        GetWindowRect(form_.hwnd(), &now);
        OffsetRect(&frame, now.left - frame.left, now.top - frame.top);
        SendMessageW(form_.hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&frame));
        testing::PumpMessages();
    }
    void ExpectLaidOutAt(const Snapshot& shot, int dpi) {
        EXPECT_EQ(shot.client.right, MulDiv(4905, dpi, 1440));
        EXPECT_EQ(shot.client.bottom, MulDiv(3135, dpi, 1440));
        for (size_t i = 0; i < ui::kPageControlCount; ++i) {
            const auto& design = ui::kPageControls[i];
            const RECT& r = shot.controls[i];
            EXPECT_EQ(r.left, MulDiv(design.rect.left, dpi, 1440)) << design.name << " @" << dpi;
            EXPECT_EQ(r.top, MulDiv(design.rect.top, dpi, 1440)) << design.name << " @" << dpi;
            EXPECT_EQ(r.right - r.left, MulDiv(design.rect.width, dpi, 1440)) << design.name;
            EXPECT_EQ(r.bottom - r.top, MulDiv(design.rect.height, dpi, 1440)) << design.name;
        }
        EXPECT_EQ(shot.strip.bottom - shot.strip.top, MulDiv(520, dpi, 2540) + 2);
        EXPECT_EQ(shot.strip.right - shot.strip.left, MulDiv(4935, dpi, 1440));
    }
};

TEST_F(DensityTest, MovingTo144DpiAndBackLaysEveryControlOutFromTheDesign) {
    const Snapshot at96 = Take();
    ExpectLaidOutAt(at96, 96);

    MoveToDensity(144);
    const Snapshot at144 = Take();
    ExpectLaidOutAt(at144, 144);
    // The font follows, as large as its captions fit (Tahoma's "Unregister Program" grows a
    // little more than the tab does).
    EXPECT_GE(at144.fontHeight, MulDiv(at96.fontHeight, 144, 96)) << "the font follows";
    EXPECT_LE(at144.fontHeight, MulDiv(at96.fontHeight, 144, 96) + 1) << "the font follows";
    const auto font = SendMessageW(control(ui::Text4), WM_GETFONT, 0, 0);
    for (const auto& design : ui::kPageControls) {
        if (design.kind == ui::ControlKind::PictureBox) continue;  // it draws no text
        EXPECT_EQ(SendMessageW(control(design.id), WM_GETFONT, 0, 0), font) << design.name;
    }
    EXPECT_EQ(SendMessageW(control(ui::SSTab1Strip), WM_GETFONT, 0, 0), font);

    MoveToDensity(96);
    const Snapshot back = Take();
    ExpectLaidOutAt(back, 96);
    EXPECT_EQ(back.fontHeight, at96.fontHeight);
    EXPECT_EQ(text(ui::Text4), L"Keyname (recommended to use your menu name)");
}

}  // namespace
}  // namespace plovane
