// What the shipped program carries besides its code: the icon, the About picture, the manifest
// and the version block.
#include <gtest/gtest.h>

#include <string>

#include "common/unique_handle.h"
#include "tests/support/window_helpers.h"
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

// Stored with a palette of the colours it uses; the page pictures show it is drawn the same.
TEST_F(ResourceTest, TheAboutPictureIsAnUncompressed86By108BitmapWithAPalette) {
    const auto* header = static_cast<const BITMAPINFOHEADER*>(
        Resource(MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(IDB_ABOUT)));  // RT_BITMAP
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->biWidth, 86);
    EXPECT_EQ(header->biHeight, 108);
    EXPECT_EQ(header->biBitCount, 8);
    EXPECT_GT(header->biClrUsed, 0u);
    EXPECT_LE(header->biClrUsed, 256u);
    EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
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
