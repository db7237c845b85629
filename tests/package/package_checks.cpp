// Checks of the Windows downloads once installed or unpacked in a prefix of their own. The
// package tests (tests/package/package_tests.sh) run msiexec and regsvr32 between the phases
// and run each phase here with a filter: Installed, InstalledTool, Removed, OtherServer, Zip,
// ZipRegister, ZipTool, ZipUnregister, AfterDeletedCopy, BesideZipCopy, Running, LeftRunning,
// PortableStarts, PortableRuns, Released, Upgraded, PortableEnds, Restarted.
#include <windows.h>

#include <commctrl.h>
#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/com_apartment.h"
#include "common/com_ptr.h"
#include "common/unique_handle.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;
constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kServerKey[] =
    L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
constexpr wchar_t kInstallerKey[] = L"Software\\Plovane\\Add Programs to Actions list";
constexpr wchar_t kShippedFiles[][32] = {L"plovane-actions.exe", L"actions-menu.exe",
                                         L"messenger-standin.dll", L"README.txt"};
struct ShortcutRow {
    const wchar_t* name;
    const wchar_t* target;
};
constexpr ShortcutRow kShortcuts[] = {
    {L"Plovane - Add Programs to Actions list.lnk", L"plovane-actions.exe"},
    {L"Actions (Messenger stand-in).lnk", L"actions-menu.exe"}};

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH * 2] = {};
    return GetEnvironmentVariableW(name, value, MAX_PATH * 2) ? value : L"";
}

std::wstring KnownFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    return SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : L"";
}
// Where a per-user package puts its files and its Start-menu folder.
std::wstring InstallFolder() {
    return KnownFolder(CSIDL_LOCAL_APPDATA) + L"\\Programs\\Plovane\\";
}
std::wstring MenuFolder() {
    return KnownFolder(CSIDL_PROGRAMS) + L"\\Plovane\\";
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
bool FolderExists(std::wstring path) {
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
bool KeyExists(HKEY root, const wchar_t* path) {
    unique_hkey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}
std::wstring StringValue(HKEY root, const wchar_t* path, const wchar_t* name) {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(value);
    if (RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
        return L"";
    }
    return value;
}

std::wstring ShortcutTarget(const std::wstring& link) {
    com_apartment apartment;
    com_ptr<IShellLinkW> shell_link;
    com_ptr<IPersistFile> file;
    wchar_t target[MAX_PATH] = {};
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                shell_link.put_void())) ||
        FAILED(shell_link->QueryInterface(IID_IPersistFile, file.put_void())) ||
        FAILED(file->Load(link.c_str(), STGM_READ)) ||
        FAILED(shell_link->GetPath(target, MAX_PATH, nullptr, 0))) {
        return L"";
    }
    return target;
}

// The products of this package's family (its upgrade code) that the installer knows.
std::vector<std::wstring> RelatedProducts() {
    const std::wstring upgrade = Environment(L"PLOVANE_UPGRADE_CODE");
    std::vector<std::wstring> products;
    wchar_t product[39] = {};
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgrade.c_str(), 0, i, product) == ERROR_SUCCESS;
         ++i) {
        products.emplace_back(product);
    }
    return products;
}
std::wstring ProductVersion(const std::wstring& product) {
    wchar_t version[64] = {};
    DWORD length = 64;
    MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length);
    return version;
}

// The regsvr32 a user types: on 64-bit Windows the 64-bit one, which a 32-bit program reaches
// through sysnative (PLOVANE_REGSVR32); the 32-bit one elsewhere.
long Regsvr32(const std::wstring& options, const std::wstring& dll) {
    std::wstring program = Environment(L"PLOVANE_REGSVR32");
    if (program.empty()) program = L"regsvr32.exe";
    return testing::RunProcess(program + L" /s " + options + L"\"" + dll + L"\"", kWaitMs);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A string of a file's version block ("FileVersion", "InternalName"), or empty.
std::wstring VersionString(const std::wstring& file, const wchar_t* name) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (!size) return L"";
    std::vector<BYTE> block(size);
    void* text = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(),
                        (std::wstring(L"\\StringFileInfo\\040904B0\\") + name).c_str(), &text,
                        &length) ||
        !length) {
        return L"";
    }
    return static_cast<const wchar_t*>(text);
}
bool IsStandIn(const std::wstring& file) {
    return VersionString(file, L"InternalName") == L"messenger-standin";
}

