// At another display density the window scales as its twips say. The density is read when a
// process starts, so the check runs in a child started after the test prefix is set to 144 DPI.
#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "tests/support/form_fixture.h"

namespace plovane {
namespace {

constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";

bool IsDpiChild() {
    return GetEnvironmentVariableW(L"PLOVANE_DPI_CHILD", nullptr, 0) > 0;
}

// Sets the density that new processes see, and puts the old one back when it goes.
class DensitySetting {
public:
    explicit DensitySetting(DWORD dpi) {
        DWORD size = sizeof(old_);
        had_ = RegGetValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", RRF_RT_REG_DWORD, nullptr,
                            &old_, &size) == ERROR_SUCCESS;
        RegSetKeyValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi));
    }
    ~DensitySetting() {
        if (had_) {
            RegSetKeyValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", REG_DWORD, &old_,
                            sizeof(old_));
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels");
        }
    }

private:
    DWORD old_ = 96;
    bool had_ = false;
};

TEST(DpiTest, At144DpiTheWindowAndEveryControlScaleAsTheTwipsSay) {
    if (IsDpiChild()) GTEST_SKIP() << "run by the parent test";
    DensitySetting density(144);
    SetEnvironmentVariableW(L"PLOVANE_DPI_CHILD", L"1");
    const long code = testing::RunProcess(
        testing::ProgramFolder() +
            L"plovane-tests.exe --gtest_also_run_disabled_tests --gtest_filter=DpiChild.*",
        60000);
    SetEnvironmentVariableW(L"PLOVANE_DPI_CHILD", nullptr);
    EXPECT_EQ(code, 0) << "the child's checks at 144 DPI failed; its output is above";
}

class DpiChild : public testing::FormTest {
protected:
    void SetUp() override {
        if (!IsDpiChild()) GTEST_SKIP() << "runs only in the child of DpiTest";
        FormTest::SetUp();
    }
};

// Disabled in the suite's own list: only the parent above runs it, in a process at 144 DPI.
TEST_F(DpiChild, DISABLED_RectanglesAt144Dpi) {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(dpi, 144);
    RECT client;
    GetClientRect(form_.hwnd(), &client);
    EXPECT_EQ(client.right, MulDiv(4905, 144, 1440));
    EXPECT_EQ(client.bottom, MulDiv(3135, 144, 1440));
    for (const auto& design : ui::kPageControls) {
        RECT r;
        GetWindowRect(control(design.id), &r);
        MapWindowPoints(nullptr, control(ui::SSTab1), reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, MulDiv(design.rect.left, 144, 1440)) << design.name;
        EXPECT_EQ(r.top, MulDiv(design.rect.top, 144, 1440)) << design.name;
        EXPECT_EQ(r.right - r.left, MulDiv(design.rect.width, 144, 1440)) << design.name;
        EXPECT_EQ(r.bottom - r.top, MulDiv(design.rect.height, 144, 1440)) << design.name;
    }
}

}  // namespace
}  // namespace plovane
