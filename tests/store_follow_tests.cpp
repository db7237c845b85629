// The real Actions window following a store of thousands of entries, and a store changed, deleted
// or locked by other processes while the window runs, its menu open or not.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/com_apartment.h"
#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "standin/actions_menu.h"
#include "standin/store.h"
#include "tests/support/actions_menu_fixture.h"
#include "tests/support/box_catcher.h"
#include "tests/support/fake_session.h"
#include "tests/support/malloc_spy.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane {
namespace {

using testing::ToBstr;

constexpr DWORD kWaitMs = 20000;
// Generous against what a user may wait (a second); speed itself is measured under bench/.
constexpr DWORD kFollowMs = 5000;

std::wstring KeyName(int i) {
    wchar_t key[16];
    swprintf(key, 16, L"key-%05d", i);
    return key;
}

// Written straight to the registry, as a .reg file imported with regedit would write them.
void FillStore(int count) {
    unique_hkey store;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, standin::kStoreKeyPath, 0, nullptr, 0, KEY_WRITE,
                              nullptr, store.put(), nullptr),
              ERROR_SUCCESS);
    const DWORD flags = 0;
    for (int i = 0; i < count; ++i) {
        unique_hkey entry;
        ASSERT_EQ(RegCreateKeyExW(store.get(), KeyName(i).c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, entry.put(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring menu = L"Menu " + KeyName(i);
        const struct {
            const wchar_t* name;
            const wchar_t* text;
        } texts[] = {{L"MenuName", menu.c_str()},
                     {L"URL", L"http://example.invalid/"},
                     {L"Path", L"C:\\nowhere\\p.exe"}};
        for (const auto& t : texts) {
            RegSetValueExW(
                entry.get(), t.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(t.text),
                static_cast<DWORD>(wcslen(t.text) + 1) * static_cast<DWORD>(sizeof(wchar_t)));
        }
        RegSetValueExW(entry.get(), L"Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags),
                       sizeof(flags));
    }
}

HRESULT Register(const std::wstring& key, const std::wstring& path = L"C:\\nowhere\\p.exe") {
    return standin::StoreEntry(ToBstr(key).get(), ToBstr(L"menu " + key).get(),
                               ToBstr(L"url").get(), ToBstr(path).get(), 0);
}

// A window of another process answers a message within timeoutMs.
bool Answers(HWND window, DWORD timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

// The status line's text, or nothing when the window does not answer in time.
std::wstring StatusText(HWND status) {
    wchar_t text[600] = {};
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(status, WM_GETTEXT, 600, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                             kWaitMs, &got)) {
        return L"(no answer)";
    }
    return text;
}

bool StatusBecomes(HWND status, const std::wstring& expected, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (StatusText(status) != expected) {
        if (GetTickCount64() > end) return false;
        Sleep(20);
    }
    return true;
}

std::wstring Programs(int count) {
    return std::to_wstring(count) + (count == 1 ? L" program registered" : L" programs registered");
}

// The real Actions window in a process of its own.
class FollowingWindowTest : public testing::ActionsWindowProcess {
protected:
    void TearDown() override {
        if (holding_) ReleaseMutex(mutex_.get());
        testing::ActionsWindowProcess::TearDown();
    }
    void HoldLock() {
        mutex_.reset(CreateMutexW(nullptr, FALSE, standin::kStoreMutexName));
        ASSERT_EQ(WaitForSingleObject(mutex_.get(), kWaitMs), WAIT_OBJECT_0);
        holding_ = true;
    }
    void ReleaseLock() {
        ReleaseMutex(mutex_.get());
        holding_ = false;
    }
    bool OpenMenu() {
        PostMessageW(window_, WM_SYSCOMMAND, SC_KEYMENU, L'a');
        return testing::WaitForVisibleWindow(L"#32768", nullptr, kWaitMs) != nullptr;
    }
    // The key the status line names for the highlighted item, if any.
    std::wstring HighlightedKey() {
        const std::wstring text = StatusText(status_);
        return text.rfind(L"Key: ", 0) == 0 ? text.substr(5, text.find(L' ', 5) - 5) : L"";
    }
    // Presses a key in the open menu and gives the key name the status line then names.
    std::wstring Press(WPARAM key) {
        const std::wstring before = StatusText(status_);
        PostMessageW(window_, WM_KEYDOWN, key, 0);
        for (int wait = 0; wait < 500 && StatusText(status_) == before; ++wait)
            Sleep(20);
        return HighlightedKey();
    }
    // The menu opened from the keyboard highlights its first item (some systems wait for Down).
    std::wstring FirstHighlighted() {
        for (int wait = 0; wait < 50 && HighlightedKey().empty(); ++wait)
            Sleep(20);
        return HighlightedKey().empty() ? Press(VK_DOWN) : HighlightedKey();
    }

    unique_handle mutex_;
    bool holding_ = false;
};

TEST_F(FollowingWindowTest, WhileAnotherProcessHoldsTheLockTheWindowAnswersAndCatchesUp) {
    ASSERT_HRESULT_SUCCEEDED(Register(L"a"));
    Start();
    ASSERT_TRUE(StatusBecomes(status_, Programs(1), kWaitMs));
    HoldLock();
    // Written straight to the registry, as another program might, so that the window wakes.
    const std::wstring entry = std::wstring(standin::kStoreKeyPath) + L"\\b";
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"MenuName", REG_SZ, L"menu b", 14);
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"URL", REG_SZ, L"u", 4);
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"Path", REG_SZ, L"C:\\b.exe", 18);
    const DWORD flags = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"Flags", REG_DWORD, &flags, 4);
    for (int i = 0; i < 40; ++i, Sleep(50)) {
        ASSERT_TRUE(Answers(window_, 1000)) << "the window waited on the lock, look " << i;
    }
    ReleaseLock();
    EXPECT_TRUE(StatusBecomes(status_, Programs(2), kFollowMs)) << StatusText(status_);
    ASSERT_HRESULT_SUCCEEDED(Register(L"c"));
    EXPECT_TRUE(StatusBecomes(status_, Programs(3), kFollowMs)) << StatusText(status_);
}