// The files directly in a folder (ending in a backslash), by name.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}
std::wstring TempFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

// What waits for the next restart: (file, new name) pairs, an empty name a deletion.
std::vector<std::pair<std::wstring, std::wstring>> PendingRenames() {
    std::vector<std::pair<std::wstring, std::wstring>> pending;
    constexpr DWORD kChars = 65536;
    std::vector<wchar_t> data(kChars);
    DWORD bytes = kChars * DWORD{sizeof(wchar_t)};
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data.data(),
                     &bytes) != ERROR_SUCCESS) {
        return pending;
    }
    const auto plain = [](const wchar_t* path) {
        return std::wstring(wcsncmp(path, L"\\??\\", 4) == 0 ? path + 4 : path);
    };
    for (const wchar_t* p = data.data(); *p;) {
        const wchar_t* to = p + lstrlenW(p) + 1;
        pending.emplace_back(plain(p), plain(*to == L'!' ? to + 1 : to));
        p = to + lstrlenW(to) + 1;
    }
    return pending;
}

// The folder a process was started from (with its backslash), or empty.
std::wstring ProcessFolder(DWORD processId) {
    unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, image, &size)) return L"";
    const std::wstring path(image, size);
    return path.substr(0, path.rfind(L'\\') + 1);
}

// A visible top-level window of the class whose process was started from folder (ending in a
// backslash); null when there is none.
HWND WindowFromFolder(const wchar_t* windowClass, const std::wstring& folder) {
    for (HWND w = FindWindowExW(nullptr, nullptr, windowClass, nullptr); w;
         w = FindWindowExW(nullptr, w, windowClass, nullptr)) {
        DWORD processId = 0;
        GetWindowThreadProcessId(w, &processId);
        if (IsWindowVisible(w) && SameFile(ProcessFolder(processId), folder)) return w;
    }
    return nullptr;
}
HWND WaitForWindowFromFolder(const wchar_t* windowClass, const std::wstring& folder) {
    const ULONGLONG end = GetTickCount64() + kWaitMs;
    HWND found = nullptr;
    while (!(found = WindowFromFolder(windowClass, folder)) && GetTickCount64() < end)
        Sleep(50);
    return found;
}

// A visible window of the class made by that process; null when none shows in time.
HWND WaitForWindowOfProcess(const wchar_t* windowClass, DWORD processId) {
    const ULONGLONG end = GetTickCount64() + kWaitMs;
    do {
        for (HWND w = FindWindowExW(nullptr, nullptr, windowClass, nullptr); w;
             w = FindWindowExW(nullptr, w, windowClass, nullptr)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == processId && IsWindowVisible(w)) return w;
        }
        Sleep(50);
    } while (GetTickCount64() < end);
    return nullptr;
}

struct Field {
    ui::ControlId id;
    std::wstring text;
};

// Starts a tool as a user would, types into its boxes, presses one button and closes the window.
void PressInTool(const std::wstring& tool, const std::vector<Field>& fields, ui::ControlId button) {
    unique_handle process(testing::StartProcess(L"\"" + tool + L"\""));
    ASSERT_TRUE(process) << "could not start " << tool;
    // Its own window: a portable copy's may be open too.
    HWND form = WaitForWindowFromFolder(L"PlovaneForm1", tool.substr(0, tool.rfind(L'\\') + 1));
    if (!form) TerminateProcess(process.get(), 99);
    ASSERT_TRUE(form) << "the installed tool showed no window";
    for (const Field& field : fields) {
        testing::SetWindowTextTo(testing::FindDescendant(form, field.id), field.text);
    }
    // A refusal would show a box and hold the press: that is a failure, not a wait for ever.
    DWORD_PTR ignored = 0;
    EXPECT_NE(SendMessageTimeoutW(testing::FindDescendant(form, button), BM_CLICK, 0, 0,
                                  SMTO_NORMAL, kWaitMs, &ignored),
              0)
        << "the press did not return";
    PostMessageW(form, WM_CLOSE, 0, 0);
    DWORD code = 12345;
    if (WaitForSingleObject(process.get(), kWaitMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.get(), &code);
    } else {
        TerminateProcess(process.get(), 99);
    }
    EXPECT_EQ(code, 0u) << "the tool ends with its window";
}

