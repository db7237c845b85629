// The stand-in's store when things go wrong: writes refused part-way, writers that die holding
// its lock, a lock held by another process, keys deleted under a reader, and the sizes it stores.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "standin/store.h"
#include "standin/store_reader.h"
#include "tests/support/box_catcher.h"
#include "tests/support/fake_session.h"
#include "tests/support/malloc_spy.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

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
std::wstring EntryPath(const std::wstring& key) {
    return std::wstring(standin::kStoreKeyPath) + L"\\" + key;
}
bool UndoRecordLeft() {
    unique_hkey undo;
    return RegOpenKeyExW(HKEY_CURRENT_USER, standin::kUndoKeyPath, 0, KEY_READ, undo.put()) ==
           ERROR_SUCCESS;
}
std::map<std::wstring, StoredEntry> AsMenuShowsIt() {
    heap_array<standin::MenuEntry> entries;
    EXPECT_TRUE(standin::ReadMenuEntries(entries));
    std::map<std::wstring, StoredEntry> shown;
    for (const auto& e : entries) {
        shown[e.keyName] = {testing::FromBstr(e.menuName.get()), testing::FromBstr(e.url.get()),
                            testing::FromBstr(e.path.get()), e.flags, !e.damaged};
    }
    return shown;
}

class StoreIntegrityTest : public ::testing::Test {
protected:
    void SetUp() override { testing::ClearStore(); }
    void TearDown() override {
        standin::g_valueWriteFault = nullptr;
        standin::g_markReadHook = nullptr;
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
    const auto shown = AsMenuShowsIt();
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
        EXPECT_EQ(AsMenuShowsIt(), before) << value;
    }
    g_failAt = -1;
    ASSERT_HRESULT_SUCCEEDED(File(L"replaced", L"new", 9));
    EXPECT_EQ(ReadStore().at(L"replaced"), Filed(L"new", 9));
}

// A writer of ours that starts on an entry just as a look begins reading it, and is held after
// its first value: the look never keeps the entry half written, but as it was before that change.
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
void StartHeldWriter() {
    standin::g_markReadHook = nullptr;  // once
    standin::g_valueWriteFault = &HoldAtTheSecondValue;
    g_held->thread.reset(CreateThread(nullptr, 0, &WriteNew, nullptr, 0, nullptr));
    WaitForSingleObject(g_held->reached.get(), kWaitMs);
}

TEST_F(StoreIntegrityTest, ALookThatOverlapsTheStartOfAChangeHoldsTheEntryAsItWas) {
    ASSERT_HRESULT_SUCCEEDED(File(L"k", L"old"));
    standin::StoreFollower follower;
    follower.StartPass();
    while (follower.passing())
        follower.ContinuePass(INFINITE);
    ASSERT_HRESULT_SUCCEEDED(File(L"k", L"mid"));  // journaled: the next look reads k
    HeldWriter held;
    g_held = &held;
    standin::g_markReadHook = &StartHeldWriter;
    follower.Follow();
    standin::g_markReadHook = nullptr;
    ASSERT_EQ(follower.entries().size(), 1u);
    EXPECT_FALSE(follower.entries()[0].damaged) << "read half written";
    EXPECT_EQ(testing::FromBstr(follower.entries()[0].menuName.get()), L"menu mid");
    SetEvent(held.release.get());
    ASSERT_TRUE(held.thread);
    EXPECT_EQ(WaitForSingleObject(held.thread.get(), kWaitMs), WAIT_OBJECT_0);
    standin::g_valueWriteFault = nullptr;
    g_held = nullptr;
    follower.Follow();
    EXPECT_EQ(testing::FromBstr(follower.entries()[0].menuName.get()), L"menu new");
}

// An entry's key denied to everyone by another program, as a DACL with one deny entry does, and
// its own access given back when this goes (through a handle opened before the denial).
class DeniedKey {
public:
    explicit DeniedKey(const std::wstring& key) {
        RegOpenKeyExW(HKEY_CURRENT_USER, EntryPath(key).c_str(), 0, READ_CONTROL | WRITE_DAC,
                      key_.put());
        DWORD bytes = sizeof(given_);
        RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, given_, &bytes);
        BYTE everyone[SECURITY_MAX_SID_SIZE];
        DWORD sidBytes = sizeof(everyone);
        CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidBytes);
        InitializeAcl(reinterpret_cast<ACL*>(acl_), sizeof(acl_), ACL_REVISION);
        AddAccessDeniedAce(reinterpret_cast<ACL*>(acl_), ACL_REVISION, KEY_ALL_ACCESS, everyone);
        SECURITY_DESCRIPTOR denied;
        InitializeSecurityDescriptor(&denied, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&denied, TRUE, reinterpret_cast<ACL*>(acl_), FALSE);
        denied_ = RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, &denied) ==
                  ERROR_SUCCESS;
    }
    ~DeniedKey() { Allow(); }
    DeniedKey(const DeniedKey&) = delete;
    DeniedKey& operator=(const DeniedKey&) = delete;
    bool denied() const { return denied_; }
    void Allow() {
        if (denied_) RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, given_);
        denied_ = false;
    }

