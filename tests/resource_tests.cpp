// What the shipped program carries besides its code: the icon, the About picture, the manifest
// and the version block.
#include <gtest/gtest.h>

#include <string>

#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "tests/support/picture_file.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"
#include "ui/resources.h"

namespace plovane {
namespace {

#pragma pack(push, 2)
struct IconDirEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct IconDir {
    WORD reserved, type, count;
    IconDirEntry entries[1];
};
#pragma pack(pop)

std::wstring ShippedTool() {
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"PLOVANE_SHIPPED_DIR", folder, MAX_PATH)) {
        return std::wstring(folder) + L"\\plovane-actions.exe";
    }
    return testing::ProgramFolder() + L"plovane-actions.exe";
}

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_.reset(LoadLibraryExW(ShippedTool().c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(module_);
    }
    const void* Resource(const wchar_t* type, const wchar_t* name, DWORD* size = nullptr) {
        HRSRC found = FindResourceW(module_.get(), name, type);
        if (!found) return nullptr;
        if (size) *size = SizeofResource(module_.get(), found);
        return LockResource(LoadResource(module_.get(), found));
    }
    unique_hmodule module_;
};

TEST_F(ResourceTest, TheIconIsOne32By32ImageOf256Colours) {
    const auto* group = static_cast<const IconDir*>(
        Resource(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(IDI_PLOVANE)));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->count, 1);
    EXPECT_EQ(group->entries[0].width, 32);
    EXPECT_EQ(group->entries[0].height, 32);
    EXPECT_EQ(group->entries[0].bitCount, 8);
    const auto* image = static_cast<const BITMAPINFOHEADER*>(
        Resource(MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(group->entries[0].id)));  // RT_ICON
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->biWidth, 32);
    EXPECT_EQ(image->biHeight, 64) << "colour and mask together";
    EXPECT_EQ(image->biBitCount, 8);
}

// The About picture's pixels, as stored: rows of blue, green, red, bottom row first, each row
// padded to four bytes.
testing::Picture PixelsOf(const BITMAPINFOHEADER& header) {
    testing::Picture picture;
    picture.width = header.biWidth;
    picture.height = header.biHeight;
    const auto* bits = reinterpret_cast<const BYTE*>(&header) + header.biSize;
    const int stride = (picture.width * 3 + 3) & ~3;
    for (int y = 0; y < picture.height; ++y) {
        const BYTE* row = bits + static_cast<size_t>(picture.height - 1 - y) * stride;
        for (int x = 0; x < picture.width; ++x, row += 3)
            picture.pixels.push_back(static_cast<DWORD>(row[2] << 16 | row[1] << 8 | row[0]));
    }
    return picture;
}

// Whether the first columns of the picture stand somewhere in the larger one, pixel for pixel.
bool Contains(const testing::Picture& larger, const testing::Picture& picture, int columns) {
    for (int top = 0; top + picture.height <= larger.height; ++top) {
        for (int left = 0; left + columns <= larger.width; ++left) {
            bool same = true;
            for (int y = 0; same && y < picture.height; ++y) {
                for (int x = 0; same && x < columns; ++x)
                    same = larger.At(left + x, top + y) == picture.At(x, y);
            }
            if (same) return true;
        }
    }
    return false;
}

// As the window's design has it, and pixel for pixel the picture the About page shows in docs/.
TEST_F(ResourceTest, TheAboutPictureIsAnUncompressed86By108BitmapOf24BitsAsOnTheAboutPage) {
    DWORD size = 0;
    const auto* header = static_cast<const BITMAPINFOHEADER*>(
        Resource(MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(IDB_ABOUT), &size));  // RT_BITMAP
    ASSERT_NE(header, nullptr);
    ASSERT_EQ(header->biSize, sizeof(BITMAPINFOHEADER));
    ASSERT_EQ(header->biWidth, 86);
    ASSERT_EQ(header->biHeight, 108) << "stored bottom row first";
    ASSERT_EQ(header->biBitCount, 24);
    EXPECT_EQ(header->biClrUsed, 0u) << "no palette";
    ASSERT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
    ASSERT_EQ(size, sizeof(BITMAPINFOHEADER) + ((86 * 3 + 3) & ~3) * 108);
    com_apartment apartment;
    ASSERT_HRESULT_SUCCEEDED(apartment.status());
    const testing::Picture page =
        testing::ReadPng(std::wstring(PLOVANE_DOCS_DIR) + L"/page-about.png");
    ASSERT_GT(page.width, 0) << "the About page's picture in docs/ could be read";
    // The box (89 pixels wide) keeps its sunken border, two pixels a side: 85 columns show.
    const int shown = ui::TwipsToPixels(ui::FindControl(ui::Picture1)->rect.width, 96) -
                      2 * GetSystemMetrics(SM_CXEDGE);
    EXPECT_EQ(shown, 85);
    EXPECT_TRUE(Contains(page, PixelsOf(*header), shown));
}

TEST_F(ResourceTest, TheManifestAsksForCommonControls6AndDeclaresDpiAwareness) {
    DWORD size = 0;
    const auto* text = static_cast<const char*>(
        Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), &size));  // RT_MANIFEST
    ASSERT_NE(text, nullptr);
    const std::string manifest(text, size);
    EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("<dpiAware"), std::string::npos) << "the fallback for older Windows";
    EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
    EXPECT_NE(manifest.find("supportedOS"), std::string::npos);
}

TEST(VersionTest, TheVersionBlockSays100ForAnApplicationInUsEnglish) {
    const std::wstring tool = ShippedTool();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(tool.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(tool.c_str(), 0, size, &block[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"1.00");
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"1.00");
}

}  // namespace
}  // namespace plovane