// Deletes the stand-in's keys over and over for the given time.
int DeleteStormFromChild(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Plovane");
        Sleep(0);
    }
    return 0;
}

TEST_F(FollowingWindowTest, AStormOfDeletionsByAnotherProcessNeverLeavesTheWindowDeaf) {
    Start();
    const std::wstring storm =
        L"\"" + testing::ProgramFolder() + L"plovane-tests.exe\" --delete-storm 2000";
    for (int round = 0; round < 5; ++round) {
        unique_handle deleting(testing::StartProcess(storm));
        ASSERT_TRUE(deleting);
        for (int i = 0; WaitForSingleObject(deleting.get(), 0) == WAIT_TIMEOUT; ++i)
            Register(KeyName(i % 300));  // refused or undone at times: the store goes under it
        testing::ClearStore();
        ASSERT_HRESULT_SUCCEEDED(Register(L"after"));
        EXPECT_TRUE(StatusBecomes(status_, Programs(1), kFollowMs))
            << "round " << round << ": the window shows \"" << StatusText(status_) << "\"";
        ASSERT_TRUE(Answers(window_, kWaitMs));
        testing::ClearStore();
    }
}

// Presses Enter on the highlighted item and gives the path of the program the window then
// tried to start (every path names no program, so the window says which one in its box).
std::wstring StartHighlighted(HWND window) {
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    testing::CaughtBox box;
    if (!testing::CatchForeignBox(L"Actions", box, kWaitMs)) return L"(nothing started)";
    const size_t at = box.prompt.find(L"C:\\nowhere\\");
    if (at == std::wstring::npos) return box.prompt;
    size_t end = box.prompt.find(L".exe", at);
    return end == std::wstring::npos ? box.prompt : box.prompt.substr(at, end + 4 - at);
}

TEST_F(FollowingWindowTest, WhatIsHighlightedInTheOpenMenuIsWhatStartsWhateverChangesMeanwhile) {
    ASSERT_HRESULT_SUCCEEDED(Register(L"m", L"C:\\nowhere\\m.exe"));
    ASSERT_HRESULT_SUCCEEDED(Register(L"n", L"C:\\nowhere\\n.exe"));
    Start();
    ASSERT_TRUE(StatusBecomes(status_, Programs(2), kWaitMs));
    // A change the window cannot finish reading under the lock (a retry follows later), then
    // another once the menu is open: neither may change the items under the open popup.
    HoldLock();
    const std::wstring entry = std::wstring(standin::kStoreKeyPath) + L"\\b";
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"MenuName", REG_SZ, L"menu b", 14);
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"URL", REG_SZ, L"u", 4);
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"Path", REG_SZ, L"C:\\nowhere\\b.exe", 34);
    const DWORD flags = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"Flags", REG_DWORD, &flags, 4);
    ASSERT_TRUE(Answers(window_, kWaitMs));
    ASSERT_TRUE(OpenMenu());
    FirstHighlighted();
    const std::wstring highlighted = Press(VK_DOWN);
    ASSERT_FALSE(highlighted.empty()) << StatusText(status_);
    ReleaseLock();
    ASSERT_HRESULT_SUCCEEDED(Register(L"a", L"C:\\nowhere\\a.exe"));
    Sleep(2500);  // time for any retry or re-check of the window to come while the menu is open
    EXPECT_EQ(StartHighlighted(window_), L"C:\\nowhere\\" + highlighted + L".exe")
        << "the status line named " << highlighted << " when it was highlighted";
    EXPECT_TRUE(StatusBecomes(status_, Programs(4), kFollowMs))
        << "the changes show once the menu is closed: " << StatusText(status_);
}

