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
#include "standin/store_faults.h"
#include "tests/support/actions_menu_fixture.h"
#include "tests/support/box_catcher.h"
#include "tests/support/fake_session.h"
#include "tests/support/malloc_spy.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane {
namespace {

using testing::DeleteStraight;
using testing::FillStraight;
using testing::KeyName;
using testing::ToBstr;
using testing::WriteStraight;

// Another program's edit of an entry's menu name, as regedit makes it.
void RenameStraight(const std::wstring& key, const std::wstring& name) {
    testing::SetStraight(key, standin::kMenuNameValue, name);
}

constexpr DWORD kWaitMs = 20000;
// Generous against what a user may wait (a second); speed itself is measured under bench/.
constexpr DWORD kFollowMs = 5000;

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
    WriteStraight(L"b", L"menu b", L"u", L"C:\\nowhere\\b.exe");
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
        FillStraight(kEntries);
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
    FillStraight(2000);
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
    RenameStraight(KeyName(500), L"Renamed");
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
    FillStraight(static_cast<int>(kEntries) - 1);
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

// Another program deletes and makes again a key in front of all the others while passes run through
// a store of thousands, and our writer registers beside it: each deletion moves the keys after it
// down one under the enumeration, yet no entry that stays in the store is ever missing from what
// the window holds, at any step.
TEST(FollowingInProcessTest, KeysMovingUnderARunningPassNeverHideAnEntry) {
    com_apartment apartment;
    testing::ClearStore();
    constexpr int kEntries = 3000;
    FillStraight(kEntries);
    standin::ActionsMenu menu;
    ASSERT_TRUE(menu.Create(GetModuleHandleW(nullptr)));
    const auto stayed = [&menu] {
        return std::count_if(menu.entries().begin(), menu.entries().end(),
                             [](const standin::MenuEntry& e) { return e.keyName[0] == L'k'; });
    };
    for (int i = 0; i < 3000 && (stayed() != kEntries || menu.reading()); ++i)
        menu.RunOnce(10);
    ASSERT_EQ(stayed(), kEntries);
    std::atomic<bool> done{false};
    std::thread churn([&done] {
        while (!done) {
            WriteStraight(L"0-front", L"front");
            DeleteStraight(L"0-front");
        }
    });
    for (int step = 0; step < 400; ++step) {
        if (step % 40 == 0) {
            ASSERT_HRESULT_SUCCEEDED(Register(L"m-ours-" + std::to_wstring(step)));
        }
        menu.RunOnce(10);
        ASSERT_EQ(stayed(), kEntries) << "step " << step;
    }
    done = true;
    churn.join();
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
    RenameStraight(KeyName(2), L"Renamed");
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
    standin::JournalSlotName slot;
    RegSetKeyValueW(HKEY_CURRENT_USER, kJournal.c_str(), standin::JournalSlot(count, slot), REG_SZ,
                    named.c_str(),
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

// How a change is made, beside what it is: with the menu open meanwhile; on a thread of its own
// while the window runs its loop; with the window's half-second looks swallowed, so that only its
// change notifications are left; or with the store's lock held by another thread all the while.
enum How : unsigned {
    Plain = 0,
    MenuOpen = 1,
    WhileRunning = 2,
    NotificationsOnly = 4,
    Locked = 8
};

struct Case {
    const char* what;
    unsigned how;
    void (*change)();
    // Made first, and followed by the window, where the change needs a window that saw it.
    void (*before)() = nullptr;
};

std::wstring Self() {
    return L"\"" + testing::ProgramFolder() + L"plovane-tests.exe\" ";
}

// Imports a .reg file with regedit, as a user would double-click one.
void ImportReg(const std::wstring& body) {
    const std::wstring file = testing::ProgramFolder() + L"follow-test.reg";
    const std::wstring text = L"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n" + body;
    unique_handle out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    WriteFile(out.get(), text.data(),
              static_cast<DWORD>(text.size()) * static_cast<DWORD>(sizeof(wchar_t)), &written,
              nullptr);
    out.reset();
    EXPECT_EQ(testing::RunProcess(L"regedit.exe /s \"" + file + L"\"", kWaitMs), 0);
    DeleteFileW(file.c_str());
}

// Writes one value of b over and over for a second, as another program's loop might, then renames
// a a moment after: three times.
void BurstsThenRename() {
    for (int round = 0; round < 3; ++round) {
        const ULONGLONG end = GetTickCount64() + 1000;
        for (int i = 0; GetTickCount64() < end; ++i)
            RenameStraight(L"b", L"burst " + std::to_wstring(i));
        Sleep(200);
        RenameStraight(L"a", L"renamed " + std::to_wstring(round));
    }
}

const Case kCases[] = {
    {"b deleted straight", Plain, [] { DeleteStraight(L"b"); }},
    {"c renamed straight", Plain, [] { RenameStraight(L"c", L"Entry c edited"); }},
    {"e added straight", Plain, [] { WriteStraight(L"e", L"Entry e"); }},
    {"b deleted, c renamed and e added straight, with a Register of d", Plain,
     [] {
         DeleteStraight(L"b");
         RenameStraight(L"c", L"Entry c edited");
         WriteStraight(L"e", L"Entry e");
         Register(L"d");
     }},
    {"the same with the menu open", MenuOpen,
     [] {
         DeleteStraight(L"b");
         RenameStraight(L"c", L"Entry c edited");
         WriteStraight(L"e", L"Entry e");
         Register(L"d");
     }},
    {"b deleted straight with an Unregister of a", Plain,
     [] {
         DeleteStraight(L"b");
         standin::RemoveEntry(ToBstr(L"a").get());
     }},
    {"the whole key deleted", Plain, [] { testing::ClearStore(); }},
    {"d registered by another process", Plain,
     [] { EXPECT_EQ(testing::RunProcess(Self() + L"--register-entry d", kWaitMs), 0); }},
    {"b deleted by reg.exe", Plain,
     [] {
         EXPECT_EQ(testing::RunProcess(
                       L"reg.exe delete \"HKCU\\" + testing::EntryPath(L"b") + L"\" /f", kWaitMs),
                   0);
     }},
    {"a .reg file imported: e added, c renamed", Plain,
     [] {
         const std::wstring key = L"[HKEY_CURRENT_USER\\" + testing::EntryPath(L"e") + L"]\r\n";
         ImportReg(key +
                   L"\"MenuName\"=\"Entry e\"\r\n\"URL\"=\"u\"\r\n\"Path\"=\"C:\\\\e.exe\"\r\n" +
                   L"\"Flags\"=dword:00000000\r\n\r\n[HKEY_CURRENT_USER\\" +
                   testing::EntryPath(L"c") + L"]\r\n\"MenuName\"=\"Entry c edited\"\r\n");
     }},
    {"e added straight while another process holds the store's lock", Locked,
     [] { WriteStraight(L"e", L"Entry e"); }},
    {"b's key denied to everyone, a Register of b refused, then allowed", Plain,
     [] {
         testing::DeniedKey denied(L"b");
         EXPECT_TRUE(denied.denied());
         EXPECT_EQ(Register(L"b", L"C:\\nowhere\\new.exe"), E_ACCESSDENIED);
     }},
    {"bursts of writes to b, each followed by a rename of a", WhileRunning | NotificationsOnly,
     &BurstsThenRename},
    {"the store made and deleted 300 times while the window follows, then a Register", WhileRunning,
     [] {
         for (int i = 0; i < 300; ++i) {
             WriteStraight(L"x1", L"x1");
             testing::ClearStore();
             if (i % 3 == 0) Sleep(1);
         }
         Register(L"after");
     }},
    {"the whole key deleted with the menu open, then six Registers", MenuOpen,
     [] {
         testing::ClearStore();
         for (const wchar_t* key : {L"n1", L"n2", L"n3", L"n4", L"n5", L"n6"})
             Register(key);
     }},
    {"the store's own key deleted, then a Register: the journal starts again at one", Plain,
     [] {
         RegDeleteTreeW(HKEY_CURRENT_USER, kStore.c_str());
         RegDeleteTreeW(HKEY_CURRENT_USER, kJournal.c_str());
         Register(L"after");
     }},
    // What a storm of deletions did to a window that happened to look between the journal going
    // and the store going: it saw no journal, and the next one started at one, naming only what
    // was registered after, so "one change, explained" hid the entry deleted with it.
    {"the journal deleted, seen; then b deleted straight and a Register: the journal at one", Plain,
     [] {
         DeleteStraight(L"b");
         Register(L"after");
     },
     [] { RegDeleteTreeW(HKEY_CURRENT_USER, kJournal.c_str()); }},
    {"a journal slot naming a nested key that holds the four values", Plain,
     [] {
         WriteStraight(L"b\\child", L"Phantom");
         JournalSlot(L"b\\child");
         Register(L"f");
     }},
    {"a journal slot naming a missing key", Plain, [] { JournalSlot(L"zz-missing"); }},
    {"a journal slot naming an over-long key name", Plain,
     [] {
         JournalSlot(std::wstring(300, L'x'));
         WriteStraight(L"e", L"Entry e");
     }},
    {"a journal count written before its slot, the change itself made, then a Register", Plain,
     [] {
         WriteStraight(L"e", L"Entry e");
         JournalCountOnly();
         Register(L"f");
     }},
    {"a change finished but never journaled (its writer died), then a Register", Plain,
     [] {
         WriteStraight(L"e", L"Entry e");
         Register(L"f");
     }},
    {"seventy Registers with the menu open, and b deleted straight among them", MenuOpen,
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

// The window's half-second looks swallowed: only its change notifications are left.
WNDPROC g_windowProc = nullptr;
LRESULT CALLBACK WithoutLooks(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return msg == WM_TIMER ? 0 : CallWindowProcW(g_windowProc, hwnd, msg, wParam, lParam);
}

// The store's lock held by a thread of its own while this lives, as another process would.
class LockHolder {
public:
    explicit LockHolder(bool hold) {
        if (!hold) return;
        holder_ = std::thread([this] {
            unique_handle mutex(CreateMutexW(nullptr, FALSE, standin::kStoreMutexName));
            WaitForSingleObject(mutex.get(), INFINITE);
            SetEvent(taken_.get());
            WaitForSingleObject(release_.get(), INFINITE);
            ReleaseMutex(mutex.get());
        });
        WaitForSingleObject(taken_.get(), kWaitMs);
    }
    ~LockHolder() {
        SetEvent(release_.get());
        if (holder_.joinable()) holder_.join();
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    unique_handle taken_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    unique_handle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread holder_;
};

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
        // Settled: a half-second look has come, and no pass is left over from the setting up
        // that would read the change by chance.
        RunFor(menu, 600);
        for (int i = 0; i < 200 && menu.reading(); ++i)
            menu.RunOnce(50);
        EXPECT_FALSE(menu.reading());
        if (c.how & NotificationsOnly) {
            g_windowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
                menu.hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WithoutLooks)));
        }
        if (c.how & MenuOpen) SendMessageW(menu.hwnd(), WM_ENTERMENULOOP, FALSE, 0);
        const std::vector<std::wstring> shown = ItemsOf(menu);
        LockHolder lock(c.how & Locked);
        if (c.how & WhileRunning) {
            std::atomic<bool> done{false};
            std::thread changer([&] {
                c.change();
                done = true;
            });
            while (!done)
                menu.RunOnce(5);
            changer.join();
        } else {
            c.change();
        }
        if (c.how & MenuOpen) {
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
    WriteStraight(L"a", L"menu a", L"url", L"C:\\nowhere\\moved.exe");
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

}  // namespace others

void PassThrough(standin::StoreFollower& follower) {
    follower.Look();
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
        {"an entry added straight", [] { WriteStraight(L"e", L"Entry e"); }},
        {"an entry deleted straight", [] { DeleteStraight(L"a"); }},
        {"the store deleted", [] { testing::ClearStore(); }},
        {"a Register", [] { Register(L"f"); }},
        {"a journal count moved alone", [] { others::JournalCountOnly(); }},
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
        PassThrough(follower);
        EXPECT_FALSE(follower.Moved());
        EXPECT_EQ(follower.entries().size(), testing::ReadStore().size());
    }
    testing::ClearStore();
}

// Our own changes are read by their journal slots at once, before the pass that follows, also
// where the count passes the journal's length; a follower that missed more changes than the
// journal holds never takes what the overwritten slots now name for them, and its pass settles it.
TEST(StoreFollowerTest, OurOwnChangesAreReadFromTheJournalBeforeAnyPass) {
    testing::ClearStore();
    standin::StoreFollower follower;
    PassThrough(follower);
    constexpr size_t kChanges = standin::kJournalLength + 6;
    for (size_t i = 0; i < kChanges; ++i) {
        ASSERT_HRESULT_SUCCEEDED(Register(KeyName(static_cast<int>(i))));
        follower.Look();
        ASSERT_EQ(follower.entries().size(), i + 1) << "change " << i + 1 << " not read at once";
        while (follower.passing())
            follower.ContinuePass(INFINITE);
    }
    for (size_t i = 0; i < kChanges; ++i)
        ASSERT_HRESULT_SUCCEEDED(Register(L"more-" + KeyName(static_cast<int>(i))));
    follower.Look();
    EXPECT_EQ(follower.entries().size(), kChanges) << "overwritten slots taken as followed";
    while (follower.passing())
        follower.ContinuePass(INFINITE);
    EXPECT_EQ(follower.entries().size(), 2 * kChanges);
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
        const auto shown = testing::AsTheMenuShowsIt();
        const auto entry = shown.find(key);
        return entry == shown.end() ? L"(none)" : entry->second.path;
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