// Files an entry with Register through the tool.
void RegisterThroughTool(const std::wstring& tool, const std::wstring& keyName) {
    PressInTool(tool,
                {{ui::Text4, keyName},
                 {ui::Text2, L"Open Installed Notes"},
                 {ui::Text3, L"http://notes.invalid/"},
                 {ui::Text1, L"C:\\Tools\\notes.exe"}},
                ui::Command2);
    const auto entry = testing::ReadEntry(keyName);
    ASSERT_TRUE(entry.has_value()) << "Register filed no entry";
    EXPECT_EQ(*entry, (testing::StoredEntry{L"Open Installed Notes", L"http://notes.invalid/",
                                            L"C:\\Tools\\notes.exe", 0, true}));
}

std::wstring StatusOf(HWND status) {
    wchar_t text[2048] = {};
    SendMessageW(status, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text));
    return text;
}

// Starts the Actions window, chooses the entry from its menu with the keyboard as a user would
// (the status line names each entry's key as the menu walks past it) and closes the window.
void ChooseInActionsWindow(const std::wstring& program, const std::wstring& keyName) {
    unique_handle process(testing::StartProcess(L"\"" + program + L"\""));
    ASSERT_TRUE(process) << "could not start " << program;
    HWND window =
        WaitForWindowFromFolder(L"PlovaneActionsMenu", program.substr(0, program.rfind(L'\\') + 1));
    if (!window) TerminateProcess(process.get(), 99);
    ASSERT_TRUE(window) << "the Actions window did not show";
    HWND status = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    std::wstring text = StatusOf(status);
    PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, L'a');
    bool chosen = false;
    for (int wait = 0; wait < 500 && !chosen; ++wait, Sleep(20)) {
        const std::wstring now = StatusOf(status);
        if (now == text) continue;
        text = now;
        chosen = text.rfind(L"Key: " + keyName + L" ", 0) == 0;
        PostMessageW(window, WM_KEYDOWN, chosen ? VK_RETURN : VK_DOWN, 0);
    }
    EXPECT_TRUE(chosen) << "the menu never showed the entry; the status line said " << text.size()
                        << " characters";
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.get(), kWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        ADD_FAILURE() << "the Actions window did not close";
    }
}

TEST(Installed, TheFilesAreInTheUsersProgramsFolder) {
    EXPECT_TRUE(FolderExists(InstallFolder())) << InstallFolder();
    for (const wchar_t* file : kShippedFiles) {
        EXPECT_TRUE(Exists(InstallFolder() + file)) << InstallFolder() + file;
    }
}

TEST(Installed, TheStartMenuShortcutsStartTheToolAndTheActionsWindow) {
    EXPECT_TRUE(FolderExists(MenuFolder())) << MenuFolder();
    for (const ShortcutRow& shortcut : kShortcuts) {
        const std::wstring link = MenuFolder() + shortcut.name;
        ASSERT_TRUE(Exists(link)) << link;
        EXPECT_TRUE(SameFile(ShortcutTarget(link), InstallFolder() + shortcut.target))
            << ShortcutTarget(link);
    }
}

TEST(Installed, TheUsersClassNamesTheInstalledStandIn) {
    EXPECT_TRUE(SameFile(StringValue(HKEY_CURRENT_USER, kServerKey, nullptr),
                         InstallFolder() + L"messenger-standin.dll"))
        << StringValue(HKEY_CURRENT_USER, kServerKey, nullptr);
    EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kServerKey, L"ThreadingModel"), L"Apartment");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kClassKey)) << "a per-user package writes no "
                                                              "machine-wide class";
}