// A store of ten thousand entries with the window following it.
class BigStoreTest : public FollowingWindowTest {
protected:
    static constexpr int kEntries = 10000;
    void SetUp() override {
        FollowingWindowTest::SetUp();
        FillStore(kEntries);
        Start(120000);
        // The window answers all the while it reads the store and lists it.
        const ULONGLONG end = GetTickCount64() + 120000;
        while (StatusText(status_) != Programs(kEntries) && GetTickCount64() < end) {
            ASSERT_TRUE(Answers(window_, 1000)) << "the window stopped answering while it read";
            Sleep(20);
        }
        ASSERT_EQ(StatusText(status_), Programs(kEntries));
    }
};

TEST_F(BigStoreTest, EveryRegisterAndUnregisterSucceedsAndTheWindowFollowsEach) {
    for (int i = 0; i < 20; ++i) {
        const std::wstring key = L"added-" + std::to_wstring(i);
        ASSERT_HRESULT_SUCCEEDED(Register(key)) << i;
        EXPECT_TRUE(StatusBecomes(status_, Programs(kEntries + 1), kFollowMs)) << i;
        ASSERT_HRESULT_SUCCEEDED(standin::RemoveEntry(ToBstr(key).get())) << i;
        EXPECT_TRUE(StatusBecomes(status_, Programs(kEntries), kFollowMs)) << i;
    }
}

TEST_F(BigStoreTest, WhileItReadsTheWholeStoreAgainTheWindowAnswersAndHoldsNoLock) {
    // Deleted by another program, as regedit would: nothing says which entry changed, so the
    // window reads the store through again.
    ASSERT_EQ(
        RegDeleteTreeW(HKEY_CURRENT_USER,
                       (std::wstring(standin::kStoreKeyPath) + L"\\" + KeyName(5000)).c_str()),
        ERROR_SUCCESS);
    unique_handle mutex(CreateMutexW(nullptr, FALSE, standin::kStoreMutexName));
    std::atomic<bool> done{false};
    std::atomic<int> busy{0};
    std::thread watcher([&] {
        while (!done) {
            const DWORD got = WaitForSingleObject(mutex.get(), 0);
            if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
                ReleaseMutex(mutex.get());
            } else {
                ++busy;
            }
            Sleep(1);
        }
    });
    bool answered = true;
    for (int i = 0; i < 60 && answered; ++i, Sleep(50))
        answered = Answers(window_, 1000);
    done = true;
    watcher.join();
    EXPECT_TRUE(answered) << "the window stopped answering while it read the store";
    EXPECT_EQ(busy, 0) << "the window held the store's lock";
    EXPECT_TRUE(StatusBecomes(status_, Programs(kEntries - 1), kFollowMs)) << StatusText(status_);
}

TEST_F(BigStoreTest, ItsMenuOfTenThousandItemsOpensAndItsItemsAreReached) {
    ASSERT_TRUE(OpenMenu());
    EXPECT_EQ(FirstHighlighted(), KeyName(0));
    EXPECT_EQ(Press(VK_DOWN), KeyName(1));
    EXPECT_EQ(Press(VK_UP), KeyName(0));
    PostMessageW(window_, WM_KEYDOWN, VK_UP, 0);
    EXPECT_TRUE(StatusBecomes(
        status_, L"Key: " + KeyName(kEntries - 1) + L"    URL: http://example.invalid/", kWaitMs))
        << "Up from the first item wraps to the last: " << StatusText(status_);
    PostMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(Answers(window_, kWaitMs));
}

