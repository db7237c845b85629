// At every density Windows uses, with the designed font or a wider one standing in for it, the
// window scales as its twips say, every caption fits its tab, button or label, and the title bar
// and close button stay on the screen. The density and the fonts are read when a process starts,
// so the checks run in a child started after the test prefix is set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/screen_dc.h"
#include "common/unique_handle.h"
#include "tests/support/form_fixture.h"
#include "ui/caption_fit.h"

namespace plovane {
namespace {

constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
constexpr wchar_t kMetricsKey[] = L"Control Panel\\Desktop\\WindowMetrics";

int ChildDpi() {
    wchar_t value[16] = {};
    return GetEnvironmentVariableW(L"PLOVANE_DPI_CHILD", value, 16) ? _wtoi(value) : 0;
}

// Sets a value of the user's that new processes read, and puts the old one back when it goes.
class UserSetting {
public:
    UserSetting(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size)
        : key_(key), name_(name) {
        DWORD oldSize = 0;
        had_ = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &type_, nullptr, &oldSize) ==
               ERROR_SUCCESS;
        old_.resize(oldSize);
        if (had_) {
            RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, old_.data(), &oldSize);
        }
        RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, data, size);
    }
    ~UserSetting() {
        if (had_) {
            RegSetKeyValueW(HKEY_CURRENT_USER, key_, name_, type_, old_.data(),
                            static_cast<DWORD>(old_.size()));
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, key_, name_);
        }
    }
    UserSetting(const UserSetting&) = delete;
    UserSetting& operator=(const UserSetting&) = delete;

private:
    const wchar_t* key_;
    const wchar_t* name_;
    DWORD type_ = 0;
    std::vector<BYTE> old_;
    bool had_ = false;
};

// The message font the system gives, in another face (null: the designed one), as the registry
// keeps it: at 96 DPI (the system scales it to its density).
std::vector<BYTE> MessageFontIn(const wchar_t* face) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    LOGFONTW font = metrics.lfMessageFont;
    HDC screen = GetDC(nullptr);
    font.lfHeight = MulDiv(font.lfHeight, 96, GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    if (face) lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    const auto* bytes = reinterpret_cast<const BYTE*>(&font);
    return std::vector<BYTE>(bytes, bytes + sizeof(font));
}

struct Setting {
    int dpi;
    const wchar_t* face;  // null: the designed font
    const char* name;
};

std::ostream& operator<<(std::ostream& out, const Setting& setting) {
    return out << setting.name;
}

class DpiTest : public ::testing::TestWithParam<Setting> {};

TEST_P(DpiTest, TheWindowScalesFitsItsCaptionsAndKeepsItsTitleBarOnScreen) {
    if (ChildDpi()) GTEST_SKIP() << "run by the parent test";
    const Setting& setting = GetParam();
    const DWORD dpi = static_cast<DWORD>(setting.dpi);
    UserSetting density(kDesktopKey, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi));
    const std::vector<BYTE> font = MessageFontIn(setting.face);
    UserSetting messageFont(kMetricsKey, L"MessageFont", REG_BINARY, font.data(),
                            static_cast<DWORD>(font.size()));
    SetEnvironmentVariableW(L"PLOVANE_DPI_CHILD", std::to_wstring(setting.dpi).c_str());
    const long code = testing::RunProcess(
        testing::ProgramFolder() +
            L"plovane-tests.exe --gtest_also_run_disabled_tests --gtest_filter=DpiChild.*",
        60000);
    SetEnvironmentVariableW(L"PLOVANE_DPI_CHILD", nullptr);
    EXPECT_EQ(code, 0) << "the child's checks failed; its output is above";
}

// From the least density Windows uses to the most; "Plovane No Such Face" is any face missing
// from the machine, as Tahoma is from one without it: the system then takes a fallback of its
// own. DejaVu Sans is the one Wine takes for Tahoma.
INSTANTIATE_TEST_SUITE_P(
    Densities, DpiTest,
    ::testing::Values(
        Setting{96, nullptr, "At96"}, Setting{120, nullptr, "At120"},
        Setting{144, nullptr, "At144"}, Setting{192, nullptr, "At192"},
        Setting{480, nullptr, "At480"}, Setting{96, L"Plovane No Such Face", "FallbackAt96"},
        Setting{144, L"Plovane No Such Face", "FallbackAt144"},
        Setting{480, L"Plovane No Such Face", "FallbackAt480"},
        Setting{96, L"DejaVu Sans", "DejaVuAt96"}, Setting{120, L"DejaVu Sans", "DejaVuAt120"},
        Setting{144, L"DejaVu Sans", "DejaVuAt144"}, Setting{192, L"DejaVu Sans", "DejaVuAt192"},
        Setting{480, L"DejaVu Sans", "DejaVuAt480"}),
    [](const ::testing::TestParamInfo<Setting>& info) { return std::string(info.param.name); });

