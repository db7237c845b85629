// The stand-in session manager against the real registry: what it files, what it refuses, and
// that no call can damage entries it was not asked about.
#include <gtest/gtest.h>

#include <random>

#include "common/com_apartment.h"
#include "common/com_ptr.h"
#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "standin/session_standin.h"
#include "standin/store.h"
#include "tests/support/fake_session.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"

namespace plovane {
namespace {

using testing::ReadEntry;
using testing::ReadStore;
using testing::StoredEntry;

using testing::ToBstr;

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ClearStore();
        com_ptr<IClassFactory> factory;
        ASSERT_HRESULT_SUCCEEDED(
            standin::GetSessionManagerFactory(IID_IClassFactory, factory.put_void()));
        ASSERT_HRESULT_SUCCEEDED(
            factory->CreateInstance(nullptr, messenger::kSessionManagerIid, session_.put_void()));
    }
    void TearDown() override { testing::ClearStore(); }

    HRESULT Register(const std::wstring& key, const std::wstring& name, const std::wstring& url,
                     const std::wstring& path, LONG flags = 0) {
        return session_->RegisterProgram(ToBstr(key).get(), ToBstr(name).get(), ToBstr(url).get(),
                                         ToBstr(path).get(), flags);
    }
    HRESULT Unregister(const std::wstring& key) {
        return session_->UnregisterProgram(ToBstr(key).get());
    }
    void RegisterSample(const std::wstring& key) {
        ASSERT_HRESULT_SUCCEEDED(Register(key, L"menu " + key, L"url " + key, L"path " + key));
    }
    static StoredEntry Entry(const std::wstring& n, const std::wstring& u, const std::wstring& p,
                             DWORD flags = 0) {
        return {n, u, p, flags, true};
    }

    com_apartment apartment_;
    com_ptr<messenger::ISessionManager> session_;
};

TEST_F(StandInTest, RegisterFilesTheFourValuesUnderTheKeyName) {
    ASSERT_HRESULT_SUCCEEDED(
        Register(L"notes", L"Open Notes", L"http://x.invalid", L"C:\\Tools\\notes.exe"));
    ASSERT_HRESULT_SUCCEEDED(Register(L"flagged", L"F", L"U", L"P", 0x2A));
    const auto store = ReadStore();
    ASSERT_EQ(store.size(), 2u);
    EXPECT_EQ(store.at(L"notes"),
              Entry(L"Open Notes", L"http://x.invalid", L"C:\\Tools\\notes.exe"));
    EXPECT_EQ(store.at(L"flagged"), Entry(L"F", L"U", L"P", 0x2A));
}

TEST_F(StandInTest, RegisterRefusesIncompleteOrUnsafeInputAndWritesNothing) {
    const std::wstring nul(L"a\0b", 3);
    struct Case {
        std::wstring key, name, url, path;
    };
    const Case refused[] = {
        {L"", L"n", L"u", L"p"},
        {L"k", L"", L"u", L"p"},
        {L"k", L"n", L"", L"p"},
        {L"k", L"n", L"u", L""},
        {L"a\\b", L"n", L"u", L"p"},
        {L"\\", L"n", L"u", L"p"},
        {std::wstring(256, L'k'), L"n", L"u", L"p"},
        {nul, L"n", L"u", L"p"},
        {L"k", nul, L"u", L"p"},
        {L"k", L"n", L"u", nul},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(Register(c.key, c.name, c.url, c.path), E_INVALIDARG) << c.key.size();
    }
    EXPECT_EQ(session_->RegisterProgram(nullptr, ToBstr(L"n").get(), ToBstr(L"u").get(),
                                        ToBstr(L"p").get(), 0),
              E_INVALIDARG);
    EXPECT_TRUE(ReadStore().empty());
    EXPECT_HRESULT_SUCCEEDED(Register(std::wstring(255, L'k'), L"n", L"u", L"p"))
        << "255 characters is the registry's own limit and is accepted";
}

