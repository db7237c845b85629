// The real Actions window in its own process, as a user meets it: entries written by other
// programs, read from its menu and status line, and chosen with the keyboard.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "common/com_apartment.h"
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

constexpr DWORD kWaitMs = 20000;

void File(const std::wstring& key, const std::wstring& name, const std::wstring& path,
          const std::wstring& url = L"http://example.invalid/") {
    using testing::ToBstr;
    ASSERT_HRESULT_SUCCEEDED(standin::StoreEntry(ToBstr(key).get(), ToBstr(name).get(),
                                                 ToBstr(url).get(), ToBstr(path).get(), 0));
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CurrentFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    std::wstring text(folder);
    return text.back() == L'\\' ? text : text + L"\\";
}

class ActionsWindowTest : public testing::ActionsWindowProcess {
protected:
    // The items of the window's menu, read from this process as the text each item holds.
    std::vector<std::wstring> Items() const {
        std::vector<std::wstring> items;
        HMENU menu = GetSubMenu(GetMenu(window_), 0);
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[1024] = {};
            GetMenuStringW(menu, i, text, 1024, MF_BYPOSITION);
            items.push_back(text);
        }
        return items;
    }
    // Waits until the status line changes from what it said.
    std::wstring NextStatus(const std::wstring& before) const {
        std::wstring text = Status();
        for (int wait = 0; wait < 500 && text == before; ++wait, Sleep(20))
            text = Status();
        return text;
    }
    // Opens the menu from the keyboard and walks it with Down until the status line names the
    // entry's key; gives the status line's text there, or empty when the key was never reached.
    std::wstring Highlight(const std::wstring& key, int items) {
        const std::wstring summary = Status();
        PostMessageW(window_, WM_SYSCOMMAND, SC_KEYMENU, L'a');
        if (!testing::WaitForVisibleWindow(L"#32768", nullptr, kWaitMs)) return L"";
        std::wstring text = NextStatus(summary);
        for (int press = 0; press <= items; ++press) {
            if (text.rfind(L"Key: " + key + L" ", 0) == 0) return text;
            PostMessageW(window_, WM_KEYDOWN, VK_DOWN, 0);
            text = NextStatus(text);
        }
        return L"";
    }
    // Chooses the entry with Enter, as a user would.
    bool Choose(const std::wstring& key, int items) {
        if (Highlight(key, items).empty()) return false;
        PostMessageW(window_, WM_KEYDOWN, VK_RETURN, 0);
        return true;
    }
    void CloseMenu() {
        PostMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
        for (int wait = 0; wait < 250 && FindWindowW(L"#32768", nullptr); ++wait)
            Sleep(20);
    }
};

// A folder with a space in its name, holding a copy of the program that records where it
// started; removed again with what it holds.
class SpacedFolder {
public:
    SpacedFolder() : path_(testing::ProgramFolder() + L"folder with space\\") {
        CreateDirectoryW(path_.c_str(), nullptr);
        CopyFileW((testing::ProgramFolder() + L"started-marker.exe").c_str(), program().c_str(),
                  FALSE);
        DeleteFileW(marker().c_str());
    }
    ~SpacedFolder() {
        DeleteFileW(marker().c_str());
        DeleteFileW(program().c_str());
        RemoveDirectoryW(path_.c_str());
    }
    SpacedFolder(const SpacedFolder&) = delete;
    SpacedFolder& operator=(const SpacedFolder&) = delete;
    std::wstring program() const { return path_ + L"started-marker.exe"; }
    std::wstring marker() const { return path_ + L"started-marker.txt"; }
    std::wstring path() const { return path_; }

private:
    std::wstring path_;
};

