// The three pages of the real program, taken from the screen as a user sees them, against the
// pictures in docs/: pixel for pixel the same.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "tests/support/picture_file.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;

using testing::Picture;

// What the screen shows inside the window's frame.
Picture Capture(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    Picture picture;
    picture.width = r.right - r.left;
    picture.height = r.bottom - r.top;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    unique_hgdiobj bitmap(CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    HGDIOBJ old = SelectObject(memory, bitmap.get());
    BitBlt(memory, 0, 0, picture.width, picture.height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const auto* first = static_cast<const DWORD*>(bits);
    picture.pixels.assign(first, first + static_cast<size_t>(picture.width) * picture.height);
    for (DWORD& p : picture.pixels)
        p &= 0xFFFFFF;
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return picture;
}

int DifferentPixels(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) return -1;
    int differ = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        differ += a.pixels[i] != b.pixels[i];
    return differ;
}

void CtrlTab() {
    INPUT keys[4] = {};
    const WORD vks[4] = {VK_CONTROL, VK_TAB, VK_TAB, VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = vks[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    SendInput(4, keys, sizeof(INPUT));
}

TEST(PagePictureTest, EachPageLooksPixelForPixelAsInTheDocs) {
    com_apartment apartment;
    ASSERT_HRESULT_SUCCEEDED(apartment.status());
    const std::wstring folder = testing::ProgramFolder();
    const std::wstring server = L"\"" + folder + L"messenger-standin.dll\"";
    ASSERT_EQ(testing::RunProcess(L"regsvr32.exe /s " + server, kWaitMs), 0);
    unique_handle process(testing::StartProcess(L"\"" + folder + L"plovane-actions.exe\""));
    ASSERT_TRUE(process);
    HWND form = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
    ASSERT_TRUE(form);
    SetForegroundWindow(form);
    HWND strip = testing::FindDescendant(form, ui::SSTab1Strip);
    const wchar_t* pages[] = {L"page-register.png", L"page-unregister.png", L"page-about.png"};
    for (int page = 0; page < 3; ++page) {
        SCOPED_TRACE(pages[page]);
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (SendMessageW(strip, TCM_GETCURSEL, 0, 0) != page && GetTickCount64() < end)
            Sleep(20);
        RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        const Picture expected =
            testing::ReadPng(std::wstring(PLOVANE_DOCS_DIR) + L"/" + pages[page]);
        ASSERT_GT(expected.width, 0) << "the picture in docs/ could be read";
        const Picture shown = Capture(form);
        EXPECT_EQ(shown.width, expected.width);
        EXPECT_EQ(shown.height, expected.height);
        EXPECT_EQ(DifferentPixels(shown, expected), 0);
        CtrlTab();
    }
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process.get(), kWaitMs), WAIT_OBJECT_0);
    testing::RunProcess(L"regsvr32.exe /s /u " + server, kWaitMs);
}

}  // namespace
}  // namespace plovane