private:
    unique_hkey key_;
    alignas(void*) BYTE given_[1024] = {};
    alignas(DWORD) BYTE acl_[256] = {};
    bool denied_ = false;
};

// Only "not found" is no entry: a Register of an entry that cannot be read is refused before
// anything is recorded, so nothing later reads the entry as gone or deletes it.
TEST_F(StoreIntegrityTest, AnEntryDeniedToUsIsRefusedAndKeptWholeThroughTheNextWrite) {
    ASSERT_HRESULT_SUCCEEDED(File(L"a", L"a"));
    ASSERT_HRESULT_SUCCEEDED(File(L"b", L"b"));
    const auto before = ReadStore();
    {
        DeniedKey denied(L"b");
        ASSERT_TRUE(denied.denied());
        EXPECT_EQ(File(L"b", L"new"), E_ACCESSDENIED);
        EXPECT_EQ(standin::RemoveEntry(ToBstr(L"b").get()), E_ACCESSDENIED);
        EXPECT_FALSE(UndoRecordLeft());
    }
    EXPECT_EQ(ReadStore(), before);
    EXPECT_EQ(AsMenuShowsIt(), before) << "b is shown as the store holds it";
    ASSERT_HRESULT_SUCCEEDED(File(L"d", L"d"));
    auto expected = before;
    expected[L"d"] = Filed(L"d");
    EXPECT_EQ(ReadStore(), expected) << "the next Register undid what no change of ours made";
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    standin::ForEachSubkey(key, [&](const wchar_t* name, DWORD length) {
        names.emplace_back(name, length);
        return true;
    });
    return names;
}

struct Enumeration {
    HKEY key;
    std::vector<std::wstring> names;
};
DWORD WINAPI EnumerateOnThread(void* param) {
    auto* work = static_cast<Enumeration*>(param);
    work->names = SubkeyNames(work->key);
    return 0;
}

TEST_F(StoreIntegrityTest, AReadThatRunsOutOfMemoryLeavesTheMenuItHad) {
    for (const wchar_t* tag : {L"b", L"a", L"c"})
        ASSERT_HRESULT_SUCCEEDED(File(tag, tag));
    heap_array<standin::MenuEntry> entries;
    ASSERT_TRUE(standin::ReadMenuEntries(entries));
    ASSERT_EQ(entries.size(), 3u);
    ASSERT_HRESULT_SUCCEEDED(File(L"d", L"d"));

    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    long refusals = 0;
    for (long n = 0;; ++n) {
        spy.RefuseAllocation(n);
        const bool read = standin::ReadMenuEntries(entries);
        if (!spy.refusedOne()) {
            EXPECT_TRUE(read);
            break;
        }
        ++refusals;
        EXPECT_FALSE(read) << "allocation " << n << " failed, yet the read said it was whole";
        ASSERT_EQ(entries.size(), 3u) << "allocation " << n;
        EXPECT_STREQ(entries[0].keyName, L"a");
        EXPECT_EQ(testing::FromBstr(entries[2].menuName.get()), L"menu c");
    }
    EXPECT_GE(refusals, 8) << "two texts or more for each of the four entries";
    EXPECT_EQ(entries.size(), 4u);
}

TEST_F(StoreIntegrityTest, AnEnumerationOverAKeyDeletedUnderItEnds) {
    ASSERT_HRESULT_SUCCEEDED(File(L"one", L"1"));
    ASSERT_HRESULT_SUCCEEDED(File(L"two", L"2"));
    unique_hkey store;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, standin::kStoreKeyPath, 0, KEY_READ, store.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(store.get()), (std::vector<std::wstring>{L"one", L"two"}));
    testing::ClearStore();
    Enumeration work{store.get(), {L"unread"}};
    // On its own thread, so that an enumeration that never ends fails this test, not the run.
    unique_handle thread(CreateThread(nullptr, 0, &EnumerateOnThread, &work, 0, nullptr));
    ASSERT_TRUE(thread);
    const DWORD ended = WaitForSingleObject(thread.get(), kWaitMs);
    if (ended != WAIT_OBJECT_0) TerminateThread(thread.get(), 1);
    ASSERT_EQ(ended, WAIT_OBJECT_0) << "the enumeration of a deleted key did not end";
    EXPECT_TRUE(work.names.empty());
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
            EXPECT_EQ(AsMenuShowsIt(), before)
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
