// The stand-in's Actions menu against real stores: what it lists, and what choosing an entry does
// (how it follows changes is in store_follow_tests.cpp).
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "common/com_apartment.h"
#include "common/system_text.h"
#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "standin/actions_menu.h"
#include "standin/store.h"
#include "tests/support/actions_menu_fixture.h"
#include "tests/support/box_catcher.h"
#include "tests/support/fake_session.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane {
namespace {

using testing::ToBstr;

void File(const std::wstring& key, const std::wstring& name, const std::wstring& path,
          const std::wstring& url = L"http://example.invalid/") {
    ASSERT_HRESULT_SUCCEEDED(standin::StoreEntry(ToBstr(key).get(), ToBstr(name).get(),
                                                 ToBstr(url).get(), ToBstr(path).get(), 0));
}

class ActionsMenuTest : public testing::ActionsMenuFixture {
protected:
    // Runs the menu's own loop until the menu shows the expected count, or a second passes.
    bool FollowsWithinASecond(size_t count) {
        const ULONGLONG end = GetTickCount64() + 1000;
        while (GetTickCount64() < end) {
            menu_.RunOnce(50);
            if (menu_.entries().size() == count) return true;
        }
        return false;
    }
    void Choose(int position) {
        SendMessageW(menu_.hwnd(), WM_COMMAND, GetMenuItemID(menu_.actionsMenu(), position), 0);
    }
};

TEST_F(ActionsMenuTest, AnEmptyStoreShowsOneDisabledItemSayingSo) {
    Open();
    EXPECT_EQ(testing::WindowText(menu_.hwnd()), L"Actions");
    EXPECT_EQ(Items(), std::vector<std::wstring>{L"No programs are registered"});
    EXPECT_TRUE(Grayed(0));
    wchar_t bar[32] = {};
    GetMenuStringW(GetMenu(menu_.hwnd()), 0, bar, 32, MF_BYPOSITION);
    EXPECT_STREQ(bar, L"&Actions");
}

TEST_F(ActionsMenuTest, OneEntryIsListedByItsMenuNameWithKeyAndUrlShownWhenHighlighted) {
    File(L"notes", L"Open Notes & Lists", L"C:\\Tools\\notes.exe", L"http://notes.invalid/");
    Open();
    EXPECT_EQ(Items(), std::vector<std::wstring>{L"Open Notes && Lists"});
    EXPECT_FALSE(Grayed(0));
    SendMessageW(menu_.hwnd(), WM_MENUSELECT,
                 MAKEWPARAM(GetMenuItemID(menu_.actionsMenu(), 0), MF_STRING),
                 reinterpret_cast<LPARAM>(menu_.actionsMenu()));
    EXPECT_EQ(testing::WindowText(menu_.statusBar()), L"Key: notes    URL: http://notes.invalid/");
}

TEST_F(ActionsMenuTest, ThreeHundredEntriesAreListedInKeyNameOrder) {
    for (int i = 299; i >= 0; --i) {
        wchar_t key[16];
        swprintf(key, 16, L"key-%03d", i);
        File(key, std::wstring(L"Menu ") + key, L"C:\\p.exe");
    }
    Open();
    const auto items = Items();
    ASSERT_EQ(items.size(), 300u);
    EXPECT_EQ(items.front(), L"Menu key-000");
    EXPECT_EQ(items[150], L"Menu key-150");
    EXPECT_EQ(items.back(), L"Menu key-299");
    EXPECT_EQ(testing::WindowText(menu_.statusBar()), L"300 programs registered");
}

TEST_F(ActionsMenuTest, DamagedEntriesAreListedAsSuchAndHideNothingElse) {
    File(L"a-whole", L"Whole", L"C:\\w.exe");
    File(L"b-no-path", L"No path", L"C:\\n.exe");
    File(L"c-path-number", L"Number", L"C:\\x.exe");
    File(L"d-no-flags", L"No flags", L"C:\\f.exe");
    const std::wstring store = standin::kStoreKeyPath;
    RegDeleteKeyValueW(HKEY_CURRENT_USER, (store + L"\\b-no-path").c_str(), L"Path");
    const DWORD number = 7;
    RegSetKeyValueW(HKEY_CURRENT_USER, (store + L"\\c-path-number").c_str(), L"Path", REG_DWORD,
                    &number, sizeof(number));
    RegDeleteKeyValueW(HKEY_CURRENT_USER, (store + L"\\d-no-flags").c_str(), L"Flags");
    File(L"f-path-to-expand", L"To expand", L"C:\\x.exe");
    testing::SetStraight(L"f-path-to-expand", standin::kPathValue, L"%SystemRoot%\\x.exe",
                         REG_EXPAND_SZ);
    unique_hkey bare;
    RegCreateKeyExW(HKEY_CURRENT_USER, (store + L"\\e-empty").c_str(), 0, nullptr, 0, KEY_WRITE,
                    nullptr, bare.put(), nullptr);
    Open();
    EXPECT_EQ(Items(), (std::vector<std::wstring>{
                           L"Whole", L"b-no-path (damaged)", L"c-path-number (damaged)",
                           L"d-no-flags (damaged)", L"e-empty (damaged)", L"To expand"}));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(Grayed(i), i > 0 && i < 5) << i;
}

TEST_F(ActionsMenuTest, KeyNamesAreOrderedAsTheRegistryOrdersThemWithoutRegardToCase) {
    for (const wchar_t* key : {L"beta", L"_under", L"Alpha", L"zulu", L"DELTA", L"Charlie"}) {
        File(key, key, L"C:\\p.exe");
    }
    Open();
    // Case folded upwards, as the registry compares: '_' sorts after every letter.
    EXPECT_EQ(Items(), (std::vector<std::wstring>{L"Alpha", L"beta", L"Charlie", L"DELTA", L"zulu",
                                                  L"_under"}));
}

// An item is cut with an ellipsis where its name is too wide for the screen; the status line
// names it whole when it is highlighted, and the store keeps every character.
TEST_F(ActionsMenuTest, AHugeMenuNameIsCutAndHidesNoOtherEntry) {
    std::wstring huge(4000000, L'h');
    huge.replace(250, 3, L"a&b");
    File(L"b-huge", huge, L"C:\\huge.exe", L"http://" + std::wstring(1000000, L'u'));
    File(L"a-first", L"First", L"C:\\first.exe");
    File(L"c-last", L"Last", L"C:\\last.exe");
    const std::wstring wide(260, L'W');
    File(L"d-wide", wide, L"C:\\wide.exe");
    Open();
    const auto items = Items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0], L"First");
    EXPECT_EQ(items[2], L"Last");
    for (size_t i : {1u, 3u}) {
        const std::wstring& item = items[i];
        ASSERT_FALSE(item.empty());
        EXPECT_EQ(item.back(), L'\x2026') << item;
        EXPECT_LT(item.size(), 200u) << "cut to fit half of an 800-pixel screen: " << item;
        EXPECT_EQ(item.substr(0, item.size() - 1),
                  (i == 1 ? huge : wide).substr(0, item.size() - 1));
    }
    const struct {
        int position;
        std::wstring status;
    } highlighted[] = {{1, huge.substr(0, 259) + L"\x2026    Key: b-huge    URL: http://" +
                               std::wstring(252, L'u') + L"\x2026"},
                       {3, wide + L"    Key: d-wide    URL: http://example.invalid/"},
                       {2, L"Key: c-last    URL: http://example.invalid/"}};
    for (const auto& h : highlighted) {
        SendMessageW(menu_.hwnd(), WM_MENUSELECT,
                     MAKEWPARAM(GetMenuItemID(menu_.actionsMenu(), h.position), MF_STRING),
                     reinterpret_cast<LPARAM>(menu_.actionsMenu()));
        EXPECT_EQ(testing::WindowText(menu_.statusBar()), h.status);
    }
    standin::MenuEntry stored;
    ASSERT_TRUE(standin::ReadCurrentEntry(L"d-wide", stored));
    EXPECT_EQ(std::wstring(stored.menuName.get(), stored.menuName.length()), wide);
}

