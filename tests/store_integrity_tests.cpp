// The stand-in's store when things go wrong: writes refused part-way, writers that die holding
// its lock, a lock held by another process, keys deleted under a reader, and the sizes it stores.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "standin/store.h"
#include "standin/store_faults.h"
#include "standin/store_reader.h"
#include "tests/support/box_catcher.h"
#include "tests/support/fake_session.h"
#include "tests/support/malloc_spy.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

using testing::AsTheMenuShowsIt;
using testing::EntryPath;
using testing::ReadStore;
using testing::StoredEntry;
using testing::ToBstr;

constexpr DWORD kWaitMs = 20000;

HRESULT File(const std::wstring& key, const std::wstring& tag, DWORD flags = 0) {
    return standin::StoreEntry(ToBstr(key).get(), ToBstr(L"menu " + tag).get(),
                               ToBstr(L"url " + tag).get(), ToBstr(L"path " + tag).get(), flags);
}
StoredEntry Filed(const std::wstring& tag, DWORD flags = 0) {
    return {L"menu " + tag, L"url " + tag, L"path " + tag, flags, true};
}
bool UndoRecordLeft() {
    unique_hkey undo;
    return RegOpenKeyExW(HKEY_CURRENT_USER, standin::kUndoKeyPath, 0, KEY_READ, undo.put()) ==
           ERROR_SUCCESS;
}
class StoreIntegrityTest : public ::testing::Test {
protected:
    void SetUp() override { testing::ClearStore(); }
    void TearDown() override {
        standin::g_valueWriteFault = nullptr;
        testing::ClearStore();
    }
};

TEST_F(StoreIntegrityTest, TextsAreStoredWithTheirNulAndFlagsAsFourBytes) {
    ASSERT_HRESULT_SUCCEEDED(standin::StoreEntry(ToBstr(L"k").get(), ToBstr(L"Menu").get(),
                                                 ToBstr(L"http://u.invalid/").get(),
                                                 ToBstr(L"C:\\p.exe").get(), 5));
    unique_hkey entry;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, EntryPath(L"k").c_str(), 0, KEY_READ, entry.put()),
              ERROR_SUCCESS);
    const struct {
        const wchar_t* name;
        DWORD type;
        DWORD bytes;
    } expected[] = {{L"MenuName", REG_SZ, (4 + 1) * 2},
                    {L"URL", REG_SZ, (17 + 1) * 2},
                    {L"Path", REG_SZ, (8 + 1) * 2},
                    {L"Flags", REG_DWORD, 4}};
    for (const auto& value : expected) {
        DWORD type = 0, bytes = 0;
        ASSERT_EQ(RegQueryValueExW(entry.get(), value.name, nullptr, &type, nullptr, &bytes),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, value.type) << value.name[0];
        EXPECT_EQ(bytes, value.bytes) << "bytes stored for the value starting " << value.name[0];
    }
    wchar_t path[10] = {L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x'};
    DWORD bytes = sizeof(path);
    ASSERT_EQ(RegQueryValueExW(entry.get(), L"Path", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(path), &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(path, 9), std::wstring(L"C:\\p.exe") + L'\0')
        << "the NUL is stored last";
}

TEST_F(StoreIntegrityTest, TheReaderTakesTextsWithOrWithoutTheirNulAndNothingBeyond) {
    const struct {
        const wchar_t* key;
        const wchar_t* data;
        DWORD bytes;
    } cases[] = {
        {L"a-with-nul", L"Menu", 10},
        {L"b-without-nul", L"Menu", 8},
        {L"c-odd-size", L"Menux", 9},  // half of the 'x' is all there is of it
        {L"d-two-nuls", L"Menu\0", 12},
    };
    for (const auto& c : cases) {
        ASSERT_HRESULT_SUCCEEDED(File(c.key, L"x"));
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, EntryPath(c.key).c_str(), L"MenuName", REG_SZ,
                                  c.data, c.bytes),
                  ERROR_SUCCESS);
    }
    const auto shown = AsTheMenuShowsIt();
    ASSERT_EQ(shown.size(), 4u);
    for (const auto& [key, entry] : shown) {
        EXPECT_EQ(entry.menuName, L"Menu") << std::string(key.begin(), key.end());
        EXPECT_TRUE(entry.whole);
    }
}