TEST_F(StandInTest, RegisteringAnExistingKeyReplacesTheWholeEntry) {
    RegisterSample(L"notes");
    const std::wstring path = std::wstring(standin::kStoreKeyPath) + L"\\notes";
    unique_hkey stale;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (path + L"\\Leftover").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, stale.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), L"Stale", REG_SZ, L"x", 4),
              ERROR_SUCCESS);
    stale.reset();

    ASSERT_HRESULT_SUCCEEDED(Register(L"notes", L"New", L"u2", L"p2", 1));
    EXPECT_EQ(*ReadEntry(L"notes"), Entry(L"New", L"u2", L"p2", 1));
    unique_hkey entry;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, entry.put()),
              ERROR_SUCCESS);
    DWORD values = 0, subkeys = 0;
    RegQueryInfoKeyW(entry.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(values, 4u);
    EXPECT_EQ(subkeys, 0u);
}

TEST_F(StandInTest, UnregisterRemovesExactlyTheNamedEntry) {
    for (const wchar_t* key : {L"one", L"two", L"three"})
        RegisterSample(key);
    ASSERT_HRESULT_SUCCEEDED(Unregister(L"two"));
    const auto store = ReadStore();
    EXPECT_EQ(store.size(), 2u);
    EXPECT_EQ(store.count(L"two"), 0u);
    EXPECT_EQ(store.at(L"one"), Entry(L"menu one", L"url one", L"path one"));
    EXPECT_EQ(Unregister(L"two"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Unregister(L"never-registered"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(StandInTest, NoKeyNameCanReachBeyondItsOwnEntry) {
    for (const wchar_t* key : {L"one", L"two"})
        RegisterSample(key);
    EXPECT_EQ(Unregister(L""), E_INVALIDARG);
    EXPECT_EQ(session_->UnregisterProgram(nullptr), E_INVALIDARG);
    for (const wchar_t* key : {L"\\", L"one\\", L"..\\Actions", L"\\one"}) {
        EXPECT_EQ(Unregister(key), E_INVALIDARG);
    }
    EXPECT_EQ(Unregister(std::wstring(L"one\0two", 7)), E_INVALIDARG);
    EXPECT_EQ(Unregister(std::wstring(300, L'k')), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadStore().size(), 2u);
}

TEST_F(StandInTest, ARegistryFailureIsReturnedNotReportedAsSuccess) {
    // Under a volatile key only volatile keys may be made, so the store cannot be opened.
    unique_hkey blocker;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Plovane\\Messenger Stand-in", 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, blocker.put(), nullptr),
        ERROR_SUCCESS);
    const HRESULT hr = Register(L"k", L"n", L"u", L"p");
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_NE(hr, E_INVALIDARG);
    EXPECT_TRUE(FAILED(Unregister(L"k")));
    EXPECT_FALSE(ReadEntry(L"k").has_value());
}

TEST_F(StandInTest, ReferencesAndServerLocksAreCounted) {
    const long before = standin::ServerReferences();
    ASSERT_GT(before, 0) << "the live session manager holds the server";
    EXPECT_EQ(session_->AddRef(), 2u);
    EXPECT_EQ(session_->Release(), 1u);
    session_.reset();
    EXPECT_EQ(standin::ServerReferences(), before - 1);
}

// Each worker process files entries under shared key names, every value tagged with the same
// write, and keeps a set of its own keys that only it touches. Both start at one signal and
// share only two key names, so that they collide on nearly every write.
constexpr int kSharedKeys = 2;
constexpr int kOperations = 500;
constexpr wchar_t kWorkerReady[] = L"Local\\Plovane.Tests.StoreWorkerReady";
constexpr wchar_t kWorkersGo[] = L"Local\\Plovane.Tests.StoreWorkersGo";

std::wstring Tag(int worker, int op) {
    return L"w" + std::to_wstring(worker) + L"-" + std::to_wstring(op);
}

}  // namespace

int RunStoreWorker(int worker) {
    com_apartment apartment;
    com_ptr<IClassFactory> factory;
    com_ptr<messenger::ISessionManager> session;
    if (FAILED(standin::GetSessionManagerFactory(IID_IClassFactory, factory.put_void())) ||
        FAILED(
            factory->CreateInstance(nullptr, messenger::kSessionManagerIid, session.put_void()))) {
        return 2;
    }
    unique_handle ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kWorkerReady));
    unique_handle go(OpenEventW(SYNCHRONIZE, FALSE, kWorkersGo));
    if (!ready || !go || !ReleaseSemaphore(ready.get(), 1, nullptr) ||
        WaitForSingleObject(go.get(), 60000) != WAIT_OBJECT_0) {
        return 5;
    }
    for (int op = 0; op < kOperations; ++op) {
        const std::wstring tag = Tag(worker, op);
        const std::wstring shared = L"shared-" + std::to_wstring(op % kSharedKeys);
        const std::wstring own = L"own-" + std::to_wstring(worker) + L"-" + std::to_wstring(op);
        for (const std::wstring& key : {shared, own}) {
            if (FAILED(session->RegisterProgram(ToBstr(key).get(), ToBstr(tag).get(),
                                                ToBstr(tag).get(), ToBstr(tag).get(), op))) {
                return 3;
            }
        }
        if (op % 3 == 0 && FAILED(session->UnregisterProgram(ToBstr(own).get()))) return 4;
        if (op % 5 == 0) session->UnregisterProgram(ToBstr(shared).get());
    }
    return 0;
}