TEST(Installed, OneProductOfTheFamilyIsInstalledTheExpectedVersion) {
    const std::vector<std::wstring> products = RelatedProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(ProductVersion(products[0]), Environment(L"PLOVANE_EXPECTED_VERSION"));
}

// Copies the tree at from to to (made if missing).
bool CopyKey(HKEY fromRoot, const wchar_t* from, HKEY toRoot, const wchar_t* to) {
    unique_hkey source, target;
    return RegOpenKeyExW(fromRoot, from, 0, KEY_READ, source.put()) == ERROR_SUCCESS &&
           RegCreateKeyExW(toRoot, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, target.put(),
                           nullptr) == ERROR_SUCCESS &&
           RegCopyTreeW(source.get(), nullptr, target.get()) == ERROR_SUCCESS;
}

// Windows merges the user's classes into HKEY_CLASSES_ROOT, in front of the machine's; Wine 8's
// COM reads only the machine's. The rows the package wrote are copied there for the length of
// this test, as the merged view would show them, and the machine's own rows (a zip copy's) are
// put back after.
class InstalledTool : public ::testing::Test {
protected:
    static constexpr wchar_t kSavedParent[] = L"Software\\Plovane package checks";
    static constexpr wchar_t kSavedKey[] = L"Software\\Plovane package checks\\machine class";
    void SetUp() override {
        std::cout << "[ note ] copying the user's class rows the package wrote to the machine's "
                     "classes: Wine 8's COM does not read per-user classes, Windows merges them\n";
        RegDeleteTreeW(HKEY_CURRENT_USER, kSavedParent);
        if (KeyExists(HKEY_LOCAL_MACHINE, kClassKey)) {
            ASSERT_TRUE(CopyKey(HKEY_LOCAL_MACHINE, kClassKey, HKEY_CURRENT_USER, kSavedKey));
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
        }
        ASSERT_TRUE(CopyKey(HKEY_CURRENT_USER, kClassKey, HKEY_LOCAL_MACHINE, kClassKey))
            << "the package wrote no user class";
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
        if (KeyExists(HKEY_CURRENT_USER, kSavedKey)) {
            EXPECT_TRUE(CopyKey(HKEY_CURRENT_USER, kSavedKey, HKEY_LOCAL_MACHINE, kClassKey));
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, kSavedParent);
    }
};

TEST_F(InstalledTool, RegisterThroughTheInstalledToolFilesAnEntry) {
    RegisterThroughTool(InstallFolder() + L"plovane-actions.exe", L"installed-notes");
}

// An entry for a program that records its start: the installed Actions window starts it, and the
// installed tool removes it again.
TEST_F(InstalledTool, TheActionsWindowStartsAnEntryAndUnregisterRemovesIt) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"plovane-started";
    const std::wstring program = folder + L"\\started-marker.exe";
    const std::wstring marker = folder + L"\\started-marker.txt";
    CreateDirectoryW(folder.c_str(), nullptr);
    DeleteFileW(marker.c_str());
    ASSERT_TRUE(CopyFileW((testing::ProgramFolder() + L"started-marker.exe").c_str(),
                          program.c_str(), FALSE));
    const std::wstring tool = InstallFolder() + L"plovane-actions.exe";
    PressInTool(tool,
                {{ui::Text4, L"started-marker"},
                 {ui::Text2, L"Start the marker"},
                 {ui::Text3, L"http://marker.invalid/"},
                 {ui::Text1, program}},
                ui::Command2);
    ASSERT_TRUE(testing::ReadEntry(L"started-marker").has_value()) << "Register filed no entry";
    ChooseInActionsWindow(InstallFolder() + L"actions-menu.exe", L"started-marker");
    for (int wait = 0; wait < 500 && !Exists(marker); ++wait)
        Sleep(20);
    EXPECT_TRUE(Exists(marker)) << "the entry's program did not start";
    PressInTool(tool, {{ui::Text5, L"started-marker"}}, ui::Command3);
    EXPECT_FALSE(testing::ReadEntry(L"started-marker").has_value()) << "Unregister left the entry";
    Sleep(100);  // the marker's program has written and closed its file
    DeleteFileW(marker.c_str());
    DeleteFileW(program.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(Removed, TheFilesTheFolderTheShortcutsAndTheClassAreGone) {
    for (const wchar_t* file : kShippedFiles) {
        EXPECT_FALSE(Exists(InstallFolder() + file)) << InstallFolder() + file;
    }
    EXPECT_FALSE(FolderExists(InstallFolder()));
    for (const ShortcutRow& shortcut : kShortcuts) {
        EXPECT_FALSE(Exists(MenuFolder() + shortcut.name)) << shortcut.name;
    }
    EXPECT_FALSE(FolderExists(MenuFolder()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClassKey));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kInstallerKey));
    EXPECT_TRUE(RelatedProducts().empty());
}

