// The 32-bit files that ship, read as files: the machine they are for, their subsystem, and that
// they need no DLL beyond those that come with every Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/window_helpers.h"

namespace plovane {
namespace {

struct PeFile {
    std::vector<char> bytes;
    const IMAGE_NT_HEADERS32* nt = nullptr;

    explicit PeFile(const std::wstring& path) {
        std::ifstream in(path.c_str(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) return;
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
        if (dos->e_magic != IMAGE_DOS_SIGNATURE ||
            bytes.size() < dos->e_lfanew + sizeof(IMAGE_NT_HEADERS32)) {
            return;
        }
        nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + dos->e_lfanew);
        if (nt->Signature != IMAGE_NT_SIGNATURE) nt = nullptr;
    }

    const char* At(DWORD rva) const {
        const auto* section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            const DWORD start = section->VirtualAddress;
            if (rva >= start && rva < start + section->SizeOfRawData) {
                const size_t offset = section->PointerToRawData + (rva - start);
                return offset < bytes.size() ? bytes.data() + offset : nullptr;
            }
        }
        return nullptr;
    }

    std::set<std::string> Exports() const {
        std::set<std::string> names;
        const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        const auto* exports =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(At(dir.VirtualAddress));
        if (!exports) return names;
        const auto* rvas = reinterpret_cast<const DWORD*>(At(exports->AddressOfNames));
        for (DWORD i = 0; rvas && i < exports->NumberOfNames; ++i)
            names.insert(At(rvas[i]));
        return names;
    }

    std::set<std::string> Imports() const {
        std::set<std::string> names;
        const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(At(dir.VirtualAddress));
             entry && entry->Name; ++entry) {
            std::string name = At(entry->Name);
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            names.insert(name);
        }
        return names;
    }
};

std::wstring ShippedFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"PLOVANE_SHIPPED_DIR", folder, MAX_PATH)) {
        return std::wstring(folder) + L"\\";
    }
    return testing::ProgramFolder();
}

const std::set<std::string> kSystemDlls = {
    "kernel32.dll", "user32.dll", "gdi32.dll",    "comctl32.dll", "comdlg32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll",  "uxtheme.dll",  "version.dll"};

void ExpectOnlySystemDlls(const PeFile& pe) {
    for (const std::string& dll : pe.Imports()) {
        EXPECT_EQ(kSystemDlls.count(dll), 1u) << dll << " does not ship with Windows";
    }
}

TEST(ShippedBuildTest, TheToolIsA32BitGuiProgramNeedingOnlySystemDlls) {
    PeFile pe(ShippedFolder() + L"plovane-actions.exe");
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(pe.nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_EQ(pe.nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
    ExpectOnlySystemDlls(pe);
    EXPECT_EQ(pe.Imports().count("user32.dll"), 1u);
    EXPECT_EQ(pe.Imports().count("oleacc.dll"), 0u) << "loaded on a reader's first request only";
}

// Windows XP SP3 (5.1) refuses to start a program whose header asks for a later Windows. What
// the tool calls is kept to what XP offers by the build (its code sees XP's API only).
TEST(ShippedBuildTest, TheToolsHeaderLetsWindowsXpLoadIt) {
    PeFile pe(ShippedFolder() + L"plovane-actions.exe");
    ASSERT_NE(pe.nt, nullptr);
    const IMAGE_OPTIONAL_HEADER32& header = pe.nt->OptionalHeader;
    EXPECT_LE(header.MajorSubsystemVersion * 100 + header.MinorSubsystemVersion, 501)
        << header.MajorSubsystemVersion << "." << header.MinorSubsystemVersion;
    EXPECT_LE(header.MajorOperatingSystemVersion * 100 + header.MinorOperatingSystemVersion, 501)
        << header.MajorOperatingSystemVersion << "." << header.MinorOperatingSystemVersion;
    EXPECT_EQ(header.Win32VersionValue, 0u)
        << "reserved: Windows would report it as its own version";
}

TEST(ShippedBuildTest, TheToolIsTerminalServerAwareWithTheImageVersionOfItsVersionBlock) {
    PeFile pe(ShippedFolder() + L"plovane-actions.exe");
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_NE(
        pe.nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE,
        0);
    EXPECT_EQ(pe.nt->OptionalHeader.MajorImageVersion, 1);
    EXPECT_EQ(pe.nt->OptionalHeader.MinorImageVersion, 0);
}

TEST(ShippedBuildTest, TheActionsMenuIsA32BitGuiProgramNeedingOnlySystemDlls) {
    PeFile pe(ShippedFolder() + L"actions-menu.exe");
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(pe.nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    ExpectOnlySystemDlls(pe);
}

TEST(ShippedBuildTest, TheStandInIsA32BitDllNeedingOnlySystemDlls) {
    PeFile pe(ShippedFolder() + L"messenger-standin.dll");
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_NE(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
    ExpectOnlySystemDlls(pe);
    // COM and regsvr32 look these up by their plain names.
    EXPECT_EQ(pe.Exports(), (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                                   "DllRegisterServer", "DllUnregisterServer"}));
}

}  // namespace
}  // namespace plovane