class DpiChild : public testing::FormTest {
protected:
    void SetUp() override {
        if (!ChildDpi()) GTEST_SKIP() << "runs only in the child of DpiTest";
        FormTest::SetUp();
    }
    SIZE Extent(HWND control, const wchar_t* text) const {
        screen_dc dc(reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
        RECT r = {0, 0, 0, 0};
        DrawTextW(dc.get(), text, -1, &r, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        return {r.right, r.bottom};
    }
    int LabelHeight(HWND label, const wchar_t* text, int width) const {
        screen_dc dc(reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
        RECT r = {0, 0, width, 0};
        DrawTextW(dc.get(), text, -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        return r.bottom;
    }
};

// Disabled in the suite's own list: only the parent above runs it, in a process at its density.
TEST_F(DpiChild, DISABLED_AtTheParentsDensityAndFont) {
    const int dpi = ChildDpi();
    HDC screen = GetDC(nullptr);
    ASSERT_EQ(GetDeviceCaps(screen, LOGPIXELSX), dpi);
    ReleaseDC(nullptr, screen);
    for (const auto& design : ui::kPageControls) {
        RECT r;
        GetWindowRect(control(design.id), &r);
        MapWindowPoints(nullptr, control(ui::SSTab1), reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, MulDiv(design.rect.left, dpi, 1440)) << design.name;
        EXPECT_EQ(r.top, MulDiv(design.rect.top, dpi, 1440)) << design.name;
        EXPECT_EQ(r.right - r.left, MulDiv(design.rect.width, dpi, 1440)) << design.name;
        EXPECT_EQ(r.bottom - r.top, MulDiv(design.rect.height, dpi, 1440)) << design.name;
    }

    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(
        GetMonitorInfoW(MonitorFromWindow(form_.hwnd(), MONITOR_DEFAULTTONEAREST), &monitor));
    const RECT& work = monitor.rcWork;
    RECT frame;
    GetWindowRect(form_.hwnd(), &frame);
    RECT client;
    GetClientRect(form_.hwnd(), &client);
    const int borderX = ((frame.right - frame.left) - client.right) / 2;
    if (frame.right - frame.left <= work.right - work.left &&
        frame.bottom - frame.top <= work.bottom - work.top) {
        EXPECT_EQ(client.right, MulDiv(ui::kClientWidthTwips, dpi, 1440));
        EXPECT_EQ(client.bottom, MulDiv(ui::kClientHeightTwips, dpi, 1440));
    }
    EXPECT_GE(frame.top, work.top) << "the title bar is on the screen";
    EXPECT_LE(frame.right, work.right) << "the close button is on the screen";
    const POINT close = {
        frame.right - borderX - GetSystemMetrics(SM_CXSIZE) / 2,
        frame.top + GetSystemMetrics(SM_CYFIXEDFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2};
    EXPECT_TRUE(PtInRect(&work, close));
    EXPECT_EQ(SendMessageW(form_.hwnd(), WM_NCHITTEST, 0, MAKELPARAM(close.x, close.y)), HTCLOSE);

    HWND strip = control(ui::SSTab1Strip);
    for (int page = 0; page < ui::kPageCount; ++page) {
        RECT tab;
        SendMessageW(strip, TCM_GETITEMRECT, page, reinterpret_cast<LPARAM>(&tab));
        EXPECT_LE(Extent(strip, ui::kTabCaptions[page]).cx + 2 * MulDiv(ui::kTabPaddingX, dpi, 96),
                  tab.right - tab.left)
            << "the tab cuts its caption " << ui::kTabCaptions[page];
    }
    for (const auto& design : ui::kPageControls) {
        RECT r;
        GetClientRect(control(design.id), &r);
        if (design.kind == ui::ControlKind::Button) {
            EXPECT_LE(Extent(control(design.id), design.text).cx +
                          2 * MulDiv(ui::kButtonCaptionInset, dpi, 96),
                      r.right)
                << design.name;
        } else if (design.kind == ui::ControlKind::Label) {
            EXPECT_LE(LabelHeight(control(design.id), design.text, r.right), r.bottom)
                << design.name;
        }
    }
    // As large as fits: the system's own size, or one pixel larger would cut a caption.
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    LOGFONTW used = {};
    GetObjectW(reinterpret_cast<HGDIOBJ>(SendMessageW(strip, WM_GETFONT, 0, 0)), sizeof(used),
               &used);
    if (used.lfHeight != metrics.lfMessageFont.lfHeight) {
        used.lfHeight += used.lfHeight < 0 ? -1 : 1;
        unique_hgdiobj larger(CreateFontIndirectW(&used));
        const LRESULT fitted = SendMessageW(strip, WM_GETFONT, 0, 0);
        SendMessageW(strip, WM_SETFONT, reinterpret_cast<WPARAM>(larger.get()), FALSE);
        int widest = 0;
        for (const wchar_t* caption : ui::kTabCaptions)
            widest = std::max(widest, static_cast<int>(Extent(strip, caption).cx));
        RECT tab;
        SendMessageW(strip, TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&tab));
        EXPECT_GT(widest + 2 * MulDiv(ui::kTabPaddingX, dpi, 96), tab.right - tab.left)
            << "the font was made smaller than it needs";
        SendMessageW(strip, WM_SETFONT, static_cast<WPARAM>(fitted), FALSE);
    }
}

}  // namespace
}  // namespace plovane