// The real Actions window in its own process: its menu opens from the keyboard within the work
// area, and every entry can be reached in it, the huge and the wide among them.
TEST_F(ActionsMenuTest, TheMenuWithAHugeNameOpensAndEveryEntryIsReachable) {
    File(L"a-first", L"First", L"C:\\first.exe");
    File(L"b-huge", std::wstring(4000000, L'h'), L"C:\\huge.exe");
    File(L"c-last", L"Last", L"C:\\last.exe");
    File(L"d-wide", std::wstring(260, L'W'), L"C:\\wide.exe");
    unique_handle process(
        testing::StartProcess(L"\"" + testing::ProgramFolder() + L"actions-menu.exe\""));
    ASSERT_TRUE(process);
    HWND window = testing::WaitForVisibleWindow(L"PlovaneActionsMenu", L"Actions", 20000);
    ASSERT_TRUE(window);
    HWND status = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, L'a');
    HWND popup = testing::WaitForVisibleWindow(L"#32768", nullptr, 20000);
    EXPECT_TRUE(popup) << "the menu opened";
    RECT work = {}, shown = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(popup, &shown);
    EXPECT_TRUE(shown.left >= work.left && shown.right <= work.right)
        << "the popup spans " << shown.left << " to " << shown.right << " of " << work.left
        << " to " << work.right;
    // Each press of Down highlights the next entry, and the status line names its key.
    std::set<std::wstring> reached;
    std::wstring text = testing::WindowText(status);
    for (int press = 0; press < 8 && reached.size() < 4; ++press) {
        const size_t key = text.find(L"Key: ");
        if (key != std::wstring::npos) reached.insert(text.substr(key + 5, 6));
        const std::wstring before = text;
        PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
        for (int wait = 0; wait < 250 && text == before; ++wait, Sleep(20))
            text = testing::WindowText(status);
    }
    EXPECT_EQ(reached, (std::set<std::wstring>{L"a-firs", L"b-huge", L"c-last", L"d-wide"}));
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
    }
}