TEST(Removed, TheEntriesTheUserRegisteredStay) {
    EXPECT_TRUE(testing::ReadEntry(L"installed-notes").has_value());
}

// Another server (Messenger's own, here the stand-in from elsewhere) holds the class.
TEST(OtherServer, ItsRegistrationIsUnchangedAndThePackageWroteNoClass) {
    const std::wstring other = Environment(L"PLOVANE_OTHER_SERVER");
    ASSERT_FALSE(other.empty());
    EXPECT_EQ(StringValue(HKEY_LOCAL_MACHINE, kServerKey, nullptr), other);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClassKey))
        << "a user class would hide the other server's in the merged view";
}

TEST(OtherServer, TheInstalledToolRegistersThroughThatServer) {
    RegisterThroughTool(InstallFolder() + L"plovane-actions.exe", L"through-other");
}

TEST(OtherUserServer, ItsRegistrationIsUnchanged) {
    const std::wstring other = Environment(L"PLOVANE_OTHER_SERVER");
    ASSERT_FALSE(other.empty());
    EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kServerKey, nullptr), other);
    EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kServerKey, L"ThreadingModel"), L"")
        << "the package added nothing to the other server's key";
    EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kClassKey, nullptr), L"");
}

TEST(Zip, TheUnpackedStandInRegistersAndTheToolFilesAnEntry) {
    const std::wstring folder = Environment(L"PLOVANE_ZIP_FOLDER") + L"\\";
    for (const wchar_t* file : kShippedFiles) {
        EXPECT_TRUE(Exists(folder + file)) << folder + file;
    }
    const std::wstring dll = folder + L"messenger-standin.dll";
    ASSERT_EQ(Regsvr32(L"", dll), 0);
    EXPECT_TRUE(SameFile(StringValue(HKEY_LOCAL_MACHINE, kServerKey, nullptr), dll));
    RegisterThroughTool(folder + L"plovane-actions.exe", L"from-zip");
    EXPECT_EQ(Regsvr32(L"/u ", dll), 0);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kClassKey));
}

// Copies of the zip registered with regsvr32 and then deleted or left beside a later one: the
// stand-in named by PLOVANE_STANDIN registers (the class then names it), the tool of the copy in
// PLOVANE_ZIP_FOLDER starts and files an entry, and regsvr32 /u of that copy removes the class.
TEST(ZipRegister, TheStandInRegistersOverWhatAnEarlierCopyLeft) {
    const std::wstring dll = Environment(L"PLOVANE_STANDIN");
    ASSERT_TRUE(Exists(dll)) << dll;
    EXPECT_EQ(Regsvr32(L"", dll), 0);
    EXPECT_TRUE(SameFile(StringValue(HKEY_LOCAL_MACHINE, kServerKey, nullptr), dll))
        << StringValue(HKEY_LOCAL_MACHINE, kServerKey, nullptr);
}

TEST(ZipTool, TheToolOfTheRemainingCopyStartsAndFilesAnEntry) {
    RegisterThroughTool(Environment(L"PLOVANE_ZIP_FOLDER") + L"\\plovane-actions.exe",
                        L"from-remaining-copy");
}