// The window in this process: a change names its entry, and only that entry is read again.
TEST(FollowingInProcessTest, OneChangeInABigStoreReadsOnlyTheEntryChanged) {
    com_apartment apartment;
    testing::ClearStore();
    FillStore(2000);
    standin::ActionsMenu menu;
    ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
    for (int i = 0; i < 2000 && menu.entries().size() != 2000; ++i)
        menu.RunOnce(10);
    ASSERT_EQ(menu.entries().size(), 2000u);
    for (int i = 0; i < 20; ++i)
        menu.RunOnce(10);  // whatever the filling left to look at
    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    ASSERT_HRESULT_SUCCEEDED(Register(L"key-01000x"));
    for (int i = 0; i < 200 && menu.entries().size() != 2001; ++i)
        menu.RunOnce(10);
    ASSERT_EQ(menu.entries().size(), 2001u);
    EXPECT_STREQ(menu.entries()[1001].keyName, L"key-01000x");
    // Changed straight in the registry, as another program would: no journal names it, and the
    // window goes through the store, reading again only the entry whose key was written.
    const std::wstring renamed = std::wstring(standin::kStoreKeyPath) + L"\\" + KeyName(500);
    RegSetKeyValueW(HKEY_CURRENT_USER, renamed.c_str(), L"MenuName", REG_SZ, L"Renamed", 16);
    for (int i = 0; i < 500 && testing::FromBstr(menu.entries()[500].menuName.get()) != L"Renamed";
         ++i) {
        menu.RunOnce(10);
    }
    EXPECT_EQ(testing::FromBstr(menu.entries()[500].menuName.get()), L"Renamed");
    EXPECT_LT(spy.live(), 40u) << "texts read again and kept; one entry has three";
    DestroyWindow(menu.hwnd());
    testing::PumpMessages();
    testing::ClearStore();
}

// A window started against a big store while the journal names a few entries lists nothing until
// it has read the whole store: never those few as though they were all there is.
TEST(FollowingInProcessTest, AFreshWindowShowsTheWholeStoreOrNoneOfIt) {
    com_apartment apartment;
    testing::ClearStore();
    constexpr size_t kEntries = 4000;
    FillStore(static_cast<int>(kEntries) - 1);
    ASSERT_HRESULT_SUCCEEDED(Register(KeyName(7)));
    ASSERT_HRESULT_SUCCEEDED(Register(L"zz-journaled"));
    standin::ActionsMenu menu;
    ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
    const ULONGLONG end = GetTickCount64() + 60000;
    while (menu.entries().size() != kEntries && GetTickCount64() < end) {
        menu.RunOnce(10);
        const size_t listed = menu.entries().size();
        ASSERT_TRUE(listed == 0 || listed == kEntries) << listed << " of " << kEntries;
    }
    EXPECT_EQ(menu.entries().size(), kEntries);
    DestroyWindow(menu.hwnd());
    testing::PumpMessages();
    testing::ClearStore();
}

// Only the window's messages are run here, never its wait for a change notification: as if every
// notification were lost, its own look at the store must still show each change within a second.
TEST(FollowingInProcessTest, AChangeNoNotificationReportsIsShownByTheWindowsOwnLook) {
    com_apartment apartment;
    testing::ClearStore();
    standin::ActionsMenu menu;
    ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
    ASSERT_TRUE(menu.entries().empty());
    for (int round = 1; round <= 3; ++round) {
        ASSERT_HRESULT_SUCCEEDED(Register(KeyName(round)));
        const ULONGLONG end = GetTickCount64() + kFollowMs;
        while (menu.entries().size() != static_cast<size_t>(round) && GetTickCount64() < end) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            testing::PumpMessages();
        }
        EXPECT_EQ(menu.entries().size(), static_cast<size_t>(round));
    }
    // A value changed inside an entry moves no key but the entry's, nor the journal.
    const std::wstring entry = std::wstring(standin::kStoreKeyPath) + L"\\" + KeyName(2);
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"MenuName", REG_SZ, L"Renamed", 16);
    const ULONGLONG end = GetTickCount64() + kFollowMs;
    while (testing::FromBstr(menu.entries()[1].menuName.get()) != L"Renamed" &&
           GetTickCount64() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        testing::PumpMessages();
    }
    EXPECT_EQ(testing::FromBstr(menu.entries()[1].menuName.get()), L"Renamed");
    DestroyWindow(menu.hwnd());
    testing::PumpMessages();
    testing::ClearStore();
}