// A path stored as REG_EXPAND_SZ (as .reg files and regedit store many) is expanded as Windows
// expands it, and starts like any other.
TEST_F(ActionsMenuTest, ChoosingAnEntryStartsItsProgramInItsOwnFolder) {
    const std::wstring folder = testing::ProgramFolder();
    const std::wstring marker = folder + L"started-marker.txt";
    SetEnvironmentVariableW(L"PLOVANE_TEST_FOLDER", folder.c_str());
    const struct {
        const wchar_t* what;
        DWORD type;
        std::wstring path;
    } cases[] = {{L"as text", REG_SZ, folder + L"started-marker.exe"},
                 {L"to expand", REG_EXPAND_SZ, L"%PLOVANE_TEST_FOLDER%started-marker.exe"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(marker.c_str());
        File(L"marker", L"Marker", L"C:\\replaced.exe");
        testing::SetStraight(L"marker", standin::kPathValue, c.path, c.type);
        if (!menu_.hwnd()) Open();
        ASSERT_TRUE(FollowsWithinASecond(1));
        ASSERT_FALSE(Grayed(0));
        testing::BoxCatcher boxes;
        Choose(0);
        bool started = false;
        for (int i = 0; i < 200 && !started; ++i, Sleep(25)) {
            started = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
        }
        ASSERT_TRUE(started);
        Sleep(100);
        EXPECT_EQ(testing::ReadStartedFolder(marker) + L"\\", folder);
        EXPECT_TRUE(boxes.boxes().empty());
    }
    DeleteFileW(marker.c_str());
}

TEST_F(ActionsMenuTest, AProgramThatCannotStartIsReportedAndTheMenuStaysUsable) {
    File(L"a-missing", L"Missing", L"C:\\nowhere\\missing.exe");
    File(L"b-other", L"Other", L"C:\\nowhere\\other.exe");
    Open();
    testing::BoxCatcher boxes;
    Choose(0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const auto& box = boxes.boxes()[0];
    EXPECT_EQ(box.title, L"Actions");
    EXPECT_NE(box.prompt.find(L"C:\\nowhere\\missing.exe"), std::wstring::npos);
    EXPECT_GT(box.prompt.size(), std::wstring(L"C:\\nowhere\\missing.exe").size() + 40)
        << "the system's reason is given too";
    EXPECT_EQ(box.owner, menu_.hwnd());
    Choose(1);
    EXPECT_EQ(boxes.boxes().size(), 2u) << "the menu still answers";
    EXPECT_EQ(Items().size(), 2u);
}

// Wine's shell dies on a path of some hundreds of characters; an entry written by another program
// may hold one.
TEST_F(ActionsMenuTest, APathTooLongToStartIsReportedAndNeverHandedToTheSystem) {
    const std::wstring path = L"C:\\" + std::wstring(1100, L'p') + L".exe";
    File(L"a-long", L"Long", path);
    Open();
    testing::BoxCatcher boxes;
    Choose(0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const std::wstring prompt = boxes.boxes()[0].prompt;
    EXPECT_EQ(prompt.find(L"The program of \"Long\" could not be started."), 0u) << prompt;
    wchar_t reason[512] = {};
    if (SystemText(ERROR_FILENAME_EXCED_RANGE, reason, 512)) {
        EXPECT_NE(prompt.find(reason), std::wstring::npos) << prompt;
    }
    EXPECT_EQ(Items(), std::vector<std::wstring>{L"Long"}) << "the window lives on";
}

// A path of MAX_PATH characters or more is refused before the system sees it; one character
// fewer is the system's to start (or, here, to find missing). The quotes of a quoted path are
// not part of its length.
TEST_F(ActionsMenuTest, APathOfMaxPathCharactersIsRefusedAndOneFewerIsHandedToTheSystem) {
    wchar_t tooLong[512] = {};
    ASSERT_TRUE(SystemText(ERROR_FILENAME_EXCED_RANGE, tooLong, 512));
    const struct {
        size_t length;  // without the quotes
        bool quoted;
        bool refused;
    } cases[] = {{MAX_PATH - 1, false, false},
                 {MAX_PATH, false, true},
                 {MAX_PATH + 1, false, true},
                 {MAX_PATH - 1, true, false},
                 {MAX_PATH, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.length << (c.quoted ? " quoted" : ""));
        testing::ClearStore();
        const std::wstring head = L"C:\\nowhere\\";
        const std::wstring path = head + std::wstring(c.length - head.size() - 4, L'p') + L".exe";
        ASSERT_EQ(path.size(), c.length);
        File(L"a-path", L"Path", c.quoted ? L"\"" + path + L"\"" : path);
        if (!menu_.hwnd()) Open();
        ASSERT_TRUE(FollowsWithinASecond(1) || FollowsWithinASecond(1));
        testing::BoxCatcher boxes;
        Choose(0);
        ASSERT_EQ(boxes.boxes().size(), 1u);
        const std::wstring& prompt = boxes.boxes()[0].prompt;
        EXPECT_EQ(prompt.find(tooLong) != std::wstring::npos, c.refused) << prompt;
    }
}

// A box is as wide as its longest line: a long path with no space in it is broken into lines
// that fit the screen, and every character of it is still there; "&" reads as itself.
TEST_F(ActionsMenuTest, TheErrorBoxFitsTheScreenWithTheWholePathAndAmpersandsAsTyped) {
    const std::wstring path =
        L"C:\\nowhere\\" + std::wstring(120, L'd') + L"\\" + std::wstring(110, L'f') + L".exe";
    ASSERT_LT(path.size(), static_cast<size_t>(MAX_PATH));
    File(L"a-long", L"Fish & Chips", path);
    Open();
    testing::BoxCatcher boxes;
    Choose(0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const testing::CaughtBox& box = boxes.boxes()[0];
    std::wstring joined;
    for (wchar_t c : box.prompt) {
        if (c != L'\n') joined += c;
    }
    EXPECT_NE(joined.find(path), std::wstring::npos) << "the whole path, in lines: " << box.prompt;
    EXPECT_NE(box.prompt.find(L"\"Fish & Chips\""), std::wstring::npos) << box.prompt;
    EXPECT_GT(std::count(box.prompt.begin(), box.prompt.end(), L'\n'), 4) << box.prompt;
    const int screen = GetSystemMetrics(SM_CXSCREEN);
    EXPECT_GE(box.frame.left, 0) << box.frame.right - box.frame.left << " of " << screen;
    EXPECT_LE(box.frame.right, screen) << box.frame.right - box.frame.left << " of " << screen;
}

using ActionsWindowProcessTest = testing::ActionsWindowProcess;

// A path broken into lines to fit the box on the screen is copied from the box (Ctrl+C, as from
// any message box) whole, so that it pastes back as a path.
TEST_F(ActionsWindowProcessTest, CopyingTheErrorBoxGivesThePathWhole) {
    const std::wstring path =
        L"C:\\nowhere\\" + std::wstring(120, L'd') + L"\\" + std::wstring(110, L'f') + L".exe";
    File(L"a-long", L"Long", path);
    Start();
    // Chosen once listed: a command for an item the window has not made yet chooses nothing.
    ASSERT_TRUE(WaitForStatus(L"1 program registered")) << Status();
    PostMessageW(window_, WM_COMMAND, standin::kFirstEntryCommand, 0);
    HWND box = testing::WaitForVisibleWindow(L"#32770", L"Actions", kProcessWaitMs);
    ASSERT_TRUE(box);
    SetForegroundWindow(box);
    for (int wait = 0; wait < 250 && GetForegroundWindow() != box; ++wait)
        Sleep(20);
    ASSERT_EQ(GetForegroundWindow(), box);
    const DWORD before = GetClipboardSequenceNumber();
    INPUT keys[4] = {};
    for (INPUT& key : keys)
        key.type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[3].ki.wVk = VK_CONTROL;
    keys[1].ki.wVk = keys[2].ki.wVk = 'C';
    keys[2].ki.dwFlags = keys[3].ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(SendInput(4, keys, sizeof(INPUT)), 4u);
    for (int wait = 0; wait < 250 && GetClipboardSequenceNumber() == before; ++wait)
        Sleep(20);
    std::wstring copied;
    if (OpenClipboard(nullptr)) {
        if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
            if (const auto* text = static_cast<const wchar_t*>(GlobalLock(data))) {
                copied = text;
                GlobalUnlock(data);
            }
        }
        CloseClipboard();
    }
    testing::CaughtBox caught;
    ASSERT_TRUE(testing::CatchForeignBox(L"Actions", caught, kProcessWaitMs));
    EXPECT_EQ(caught.prompt.find(path), std::wstring::npos) << "shown in lines: " << caught.prompt;
    EXPECT_NE(copied.find(L"\r\n" + path + L"\r\n"), std::wstring::npos) << copied;
    EXPECT_NE(copied.find(L"The program of \"Long\" could not be started."), std::wstring::npos)
        << copied;
}

}  // namespace

int RegisterEntryFromChild(const std::wstring& key) {
    return SUCCEEDED(standin::StoreEntry(ToBstr(key).get(), ToBstr(L"menu " + key).get(),
                                         ToBstr(L"url").get(), ToBstr(L"C:\\p.exe").get(), 0))
               ? 0
               : 1;
}

}  // namespace plovane