TEST(ZipUnregister, RegsvrUnregisterRemovesTheClass) {
    const std::wstring dll = Environment(L"PLOVANE_ZIP_FOLDER") + L"\\messenger-standin.dll";
    EXPECT_EQ(Regsvr32(L"/u ", dll), 0);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kClassKey));
}

// The MSI installed after a zip copy was registered and deleted: the deleted copy's machine
// registration is left (a per-user package cannot write there), and the user's class names the
// installed stand-in, which the merged view puts in front of it.
TEST(AfterDeletedCopy, TheUsersClassNamesTheInstalledStandIn) {
    EXPECT_TRUE(SameFile(StringValue(HKEY_CURRENT_USER, kServerKey, nullptr),
                         InstallFolder() + L"messenger-standin.dll"))
        << "the package wrote no class: " << StringValue(HKEY_CURRENT_USER, kServerKey, nullptr);
    EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kServerKey, L"ThreadingModel"), L"Apartment");
}

// The MSI installed beside a registered zip copy (in either order): the user's class names the
// installed stand-in, which the merged view puts in front, and the zip copy's machine
// registration is left as it was.
TEST(BesideZipCopy, TheUsersClassNamesTheInstalledStandInTheMachinesTheZipCopy) {
    EXPECT_TRUE(SameFile(StringValue(HKEY_CURRENT_USER, kServerKey, nullptr),
                         InstallFolder() + L"messenger-standin.dll"))
        << "the package wrote no class: " << StringValue(HKEY_CURRENT_USER, kServerKey, nullptr);
    const std::wstring zip = Environment(L"PLOVANE_ZIP_FOLDER") + L"\\messenger-standin.dll";
    EXPECT_TRUE(SameFile(StringValue(HKEY_LOCAL_MACHINE, kServerKey, nullptr), zip))
        << StringValue(HKEY_LOCAL_MACHINE, kServerKey, nullptr);
}

// The installed tool and Actions window, started as a user would and left running for the
// uninstall or upgrade that follows.
struct RunningProgram {
    const wchar_t* file;
    const wchar_t* windowClass;
};
constexpr RunningProgram kRunningPrograms[] = {{L"plovane-actions.exe", L"PlovaneForm1"},
                                               {L"actions-menu.exe", L"PlovaneActionsMenu"}};
using Running = InstalledTool;

TEST_F(Running, TheInstalledToolAndTheActionsWindowStartAndStay) {
    for (const RunningProgram& program : kRunningPrograms) {
        unique_handle process(
            testing::StartProcess(L"\"" + InstallFolder() + program.file + L"\""));
        ASSERT_TRUE(process) << program.file;
        EXPECT_TRUE(WaitForWindowFromFolder(program.windowClass, InstallFolder()))
            << program.file << " showed no window";
    }
}

// The installed folder spelled in other letters' case is the same folder: the tool started from
// it is an installed program that an uninstall or upgrade must close as well.
TEST_F(Running, TheToolStartedFromTheInstalledFolderInOtherLettersCaseStays) {
    std::wstring folder = InstallFolder();
    CharUpperW(&folder[0]);
    unique_handle process(testing::StartProcess(L"\"" + folder + L"plovane-actions.exe\""));
    ASSERT_TRUE(process);
    EXPECT_TRUE(WaitForWindowOfProcess(L"PlovaneForm1", GetProcessId(process.get())));
}

// Whatever the uninstall or upgrade did with them, none of the programs started from the
// installed folder is left running (a portable copy elsewhere may be).
TEST(LeftRunning, NoneOfTheProgramsStartedFromTheInstalledFolder) {
    for (const RunningProgram& program : kRunningPrograms) {
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (WindowFromFolder(program.windowClass, InstallFolder()) && GetTickCount64() < end)
            Sleep(50);
        EXPECT_EQ(WindowFromFolder(program.windowClass, InstallFolder()), nullptr) << program.file;
    }
}