// Where a started program says it started: in the folder given, or (wrongly) in the folder the
// Actions window itself runs in. Empty when neither shows in time.
std::wstring StartedIn(const SpacedFolder& folder) {
    const std::wstring stray = CurrentFolder() + L"started-marker.txt";
    for (int wait = 0; wait < 500; ++wait, Sleep(20)) {
        for (const std::wstring& marker : {folder.marker(), stray}) {
            if (!Exists(marker)) continue;
            Sleep(100);  // written and closed
            std::wstring line = testing::ReadStartedFolder(marker);
            DeleteFileW(marker.c_str());
            return line;
        }
    }
    return L"";
}

TEST_F(ActionsWindowTest, APathInQuotesStartsTheProgramInItsOwnFolderAsAPlainPathDoes) {
    SpacedFolder folder;
    ASSERT_TRUE(Exists(folder.program()));
    const std::wstring ownFolder = folder.path().substr(0, folder.path().size() - 1);
    DeleteFileW((CurrentFolder() + L"started-marker.txt").c_str());
    File(L"plain", L"Plain", folder.program());
    File(L"quoted", L"Quoted", L"\"" + folder.program() + L"\"");  // Explorer's "Copy as path"
    Start();
    testing::CaughtBox box;
    ASSERT_TRUE(Choose(L"plain", 2));
    EXPECT_EQ(StartedIn(folder), ownFolder);
    ASSERT_TRUE(Choose(L"quoted", 2));
    EXPECT_EQ(StartedIn(folder), ownFolder) << "started, in the program's own folder";
    EXPECT_FALSE(testing::CatchForeignBox(L"Actions", box, 200)) << box.prompt;
}

// The reason the system gives, as the box shows it after the path.
std::wstring Reason(const std::wstring& prompt) {
    const size_t last = prompt.rfind(L"\n\n");
    return last == std::wstring::npos ? L"" : prompt.substr(last + 2);
}

bool HasInsertMark(const std::wstring& text) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == L'%' && iswdigit(text[i + 1])) return true;
    }
    return false;
}