// Changes made beside our writers, as regedit, a .reg import, a cleaner or another tool makes
// them, and journals that do not tell the whole story: whatever the journal says, the window
// lists exactly the store's top-level entries once it has looked.
namespace others {

const std::wstring kStore = standin::kStoreKeyPath;
const std::wstring kJournal = standin::kJournalKeyPath;

void WriteStraight(const std::wstring& key, const std::wstring& name,
                   const std::wstring& path = L"C:\\nowhere\\p.exe") {
    const std::wstring entry = kStore + L"\\" + key;
    const std::pair<const wchar_t*, const std::wstring*> texts[] = {
        {L"MenuName", &name}, {L"URL", &path}, {L"Path", &path}};
    for (const auto& [value, text] : texts) {
        RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), value, REG_SZ, text->c_str(),
                        static_cast<DWORD>(text->size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    }
    const DWORD flags = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, entry.c_str(), L"Flags", REG_DWORD, &flags, sizeof(flags));
}
void DeleteStraight(const std::wstring& key) {
    RegDeleteTreeW(HKEY_CURRENT_USER, (kStore + L"\\" + key).c_str());
}
void RenameStraight(const std::wstring& key, const std::wstring& name) {
    RegSetKeyValueW(HKEY_CURRENT_USER, (kStore + L"\\" + key).c_str(), L"MenuName", REG_SZ,
                    name.c_str(),
                    static_cast<DWORD>(name.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
}
DWORD JournalCount() {
    DWORD count = 0, bytes = sizeof(count);
    RegGetValueW(HKEY_CURRENT_USER, kJournal.c_str(), standin::kJournalCountName, RRF_RT_REG_DWORD,
                 nullptr, &count, &bytes);
    return count;
}
// One more change counted, its slot naming whatever is given, as a writer of ours would leave it
// (or a faulty one, or anyone else writing there).
void JournalSlot(const std::wstring& named) {
    const DWORD count = JournalCount() + 1;
    const std::wstring slot = std::to_wstring(count % standin::kJournalLength);
    RegSetKeyValueW(HKEY_CURRENT_USER, kJournal.c_str(), slot.c_str(), REG_SZ, named.c_str(),
                    static_cast<DWORD>(named.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    RegSetKeyValueW(HKEY_CURRENT_USER, kJournal.c_str(), standin::kJournalCountName, REG_DWORD,
                    &count, sizeof(count));
}
// The count moved on while its slot still names the change before: a count written before its
// slot, by a writer that then stopped.
void JournalCountOnly() {
    const DWORD count = JournalCount() + 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, kJournal.c_str(), standin::kJournalCountName, REG_DWORD,
                    &count, sizeof(count));
}

// The store every case starts from: a, b and c, registered as the tool registers them.
void StoreOfThree() {
    testing::ClearStore();
    for (const wchar_t* key : {L"a", L"b", L"c"})
        ASSERT_HRESULT_SUCCEEDED(Register(key));
}

struct Case {
    const char* what;
    bool menuOpen;
    void (*change)();
    // Made first, and followed by the window, where the change needs a window that saw it.
    void (*before)() = nullptr;
};

const Case kCases[] = {
    {"b deleted straight", false, [] { DeleteStraight(L"b"); }},
    {"c renamed straight", false, [] { RenameStraight(L"c", L"Entry c edited"); }},
    {"e added straight", false, [] { WriteStraight(L"e", L"Entry e"); }},
    {"b deleted, c renamed and e added straight, with a Register of d", false,
     [] {
         DeleteStraight(L"b");
         RenameStraight(L"c", L"Entry c edited");
         WriteStraight(L"e", L"Entry e");
         Register(L"d");
     }},
    {"the same with the menu open", true,
     [] {
         DeleteStraight(L"b");
         RenameStraight(L"c", L"Entry c edited");
         WriteStraight(L"e", L"Entry e");
         Register(L"d");
     }},
    {"b deleted straight with an Unregister of a", false,
     [] {
         DeleteStraight(L"b");
         standin::RemoveEntry(ToBstr(L"a").get());
     }},
    {"the whole key deleted", false, [] { testing::ClearStore(); }},
    {"the whole key deleted with the menu open, then six Registers", true,
     [] {
         testing::ClearStore();
         for (const wchar_t* key : {L"n1", L"n2", L"n3", L"n4", L"n5", L"n6"})
             Register(key);
     }},
    {"the store's own key deleted, then a Register: the journal starts again at one", false,
     [] {
         RegDeleteTreeW(HKEY_CURRENT_USER, kStore.c_str());
         RegDeleteTreeW(HKEY_CURRENT_USER, kJournal.c_str());
         Register(L"after");
     }},
    // What a storm of deletions did to a window that happened to look between the journal going
    // and the store going: it saw no journal, and the next one started at one, naming only what
    // was registered after, so "one change, explained" hid the entry deleted with it.
    {"the journal deleted, seen; then b deleted straight and a Register: the journal at one", false,
     [] {
         DeleteStraight(L"b");
         Register(L"after");
     },
     [] { RegDeleteTreeW(HKEY_CURRENT_USER, kJournal.c_str()); }},
    {"a journal slot naming a nested key that holds the four values", false,
     [] {
         WriteStraight(L"b\\child", L"Phantom");
         JournalSlot(L"b\\child");
         Register(L"f");
     }},
    {"a journal slot naming a missing key", false, [] { JournalSlot(L"zz-missing"); }},
    {"a journal slot naming an over-long key name", false,
     [] {
         JournalSlot(std::wstring(300, L'x'));
         WriteStraight(L"e", L"Entry e");
     }},
    {"a journal count written before its slot, the change itself made, then a Register", false,
     [] {
         WriteStraight(L"e", L"Entry e");
         JournalCountOnly();
         Register(L"f");
     }},
    {"a change finished but never journaled (its writer died), then a Register", false,
     [] {
         WriteStraight(L"e", L"Entry e");
         Register(L"f");
     }},
    {"seventy Registers with the menu open, and b deleted straight among them", true,
     [] {
         for (int i = 0; i < 70; ++i) {
             Register(KeyName(i));
             if (i == 3) DeleteStraight(L"b");
         }
     }},
};

// What the menu should list: each top-level entry's menu name in key order (the keys here are
// lower case, as the registry and a map then order them alike).
std::vector<std::wstring> StoreAsItems() {
    std::vector<std::wstring> items;
    for (const auto& entry : testing::ReadStore())
        items.push_back(entry.second.menuName);
    if (items.empty()) items.push_back(standin::kNoEntriesText);
    return items;
}

using testing::ItemsOf;

// Runs the window's own loop until its menu lists what the store holds, for up to timeoutMs.
// Meanwhile no item ever shows the nested key's values: it was never an entry.
bool MenuBecomesTheStore(standin::ActionsMenu& menu, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (ItemsOf(menu) != StoreAsItems()) {
        const std::vector<std::wstring> items = ItemsOf(menu);
        EXPECT_EQ(std::count(items.begin(), items.end(), L"Phantom"), 0);
        if (GetTickCount64() > end) return false;
        menu.RunOnce(50);
    }
    return true;
}

void RunFor(standin::ActionsMenu& menu, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end)
        menu.RunOnce(50);
}

// A window of its own for each case, in this process, where its menu can be read item by item.
class FollowingOthersTest : public ::testing::Test {
protected:
    void SetUp() override { testing::ClearStore(); }
    void TearDown() override { testing::ClearStore(); }
    static void Close(standin::ActionsMenu& menu) {
        DestroyWindow(menu.hwnd());
        testing::PumpMessages();
    }

    com_apartment apartment_;
};

TEST_F(FollowingOthersTest, WhateverAnyoneChangesTheMenuEqualsTheStoresTopLevelEntries) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(StoreOfThree());
        standin::ActionsMenu menu;
        ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
        if (c.before) c.before();
        EXPECT_TRUE(MenuBecomesTheStore(menu, kFollowMs)) << "before the change";
        // Settled: no pass left over from the setting up that would read the change by chance.
        RunFor(menu, 600);
        for (int i = 0; i < 200 && menu.reading(); ++i)
            menu.RunOnce(50);
        EXPECT_FALSE(menu.reading());
        if (c.menuOpen) SendMessageW(menu.hwnd(), WM_ENTERMENULOOP, FALSE, 0);
        const std::vector<std::wstring> shown = ItemsOf(menu);
        c.change();
        if (c.menuOpen) {
            RunFor(menu, 1200);  // the window's own looks come meanwhile
            EXPECT_EQ(ItemsOf(menu), shown) << "the menu changed under its open popup";
            SendMessageW(menu.hwnd(), WM_EXITMENULOOP, FALSE, 0);
        }
        EXPECT_TRUE(MenuBecomesTheStore(menu, kFollowMs));
        EXPECT_EQ(ItemsOf(menu), StoreAsItems());
        RunFor(menu, 700);  // and it stays so: nothing the journal named brings a stale item back
        EXPECT_EQ(ItemsOf(menu), StoreAsItems());
        Close(menu);
    }
}