namespace {

TEST(StandInConcurrencyTest, TwoProcessesWritingAtOnceLeaveEveryEntryWholeAndLoseNone) {
    testing::ClearStore();
    unique_handle ready(CreateSemaphoreW(nullptr, 0, 2, kWorkerReady));
    unique_handle go(CreateEventW(nullptr, TRUE, FALSE, kWorkersGo));
    ASSERT_TRUE(ready && go);
    const std::wstring self = testing::ProgramFolder() + L"plovane-tests.exe --store-worker ";
    unique_handle first(testing::StartProcess(self + L"1"));
    unique_handle second(testing::StartProcess(self + L"2"));
    ASSERT_TRUE(first && second);
    HANDLE both[] = {first.get(), second.get()};
    for (int worker = 0; worker < 2; ++worker) {
        HANDLE readyOrEnded[] = {ready.get(), first.get(), second.get()};
        ASSERT_EQ(WaitForMultipleObjects(3, readyOrEnded, FALSE, 60000), WAIT_OBJECT_0);
    }
    SetEvent(go.get());
    ASSERT_EQ(WaitForMultipleObjects(2, both, TRUE, 120000), WAIT_OBJECT_0);
    for (HANDLE process : both) {
        DWORD code = 99;
        GetExitCodeProcess(process, &code);
        EXPECT_EQ(code, 0u);
    }
    const auto store = ReadStore();
    for (const auto& [key, entry] : store) {
        EXPECT_TRUE(entry.whole) << std::string(key.begin(), key.end());
        EXPECT_TRUE(entry.menuName == entry.url && entry.url == entry.path)
            << "torn entry " << std::string(key.begin(), key.end());
    }
    for (int worker : {1, 2}) {
        for (int op = 0; op < kOperations; ++op) {
            const std::wstring own = L"own-" + std::to_wstring(worker) + L"-" + std::to_wstring(op);
            const bool kept = op % 3 != 0;
            ASSERT_EQ(store.count(own), kept ? 1u : 0u) << std::string(own.begin(), own.end());
            if (kept) {
                EXPECT_EQ(store.at(own).menuName, Tag(worker, op));
            }
        }
    }
    testing::ClearStore();
}

}  // namespace
}  // namespace plovane