// Refuses the write numbered failAt, once.
int g_failAt = -1;
LSTATUS RefuseOneWrite(int value) {
    return value == g_failAt ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

TEST_F(StoreIntegrityTest, ARegisterRefusedAtAnyValueLeavesTheStoreAsItWas) {
    ASSERT_HRESULT_SUCCEEDED(File(L"kept", L"kept"));
    ASSERT_HRESULT_SUCCEEDED(File(L"replaced", L"old", 3));
    const auto before = ReadStore();
    ASSERT_EQ(before.size(), 2u);
    standin::g_valueWriteFault = &RefuseOneWrite;
    for (int value = 0; value < 4; ++value) {
        g_failAt = value;
        EXPECT_EQ(File(L"replaced", L"new", 9), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << value;
        EXPECT_EQ(ReadStore(), before) << "replacing, refused at value " << value;
        EXPECT_EQ(File(L"added", L"new"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << value;
        EXPECT_EQ(ReadStore(), before) << "adding, refused at value " << value;
        EXPECT_FALSE(UndoRecordLeft()) << value;
        EXPECT_EQ(AsTheMenuShowsIt(), before) << value;
    }
    g_failAt = -1;
    ASSERT_HRESULT_SUCCEEDED(File(L"replaced", L"new", 9));
    EXPECT_EQ(ReadStore().at(L"replaced"), Filed(L"new", 9));
}

// A writer of ours held after the first value of its change while the window looks: the look
// never keeps the entry half written, but as it was before that change, until it is finished.
struct HeldWriter {
    unique_handle reached{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    unique_handle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    unique_handle thread;
};
HeldWriter* g_held = nullptr;
LSTATUS HoldAtTheSecondValue(int value) {
    if (value == 1) {
        SetEvent(g_held->reached.get());
        WaitForSingleObject(g_held->release.get(), kWaitMs);
    }
    return ERROR_SUCCESS;
}
DWORD WINAPI WriteNew(void*) {
    return SUCCEEDED(File(L"k", L"new")) ? 0 : 1;
}
std::wstring ShownMenuName(standin::StoreFollower& follower) {
    follower.Look();
    while (follower.passing())
        follower.ContinuePass(INFINITE);
    if (follower.entries().size() != 1) return L"(not one entry)";
    const standin::MenuEntry& entry = follower.entries()[0];
    return entry.damaged ? L"(damaged)" : testing::FromBstr(entry.menuName.get());
}

TEST_F(StoreIntegrityTest, ALookWhileAChangeIsUnderWayHoldsTheEntryAsItWas) {
    ASSERT_HRESULT_SUCCEEDED(File(L"k", L"old"));
    standin::StoreFollower follower;
    ASSERT_EQ(ShownMenuName(follower), L"menu old");
    ASSERT_HRESULT_SUCCEEDED(File(L"k", L"mid"));  // journaled: the next look reads k first
    HeldWriter held;
    g_held = &held;
    standin::g_valueWriteFault = &HoldAtTheSecondValue;
    held.thread.reset(CreateThread(nullptr, 0, &WriteNew, nullptr, 0, nullptr));
    ASSERT_TRUE(held.thread);
    ASSERT_EQ(WaitForSingleObject(held.reached.get(), kWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(ShownMenuName(follower), L"menu mid") << "read half written";
    SetEvent(held.release.get());
    EXPECT_EQ(WaitForSingleObject(held.thread.get(), kWaitMs), WAIT_OBJECT_0);
    standin::g_valueWriteFault = nullptr;
    g_held = nullptr;
    EXPECT_EQ(ShownMenuName(follower), L"menu new");
}

// Only "not found" is no entry: a Register of an entry that cannot be read is refused before
// anything is recorded, so nothing later reads the entry as gone or deletes it.
TEST_F(StoreIntegrityTest, AnEntryDeniedToUsIsRefusedAndKeptWholeThroughTheNextWrite) {
    ASSERT_HRESULT_SUCCEEDED(File(L"a", L"a"));
    ASSERT_HRESULT_SUCCEEDED(File(L"b", L"b"));
    const auto before = ReadStore();
    {
        testing::DeniedKey denied(L"b");
        ASSERT_TRUE(denied.denied());
        EXPECT_EQ(File(L"b", L"new"), E_ACCESSDENIED);
        EXPECT_EQ(standin::RemoveEntry(ToBstr(L"b").get()), E_ACCESSDENIED);
        EXPECT_FALSE(UndoRecordLeft());
    }
    EXPECT_EQ(ReadStore(), before);
    EXPECT_EQ(AsTheMenuShowsIt(), before) << "b is shown as the store holds it";
    ASSERT_HRESULT_SUCCEEDED(File(L"d", L"d"));
    auto expected = before;
    expected[L"d"] = Filed(L"d");
    EXPECT_EQ(ReadStore(), expected) << "the next Register undid what no change of ours made";
}

TEST_F(StoreIntegrityTest, AReadThatRunsOutOfMemoryLeavesTheMenuItHad) {
    for (const wchar_t* tag : {L"b", L"a", L"c"})
        ASSERT_HRESULT_SUCCEEDED(File(tag, tag));
    standin::StoreFollower follower;
    const auto& entries = follower.entries();
    const auto read = [&follower] {
        follower.Look();
        while (follower.passing())
            follower.ContinuePass(INFINITE);
        return follower.whole();
    };
    ASSERT_TRUE(read());
    ASSERT_EQ(entries.size(), 3u);
    testing::WriteStraight(L"d", L"menu d");  // no journal names it: the pass reads it

    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    long refusals = 0;
    for (long n = 0;; ++n) {
        spy.RefuseAllocation(n);
        const bool whole = read();
        if (!spy.refusedOne()) {
            EXPECT_TRUE(whole);
            break;
        }
        ++refusals;
        EXPECT_FALSE(whole) << "allocation " << n << " failed, yet the read said it was whole";
        ASSERT_EQ(entries.size(), 3u) << "allocation " << n;
        EXPECT_STREQ(entries[0].keyName, L"a");
        EXPECT_EQ(testing::FromBstr(entries[2].menuName.get()), L"menu c");
    }
    EXPECT_GE(refusals, 8) << "two texts or more for each of the four entries";
    EXPECT_EQ(entries.size(), 4u);
}

}  // namespace

// A writer that dies part-way: the child refuses to live past the value write numbered dieAt.
int DieWritingFromChild(const std::wstring& key, int dieAt) {
    static int s_dieAt;
    s_dieAt = dieAt;
    standin::g_valueWriteFault = [](int value) -> LSTATUS {
        if (value == s_dieAt) TerminateProcess(GetCurrentProcess(), 7);
        return ERROR_SUCCESS;
    };
    File(key, L"dying");
    return 0;
}

namespace {

TEST_F(StoreIntegrityTest, AWriterThatDiedHoldingTheLockIsUndoneAndTheLockTakenOver) {
    const std::wstring child = testing::ProgramFolder() + L"plovane-tests.exe --die-writing ";
    // Held open here, the mutex outlives the dying writer, so the next taker finds it abandoned
    // (with no handle left open it would go with its holder, and a new one would be made).
    unique_handle open(CreateMutexW(nullptr, FALSE, standin::kStoreMutexName));
    ASSERT_TRUE(open);
    for (int dieAt = 0; dieAt < 4; ++dieAt) {
        testing::ClearStore();
        ASSERT_HRESULT_SUCCEEDED(File(L"other", L"other"));
        ASSERT_HRESULT_SUCCEEDED(File(L"replaced", L"old", 2));
        const auto before = ReadStore();
        for (const wchar_t* key : {L"replaced", L"added"}) {
            ASSERT_EQ(testing::RunProcess(child + key + L" " + std::to_wstring(dieAt), kWaitMs), 7)
                << "the writer died at value " << dieAt;
            EXPECT_EQ(AsTheMenuShowsIt(), before)
                << "the menu shows the store as it was, writer died at value " << dieAt;
        }
        EXPECT_HRESULT_SUCCEEDED(File(L"later", L"later")) << "the lock is taken over";
        auto expected = before;
        expected[L"later"] = Filed(L"later");
        EXPECT_EQ(ReadStore(), expected) << "the unfinished entry is undone, died at " << dieAt;
        EXPECT_FALSE(UndoRecordLeft());
    }
}

// The store's lock held by another process: the tool's Register and Unregister give up in a
// bounded time with the fixed box, and the window goes on answering.
class LockHeldElsewhereTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ClearStore();
        testing::RemoveClassRegistration();
        ASSERT_EQ(testing::RunProcess(
                      L"regsvr32.exe /s \"" + testing::ProgramFolder() + L"messenger-standin.dll\"",
                      kWaitMs),
                  0);
        process_.reset(
            testing::StartProcess(L"\"" + testing::ProgramFolder() + L"plovane-actions.exe\""));
        ASSERT_TRUE(process_);
        form_ = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
        ASSERT_TRUE(form_);
        mutex_.reset(CreateMutexW(nullptr, FALSE, standin::kStoreMutexName));
        ASSERT_TRUE(mutex_);
    }
    void TearDown() override {
        if (holding_) ReleaseMutex(mutex_.get());
        if (process_) TerminateProcess(process_.get(), 99);
        testing::RemoveClassRegistration();
        testing::ClearStore();
    }
    void type(ui::ControlId id, const std::wstring& text) {
        testing::SetWindowTextTo(testing::FindDescendant(form_, id), text);
    }
    void post(ui::ControlId id) {
        PostMessageW(testing::FindDescendant(form_, id), BM_CLICK, 0, 0);
    }
    bool answers() {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(form_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kWaitMs, &result) != 0;
    }

    unique_handle process_, mutex_;
    HWND form_ = nullptr;
    bool holding_ = false;
};

TEST_F(LockHeldElsewhereTest, RegisterAndUnregisterShowTheirBoxAndTheWindowAnswers) {
    ASSERT_EQ(WaitForSingleObject(mutex_.get(), 0), WAIT_OBJECT_0);
    holding_ = true;
    type(ui::Text4, L"notes");
    type(ui::Text2, L"Open Notes");
    type(ui::Text3, L"http://notes.invalid/");
    type(ui::Text1, L"C:\\Tools\\notes.exe");
    post(ui::Command2);
    testing::CaughtBox box;
    ASSERT_TRUE(testing::CatchForeignBox(L"Plovane - Error", box, kWaitMs))
        << "Register waited for the lock without end";
    EXPECT_EQ(box.prompt, L"All feilds must be complete");
    EXPECT_TRUE(answers());
    type(ui::Text5, L"notes");
    post(ui::Command3);
    ASSERT_TRUE(testing::CatchForeignBox(L"Plovane - Error", box, kWaitMs))
        << "Unregister waited for the lock without end";
    EXPECT_EQ(box.prompt, L"Key doesn't exist");
    EXPECT_TRUE(answers());
    EXPECT_TRUE(ReadStore().empty());

    ReleaseMutex(mutex_.get());
    holding_ = false;
    SendMessageW(testing::FindDescendant(form_, ui::Command2), BM_CLICK, 0, 0);
    EXPECT_EQ(testing::ReadEntry(L"notes"), (StoredEntry{L"Open Notes", L"http://notes.invalid/",
                                                         L"C:\\Tools\\notes.exe", 0, true}))
        << "once the lock is free the same press files the entry";
}

}  // namespace
}  // namespace plovane