// Chosen from a menu that was open while the store changed: what starts is what the store holds
// for that key now, and an entry gone starts nothing.
TEST_F(FollowingOthersTest, ChoosingAnItemStartsWhatTheStoreHoldsForItNow) {
    ASSERT_HRESULT_SUCCEEDED(Register(L"a", L"C:\\nowhere\\a.exe"));
    ASSERT_HRESULT_SUCCEEDED(Register(L"b", L"C:\\nowhere\\b.exe"));
    standin::ActionsMenu menu;
    ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
    ASSERT_TRUE(MenuBecomesTheStore(menu, kFollowMs));
    SendMessageW(menu.hwnd(), WM_ENTERMENULOOP, FALSE, 0);
    const UINT first = GetMenuItemID(menu.actionsMenu(), 0);
    const UINT second = GetMenuItemID(menu.actionsMenu(), 1);
    WriteStraight(L"a", L"menu a", L"C:\\nowhere\\moved.exe");
    DeleteStraight(L"b");
    RunFor(menu, 700);
    SendMessageW(menu.hwnd(), WM_EXITMENULOOP, FALSE, 0);
    {
        testing::BoxCatcher boxes;
        SendMessageW(menu.hwnd(), WM_COMMAND, first, 0);
        SendMessageW(menu.hwnd(), WM_COMMAND, second, 0);
        EXPECT_EQ(boxes.boxes().size(), 1u) << "b is gone: nothing of it starts";
        if (!boxes.boxes().empty()) {
            EXPECT_NE(boxes.boxes()[0].prompt.find(L"C:\\nowhere\\moved.exe"), std::wstring::npos)
                << boxes.boxes()[0].prompt;
        }
    }
    EXPECT_TRUE(MenuBecomesTheStore(menu, kFollowMs));
    Close(menu);
}