TEST_F(ActionsWindowTest, AFileThatIsNoProgramIsReportedInWordsWithNoInsertMark) {
    SpacedFolder folder;
    const std::wstring text = folder.path() + L"not a program.exe";
    {
        unique_handle file(
            CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), "just some words\r\n", 17, &written, nullptr));
    }
    const std::wstring library = testing::ProgramFolder() + L"failing-server.dll";
    File(L"a-library", L"A library", library);
    File(L"b-text", L"A text", text);
    Start();
    for (const auto& [key, path] : {std::pair{std::wstring(L"a-library"), library},
                                    std::pair{std::wstring(L"b-text"), text}}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(Choose(key, 2));
        testing::CaughtBox box;
        ASSERT_TRUE(testing::CatchForeignBox(L"Actions", box, kWaitMs));
        EXPECT_NE(box.prompt.find(L"could not be started"), std::wstring::npos) << box.prompt;
        // A long path is broken into lines that fit the screen; joined, it is the path as stored.
        std::wstring joined = box.prompt;
        joined.erase(std::remove(joined.begin(), joined.end(), L'\n'), joined.end());
        EXPECT_NE(joined.find(path), std::wstring::npos) << "the path, in our own words";
        EXPECT_GT(Reason(box.prompt).size(), 10u) << "and the system's reason: " << box.prompt;
        // Wine refuses both with ERROR_BAD_EXE_FORMAT, whose text has a place for the file.
        EXPECT_NE(Reason(box.prompt).find(L"the file"), std::wstring::npos) << box.prompt;
        EXPECT_FALSE(HasInsertMark(box.prompt)) << box.prompt;
        EXPECT_EQ(box.prompt.find(L'%'), std::wstring::npos) << box.prompt;
    }
    DeleteFileW(text.c_str());
    EXPECT_EQ(WaitForSingleObject(process_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Writes an entry straight into the store, as another program might, with any texts at all.
void WriteRaw(const std::wstring& key, const std::wstring& name, const std::wstring& url) {
    testing::WriteStraight(key, name, url, url);
}

TEST_F(ActionsWindowTest, TheStatusLineShowsKeysAndUrlsWithControlCharactersAsSpaces) {
    WriteRaw(L"a-plain", L"Plain", L"http://plain.invalid/");
    WriteRaw(L"b\tkey", L"", L"http://tab.invalid/\tpast a tab");
    WriteRaw(L"c-lines", L"Lines", L"http://one.invalid/\r\nhttp://two.invalid/\nthree");
    Start();
    EXPECT_EQ(Highlight(L"a-plain", 3), L"Key: a-plain    URL: http://plain.invalid/");
    CloseMenu();
    EXPECT_EQ(Highlight(L"b key", 3), L"Key: b key    URL: http://tab.invalid/ past a tab");
    CloseMenu();
    EXPECT_EQ(Highlight(L"c-lines", 3),
              L"Key: c-lines    URL: http://one.invalid/  http://two.invalid/ three");
    CloseMenu();
}

using ActionsMenuItemsTest = testing::ActionsMenuFixture;

TEST_F(ActionsMenuItemsTest, OddMenuNamesEachReadAsTheirTextAndABlankOneByItsKeyName) {
    WriteRaw(L"a-empty", L"", L"u");
    WriteRaw(L"b-spaces", L"  \t ", L"u");
    WriteRaw(L"c-tab", L"Left\tRight", L"u");
    WriteRaw(L"d-lines", L"One\r\nTwo\nThree", L"u");
    WriteRaw(L"e-amp", L"Fish & Chips &&", L"u");
    WriteRaw(L"f-R&D", L"", L"u");
    WriteRaw(L"g-controls",
             std::wstring(L"Bell\x07"
                          L"Esc\x1b"
                          L"Del\x7f"
                          L"C1\x85"
                          L"end"),
             L"u");
    WriteRaw(L"h\tkey", L"", L"u");
    WriteRaw(L"i-x&y", L"Damaged", L"u");
    // Marks that reorder the text around them, one after each letter: each reads as a space, and
    // the name in the order it is stored.
    const wchar_t marks[] = {0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066,
                             0x2067, 0x2068, 0x2069, 0x200E, 0x200F, 0x061C};
    std::wstring marked, shown;
    wchar_t letter = L'a';
    for (wchar_t mark : marks) {
        marked.append({letter, mark});
        shown.append({letter++, L' '});
    }
    WriteRaw(L"j-bidi", marked + letter, L"u");
    WriteRaw(L"k-marks-alone", L"\x202E\x200F\x2067", L"u");
    RegDeleteKeyValueW(HKEY_CURRENT_USER,
                       (std::wstring(standin::kStoreKeyPath) + L"\\i-x&y").c_str(), L"Flags");
    Open();
    EXPECT_EQ(Items(), (std::vector<std::wstring>{
                           L"a-empty (no menu name)", L"b-spaces (no menu name)", L"Left Right",
                           L"One  Two Three", L"Fish && Chips &&&&", L"f-R&&D (no menu name)",
                           L"Bell Esc Del C1 end", L"h key (no menu name)", L"i-x&&y (damaged)",
                           shown + letter, L"k-marks-alone (no menu name)"}));
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(Grayed(i)) << "an entry with an odd name still starts its program: " << i;
    EXPECT_TRUE(Grayed(8));
}

TEST_F(ActionsMenuItemsTest, AProgramWithABlankMenuNameIsReportedByItsKeyName) {
    WriteRaw(L"nameless", L"", L"C:\\nowhere\\nameless.exe");
    Open();
    testing::BoxCatcher boxes;
    SendMessageW(menu_.hwnd(), WM_COMMAND, GetMenuItemID(menu_.actionsMenu(), 0), 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].prompt.rfind(
                  L"The program of \"nameless (no menu name)\" could not be started.\n\n"
                  L"C:\\nowhere\\nameless.exe\n\n",
                  0),
              0u)
        << boxes.boxes()[0].prompt;
}

}  // namespace
}  // namespace plovane