// A portable copy of the tool from the zip (PLOVANE_ZIP_FOLDER), running with text the user
// typed and has not registered yet, through an uninstall or upgrade of the MSI.
constexpr wchar_t kTypedText[] = L"typed in the portable copy, not registered yet";
std::wstring ZipFolder() {
    return Environment(L"PLOVANE_ZIP_FOLDER") + L"\\";
}

// Started beside the MSI's install, under the merged view: the user's class comes first, so the
// portable tool holds the installed stand-in, as it does on Windows. (No module list shows that
// under an emulated Wine 10; the Released phase finds the file held.)
using PortableStarts = InstalledTool;
TEST_F(PortableStarts, TheZipsToolStartsUnderTheMergedViewAndTheUserTypesInIt) {
    unique_handle process(testing::StartProcess(L"\"" + ZipFolder() + L"plovane-actions.exe\""));
    ASSERT_TRUE(process);
    HWND form = WaitForWindowFromFolder(L"PlovaneForm1", ZipFolder());
    ASSERT_TRUE(form) << "the portable tool showed no window";
    testing::SetWindowTextTo(testing::FindDescendant(form, ui::Text2), kTypedText);
    EXPECT_EQ(testing::WindowText(testing::FindDescendant(form, ui::Text2)), kTypedText);
}

TEST(PortableRuns, ThePortableToolStillRunsWithWhatWasTyped) {
    HWND form = WindowFromFolder(L"PlovaneForm1", ZipFolder());
    ASSERT_TRUE(form) << "the portable copy was closed";
    EXPECT_EQ(testing::WindowText(testing::FindDescendant(form, ui::Text2)), kTypedText);
}

// After an uninstall or upgrade beside the portable tool holding the installed stand-in: the held
// file was moved out of the installed folder, is still held (it cannot be deleted: the loader
// keeps its first name, so no module list shows the new one) and waits for the next restart to
// delete it; nothing in the installed folder waits for the restart.
TEST(Released, TheHeldStandInWaitsOutsideTheInstalledFolderForTheRestart) {
    ASSERT_TRUE(WindowFromFolder(L"PlovaneForm1", ZipFolder())) << "the portable copy was closed";
    int held = 0;
    for (const auto& [file, to] : PendingRenames()) {
        EXPECT_NE(file.rfind(InstallFolder(), 0), 0u) << "waits in the installed folder: " << file;
        if (to.empty() && IsStandIn(file) && !DeleteFileW(file.c_str())) ++held;
    }
    EXPECT_EQ(held, 1) << "the held stand-in, moved aside, is not what the restart deletes";
}

// The upgrade's own stand-in is in place at once, and nothing else lies beside the shipped files
// (no file of the earlier version waiting under another name).
TEST(Upgraded, TheNewStandInIsInPlaceAtOnce) {
    EXPECT_EQ(VersionString(InstallFolder() + L"messenger-standin.dll", L"FileVersion"),
              Environment(L"PLOVANE_FILE_VERSION"));
    std::vector<std::wstring> files = FilesIn(InstallFolder());
    std::sort(files.begin(), files.end());
    std::vector<std::wstring> shipped(std::begin(kShippedFiles), std::end(kShippedFiles));
    std::sort(shipped.begin(), shipped.end());
    EXPECT_EQ(files, shipped);
}

// The portable copy ends, as a restart would end it.
TEST(PortableEnds, ThePortableToolCloses) {
    HWND form = WindowFromFolder(L"PlovaneForm1", ZipFolder());
    ASSERT_TRUE(form) << "the portable copy was closed";
    DWORD processId = 0;
    GetWindowThreadProcessId(form, &processId);
    unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    ASSERT_TRUE(process);
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process.get(), kWaitMs), WAIT_OBJECT_0);
}

// After the restart: nothing waits any longer, and no copy of the stand-in is left in the
// temporary folder, where a held one was moved.
TEST(Restarted, NothingOfTheHeldStandInIsLeft) {
    EXPECT_TRUE(PendingRenames().empty());
    for (const std::wstring& name : FilesIn(TempFolder())) {
        EXPECT_FALSE(IsStandIn(TempFolder() + name)) << "left: " << name;
    }
}

}  // namespace
}  // namespace plovane