// The window's half-second looks swallowed, so that only its change notifications are left:
// however another program's writes come, no notification is lost and none leaves its watch spent.
WNDPROC g_windowProc = nullptr;
LRESULT CALLBACK WithoutLooks(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return msg == WM_TIMER ? 0 : CallWindowProcW(g_windowProc, hwnd, msg, wParam, lParam);
}

TEST_F(FollowingOthersTest, AfterABurstOfWritesTheNextChangeIsShown) {
    ASSERT_NO_FATAL_FAILURE(StoreOfThree());
    standin::ActionsMenu menu;
    ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
    ASSERT_TRUE(MenuBecomesTheStore(menu, kFollowMs));
    g_windowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        menu.hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WithoutLooks)));
    for (int round = 0; round < 3; ++round) {
        std::atomic<bool> done{false};
        std::thread burst([&done] {
            for (int i = 0; !done; ++i)
                RenameStraight(L"b", L"burst " + std::to_wstring(i));
        });
        RunFor(menu, 1000);
        done = true;
        burst.join();
        RunFor(menu, 200);
        RenameStraight(L"a", L"renamed " + std::to_wstring(round));
        EXPECT_TRUE(MenuBecomesTheStore(menu, kFollowMs)) << "round " << round;
    }
    Close(menu);
}

}  // namespace others

void PassThrough(standin::StoreFollower& follower) {
    follower.StartPass();
    while (follower.passing())
        follower.ContinuePass(INFINITE);
}

// What the window checks every half second, whatever its watches say: anything but a change of
// values inside an entry (which its store watch reports, and which moves no key but the entry's)
// shows as moved, until the next pass.
TEST(StoreFollowerTest, AnyChangeOfTheStoresKeyOrJournalShowsAsMovedUntilTheNextPass) {
    const std::wstring store = standin::kStoreKeyPath;
    const struct {
        const char* what;
        void (*change)();
        bool storeKeyMoves = true;
    } cases[] = {
        {"an entry renamed straight: as many entries, the journal as it was",
         [] {
             const std::wstring from = std::wstring(standin::kStoreKeyPath) + L"\\b";
             unique_hkey source, target;
             RegOpenKeyExW(HKEY_CURRENT_USER, from.c_str(), 0, KEY_READ, source.put());
             RegCreateKeyExW(HKEY_CURRENT_USER,
                             (std::wstring(standin::kStoreKeyPath) + L"\\z").c_str(), 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, target.put(), nullptr);
             RegCopyTreeW(source.get(), nullptr, target.get());
             RegDeleteTreeW(HKEY_CURRENT_USER, from.c_str());
         }},
        {"an entry added straight", [] { others::WriteStraight(L"e", L"Entry e"); }},
        {"an entry deleted straight", [] { others::DeleteStraight(L"a"); }},
        {"the store deleted", [] { testing::ClearStore(); }},
        {"a Register", [] { Register(L"f"); }},
        {"a journal count moved alone", [] { others::JournalCountOnly(); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(others::StoreOfThree());
        standin::StoreFollower follower;
        PassThrough(follower);
        EXPECT_FALSE(follower.Moved());
        Sleep(20);  // a write in the same instant could keep the store key's time
        c.change();
        EXPECT_TRUE(follower.Moved());
        follower.Follow();
        if (c.storeKeyMoves) {
            EXPECT_TRUE(follower.Moved()) << "the journal alone settles nothing";
        }
        PassThrough(follower);
        EXPECT_FALSE(follower.Moved());
        EXPECT_EQ(follower.entries().size(), testing::ReadStore().size());
    }
    testing::ClearStore();
}

// The journal holds the last 64 changes: a follower that missed more says it cannot tell, and
// never takes what the overwritten slots now name for the changes it missed.
TEST(StoreFollowerTest, MoreChangesThanTheJournalHoldsAreNeverTakenAsFollowed) {
    testing::ClearStore();
    ASSERT_HRESULT_SUCCEEDED(Register(L"first"));
    standin::StoreFollower follower;
    PassThrough(follower);
    ASSERT_EQ(follower.entries().size(), 1u);
    for (const int changes : {64, 70}) {
        SCOPED_TRACE(changes);
        const size_t before = follower.entries().size();
        for (int i = 0; i < changes; ++i)
            ASSERT_HRESULT_SUCCEEDED(Register(std::to_wstring(changes) + L"-" + KeyName(i)));
        const auto look = follower.Follow();
        if (changes <= static_cast<int>(standin::kJournalLength)) {
            EXPECT_EQ(look, standin::StoreFollower::Look::Changed);
        } else {
            EXPECT_EQ(look, standin::StoreFollower::Look::Unsure);
        }
        if (look != standin::StoreFollower::Look::Unsure) {
            EXPECT_EQ(follower.entries().size(), before + static_cast<size_t>(changes));
        }
        PassThrough(follower);
        EXPECT_EQ(follower.entries().size(), testing::ReadStore().size());
    }
    testing::ClearStore();
}

// The undo record's name cannot be deleted once a change is done: whatever the change then
// answered, the store holds what it answered, and the next writer undoes nothing finished.
LSTATUS RefuseForgetting() {
    return ERROR_ACCESS_DENIED;
}

struct ForgetRefused : ::testing::Test {
    void SetUp() override { testing::ClearStore(); }
    void TearDown() override {
        standin::g_undoForgetFault = nullptr;
        testing::ClearStore();
    }
    static std::wstring ShownPath(const wchar_t* key) {
        heap_array<standin::MenuEntry> entries;
        EXPECT_TRUE(standin::ReadMenuEntries(entries));
        for (const auto& e : entries) {
            if (lstrcmpW(e.keyName, key) == 0) return testing::FromBstr(e.path.get());
        }
        return L"(none)";
    }
};

TEST_F(ForgetRefused, AReplacedEntryStaysAsTheAnswerSaidThroughTheNextWrite) {
    ASSERT_HRESULT_SUCCEEDED(Register(L"k", L"C:\\old.exe"));
    standin::g_undoForgetFault = &RefuseForgetting;
    const HRESULT hr = Register(L"k", L"C:\\new.exe");
    standin::g_undoForgetFault = nullptr;
    const std::wstring expected = SUCCEEDED(hr) ? L"C:\\new.exe" : L"C:\\old.exe";
    EXPECT_EQ(testing::ReadEntry(L"k")->path, expected) << std::hex << hr;
    EXPECT_EQ(ShownPath(L"k"), expected);
    ASSERT_HRESULT_SUCCEEDED(Register(L"other"));
    EXPECT_EQ(testing::ReadEntry(L"k")->path, expected)
        << "the next writer changed a finished entry";
    EXPECT_EQ(ShownPath(L"k"), expected);
}

TEST_F(ForgetRefused, ARemovedOrAddedEntryStaysAsTheAnswerSaidThroughTheNextWrite) {
    ASSERT_HRESULT_SUCCEEDED(Register(L"k"));
    standin::g_undoForgetFault = &RefuseForgetting;
    const HRESULT removed = standin::RemoveEntry(ToBstr(L"k").get());
    const HRESULT added = Register(L"n");
    standin::g_undoForgetFault = nullptr;
    ASSERT_HRESULT_SUCCEEDED(Register(L"other"));
    EXPECT_EQ(testing::ReadEntry(L"k").has_value(), FAILED(removed)) << std::hex << removed;
    EXPECT_EQ(testing::ReadEntry(L"n").has_value(), SUCCEEDED(added)) << std::hex << added;
    EXPECT_EQ(ShownPath(L"k") != L"(none)", FAILED(removed));
    EXPECT_EQ(ShownPath(L"n") != L"(none)", SUCCEEDED(added));
}

}  // namespace

int DeleteStorm(DWORD ms) {
    return DeleteStormFromChild(ms);
}

}  // namespace plovane
