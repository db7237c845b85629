// The stand-in as COM and regsvr32 meet it: the built DLL loaded by its exports, and its
// self-registration against registrations left by other copies of it and by other servers.
#include <gtest/gtest.h>

#include <string>

#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "messenger/session_manager.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;
constexpr wchar_t kClassKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kServerKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The shipped DLL, loaded as COM loads it; it has its own counts, apart from this program's.
class UnloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        dll_ = LoadLibraryW((testing::ProgramFolder() + L"messenger-standin.dll").c_str());
        ASSERT_TRUE(dll_);
        getClassObject_ = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(dll_, "DllGetClassObject")));
        canUnloadNow_ = reinterpret_cast<CanUnloadNowFn>(
            reinterpret_cast<void*>(GetProcAddress(dll_, "DllCanUnloadNow")));
        ASSERT_TRUE(getClassObject_ && canUnloadNow_);
    }
    void TearDown() override {
        if (dll_) FreeLibrary(dll_);
    }
    IClassFactory* Factory() {
        IClassFactory* factory = nullptr;
        EXPECT_HRESULT_SUCCEEDED(getClassObject_(messenger::kSessionManagerClsid, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&factory)));
        return factory;
    }

    com_apartment apartment_;
    HMODULE dll_ = nullptr;
    GetClassObjectFn getClassObject_ = nullptr;
    CanUnloadNowFn canUnloadNow_ = nullptr;
};

TEST_F(UnloadTest, TheDllStaysWhileASessionManagerLives) {
    EXPECT_EQ(canUnloadNow_(), S_OK) << "nothing made yet";
    IClassFactory* factory = Factory();
    ASSERT_TRUE(factory);
    IUnknown* session = nullptr;
    ASSERT_HRESULT_SUCCEEDED(factory->CreateInstance(nullptr, messenger::kSessionManagerIid,
                                                     reinterpret_cast<void**>(&session)));
    factory->Release();
    EXPECT_EQ(canUnloadNow_(), S_FALSE) << "a session manager lives; its code must stay";
    session->Release();
    EXPECT_EQ(canUnloadNow_(), S_OK) << "the last object is gone";
}

TEST_F(UnloadTest, TheDllStaysWhileItsClassObjectIsLocked) {
    IClassFactory* factory = Factory();
    ASSERT_TRUE(factory);
    ASSERT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
    factory->Release();
    EXPECT_EQ(canUnloadNow_(), S_FALSE) << "a lock holds the server with no object alive";
    factory = Factory();
    ASSERT_TRUE(factory);
    ASSERT_HRESULT_SUCCEEDED(factory->LockServer(FALSE));
    factory->Release();
    EXPECT_EQ(canUnloadNow_(), S_OK) << "the lock is gone";
}

// ---------------------------------------------------------------------------------------------

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::wstring RegisteredServer() {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(value);
    RegGetValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

void SetRegisteredServer(const std::wstring& path) {
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, REG_SZ, path.c_str(),
                        static_cast<DWORD>(path.size() + 1) * static_cast<DWORD>(sizeof(wchar_t))),
        ERROR_SUCCESS);
}

// The class under one root at a time: the machine's classes or the user's.
constexpr wchar_t kServerPath[] =
    L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}\\InprocServer32";
constexpr wchar_t kClassPath[] =
    L"Software\\Classes\\CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";

std::wstring ServerIn(HKEY root, const wchar_t* name = nullptr) {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(value);
    RegGetValueW(root, kServerPath, name, RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

std::wstring StringIn(HKEY root, const std::wstring& key) {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(value);
    RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

void SetServerIn(HKEY root, const std::wstring& path) {
    ASSERT_EQ(
        RegSetKeyValueW(root, kServerPath, nullptr, REG_SZ, path.c_str(),
                        static_cast<DWORD>(path.size() + 1) * static_cast<DWORD>(sizeof(wchar_t))),
        ERROR_SUCCESS);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Copies of the stand-in in folders of their own, as a user unpacks them from the zip: each test
// makes its copies under a scratch folder and deletes them as the user would, without asking.
class StaleRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        scratch_ = std::wstring(temp) + L"plovane-stale-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(scratch_.c_str(), nullptr);
        testing::RemoveClassRegistration();
        RegDeleteTreeW(HKEY_CURRENT_USER, kClassPath);
        testing::ClearStore();
    }
    void TearDown() override {
        testing::RemoveClassRegistration();
        RegDeleteTreeW(HKEY_CURRENT_USER, kClassPath);
        testing::ClearStore();
        for (const std::wstring& file : files_)
            DeleteFileW(file.c_str());
        for (const std::wstring& folder : folders_)
            RemoveDirectoryW(folder.c_str());
        RemoveDirectoryW(scratch_.c_str());
    }
    // A copy of a built file in scratch\folder, under the given name.
    std::wstring Copy(const wchar_t* built, const std::wstring& folder, const wchar_t* name) {
        const std::wstring dir = scratch_ + L"\\" + folder;
        CreateDirectoryW(dir.c_str(), nullptr);
        folders_.push_back(dir);
        std::wstring path = dir + L"\\" + name;
        EXPECT_TRUE(CopyFileW((testing::ProgramFolder() + built).c_str(), path.c_str(), FALSE));
        files_.push_back(path);
        return path;
    }
    std::wstring CopyStandIn(const std::wstring& folder) {
        return Copy(L"messenger-standin.dll", folder, L"messenger-standin.dll");
    }
    static void Delete(const std::wstring& path) {
        ASSERT_TRUE(DeleteFileW(path.c_str()));
        RemoveDirectoryW(path.substr(0, path.rfind(L'\\')).c_str());
    }
    static long Regsvr32(const std::wstring& options, const std::wstring& dll) {
        return testing::RunProcess(L"regsvr32.exe /s " + options + Quoted(dll), kWaitMs);
    }
    // The real tool starts with its window, and so found a session manager.
    static void ExpectTheToolStarts() {
        unique_handle tool(
            testing::StartProcess(Quoted(testing::ProgramFolder() + L"plovane-actions.exe")));
        ASSERT_TRUE(tool);
        HWND form = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
        EXPECT_TRUE(form) << "the tool did not start";
        if (form) PostMessageW(form, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(tool.get(), kWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(tool.get(), 99);
        }
        // Its start-up box, if it showed one, goes with it.
        HWND box = FindWindowW(L"#32770", ui::kFormTitle);
        if (box) PostMessageW(box, WM_CLOSE, 0, 0);
    }

    std::wstring scratch_;
    std::vector<std::wstring> files_, folders_;
};

TEST_F(StaleRegistrationTest, ACopyDeletedWithoutUnregisteringIsReplacedByANewCopy) {
    const std::wstring old = CopyStandIn(L"first-unpack");
    ASSERT_EQ(Regsvr32(L"", old), 0);
    ASSERT_NO_FATAL_FAILURE(Delete(old));
    const std::wstring fresh = CopyStandIn(L"second-unpack");
    EXPECT_EQ(Regsvr32(L"", fresh), 0) << "the deleted copy's registration is ours to replace";
    EXPECT_TRUE(SameFile(RegisteredServer(), fresh)) << RegisteredServer();
    ExpectTheToolStarts();
}

TEST_F(StaleRegistrationTest, UnregisteringANewCopyRemovesADeletedCopysRegistration) {
    const std::wstring old = CopyStandIn(L"first-unpack");
    ASSERT_EQ(Regsvr32(L"", old), 0);
    ASSERT_NO_FATAL_FAILURE(Delete(old));
    const std::wstring fresh = CopyStandIn(L"second-unpack");
    EXPECT_EQ(Regsvr32(L"/u ", fresh), 0);
    EXPECT_EQ(RegisteredServer(), L"") << "the stale class is gone";
    HKEY typeLibrary = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"TypeLib\\{53CED51D-432B-45B2-A3E0-0CE2C24235D4}",
                            0, KEY_READ, &typeLibrary),
              ERROR_SUCCESS)
        << "and its type library with it";
    if (typeLibrary) RegCloseKey(typeLibrary);
}

// An upgrade of the zip unpacks beside the earlier version: both copies live, the earlier one
// registered. It is known as ours by its version block, whatever its folder or file name.
TEST_F(StaleRegistrationTest, ALiveEarlierCopyIsReplacedAndItsFolderCanGo) {
    const std::wstring earlier = Copy(L"messenger-standin.dll", L"earlier", L"standin-0.90.dll");
    ASSERT_EQ(Regsvr32(L"", earlier), 0);
    const std::wstring later = CopyStandIn(L"later");
    EXPECT_EQ(Regsvr32(L"", later), 0);
    EXPECT_TRUE(SameFile(RegisteredServer(), later)) << RegisteredServer();
    ASSERT_NO_FATAL_FAILURE(Delete(earlier));
    ExpectTheToolStarts();
}

TEST_F(StaleRegistrationTest, AQuotedRegistrationOfADeletedCopyIsStaleToo) {
    const std::wstring old = CopyStandIn(L"quoted");
    ASSERT_NO_FATAL_FAILURE(Delete(old));
    ASSERT_NO_FATAL_FAILURE(SetRegisteredServer(Quoted(old)));
    const std::wstring fresh = CopyStandIn(L"fresh");
    EXPECT_EQ(Regsvr32(L"", fresh), 0);
    EXPECT_TRUE(SameFile(RegisteredServer(), fresh)) << RegisteredServer();
}

// A live server of anyone else's: a file that is there and is not the stand-in, even under the
// stand-in's own file name.
TEST_F(StaleRegistrationTest, ALiveServerOfAnotherStaysUntouched) {
    const std::wstring others[] = {
        Copy(L"failing-server.dll", L"messenger", L"msnmsgr-session.dll"),
        Copy(L"failing-server.dll", L"impostor", L"messenger-standin.dll"),
    };
    const std::wstring ours = CopyStandIn(L"ours");
    for (const std::wstring& other : others) {
        ASSERT_NO_FATAL_FAILURE(SetRegisteredServer(other));
        EXPECT_NE(Regsvr32(L"", ours), 0) << "took over " << other;
        EXPECT_EQ(RegisteredServer(), other);
        Regsvr32(L"/u ", ours);
        EXPECT_EQ(RegisteredServer(), other) << "unregistered " << other;
    }
}

// Messenger's own configuration: its program serves the class. Nothing of ours may go over it.
TEST_F(StaleRegistrationTest, AClassServedByAProgramStaysUntouched) {
    const std::wstring local = std::wstring(kClassKey) + L"\\LocalServer32";
    const wchar_t program[] = L"C:\\Program Files\\Messenger\\msnmsgr.exe";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, local.c_str(), nullptr, REG_SZ, program,
                              sizeof(program)),
              ERROR_SUCCESS);
    EXPECT_NE(Regsvr32(L"", CopyStandIn(L"ours")), 0);
    EXPECT_EQ(RegisteredServer(), L"") << "no in-process server was put in front of it";
}

// The same, with an in-process row beside the program's naming a file that is gone (left by an
// older setup of Messenger's, or by a deleted copy of ours): the program still holds the class.
// Per machine and per user alike.
TEST_F(StaleRegistrationTest, AClassServedByAProgramBesideAStaleRowStaysUntouched) {
    const std::wstring local = std::wstring(kClassPath) + L"\\LocalServer32";
    const wchar_t program[] = L"C:\\Program Files\\Messenger\\msnmsgr.exe";
    const std::wstring gone = CopyStandIn(L"gone");
    ASSERT_NO_FATAL_FAILURE(Delete(gone));
    const std::wstring ours = CopyStandIn(L"ours");
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        SCOPED_TRACE(root == HKEY_LOCAL_MACHINE ? "per machine" : "per user");
        ASSERT_EQ(RegSetKeyValueW(root, local.c_str(), nullptr, REG_SZ, program, sizeof(program)),
                  ERROR_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(SetServerIn(root, gone));
        EXPECT_NE(Regsvr32(L"", ours), 0) << "took the class from Messenger's program";
        EXPECT_EQ(ServerIn(HKEY_LOCAL_MACHINE), root == HKEY_LOCAL_MACHINE ? gone : L"");
        EXPECT_EQ(ServerIn(root), gone);
        Regsvr32(L"/u ", ours);
        EXPECT_EQ(ServerIn(root), gone) << "unregistering removed a row beside Messenger's program";
        EXPECT_NE(StringIn(root, local), L"") << "Messenger's program is no longer registered";
        RegDeleteTreeW(root, kClassPath);
    }
}

// The MSI's installed copy holds the class for its user; a zip copy registered beside it writes
// the machine's class alone (the user's stays in front), and its regsvr32 /u removes its own
// registration and leaves the installed copy's, whichever way the two views are read.
TEST_F(StaleRegistrationTest, AZipCopyBesideTheUsersInstalledCopyTouchesOnlyTheMachinesClass) {
    const std::wstring installed = CopyStandIn(L"installed");
    const std::wstring zip = CopyStandIn(L"zip");
    ASSERT_NO_FATAL_FAILURE(SetServerIn(HKEY_CURRENT_USER, installed));
    EXPECT_EQ(Regsvr32(L"", zip), 0) << "an installed copy of the stand-in is ours";
    EXPECT_TRUE(SameFile(ServerIn(HKEY_LOCAL_MACHINE), zip)) << ServerIn(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(SameFile(ServerIn(HKEY_LOCAL_MACHINE, L"PlovaneStandIn"), zip))
        << "the mark by which the MSI knows a zip copy's registration";
    EXPECT_EQ(ServerIn(HKEY_CURRENT_USER), installed);
    EXPECT_EQ(Regsvr32(L"/u ", zip), 0);
    EXPECT_EQ(ServerIn(HKEY_LOCAL_MACHINE), L"");
    EXPECT_EQ(ServerIn(HKEY_CURRENT_USER), installed) << "the installed copy lost its class";
}

// The MSI's copy removed by hand with regsvr32 /u: its row in the user's classes goes, and the
// machine's registration of another server (Messenger's) stays as it was.
TEST_F(StaleRegistrationTest, UnregisteringTheUsersCopyLeavesTheMachinesOtherServer) {
    const std::wstring installed = CopyStandIn(L"installed");
    const std::wstring other = Copy(L"failing-server.dll", L"messenger", L"msnmsgr-session.dll");
    ASSERT_NO_FATAL_FAILURE(SetServerIn(HKEY_CURRENT_USER, installed));
    ASSERT_NO_FATAL_FAILURE(SetServerIn(HKEY_LOCAL_MACHINE, other));
    EXPECT_EQ(Regsvr32(L"/u ", installed), 0);
    EXPECT_EQ(ServerIn(HKEY_CURRENT_USER), L"") << "the user's row of the unregistered copy stayed";
    EXPECT_EQ(ServerIn(HKEY_LOCAL_MACHINE), other) << "the other server lost its registration";
}

// A registered server that cannot be read is not known to be free: regsvr32 refuses the class
// and leaves the row as it was, per machine and per user.
class UnreadableServerTest : public StaleRegistrationTest {
protected:
    // Locks the class's server key against everyone (its owner keeps the right to unlock it), or
    // unlocks it again.
    static LSTATUS Lock(HKEY root, bool locked) {
        unique_hkey key;
        LSTATUS status = RegOpenKeyExW(root, kServerPath, 0, WRITE_DAC, key.put());
        if (status != ERROR_SUCCESS) return status;
        ACL empty;
        InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, locked ? &empty : nullptr, FALSE);
        return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor);
    }
    // The server value's type and bytes, read once the key is open to all again.
    static std::string Raw(HKEY root) {
        DWORD type = 0;
        BYTE data[64] = {};
        DWORD bytes = sizeof(data);
        if (RegGetValueW(root, kServerPath, nullptr, RRF_RT_ANY, &type, data, &bytes) !=
            ERROR_SUCCESS) {
            return "(none)";
        }
        return std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), bytes);
    }
};

TEST_F(UnreadableServerTest, IsRefusedAndLeftAlone) {
    const std::wstring ours = CopyStandIn(L"ours");
    // A live copy of ours, had it been readable: a fault that took the row for free, or for
    // ours, would write over it.
    const std::wstring path = CopyStandIn(L"unreadable");
    const DWORD number = 1;
    const struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        bool locked;
    } cases[] = {
        {"a number", REG_DWORD, &number, sizeof(number), false},
        {"bytes", REG_BINARY, path.c_str(), 8, false},
        {"a key we may not open", REG_SZ, path.c_str(),
         static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)), true},
    };
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) +
                         (root == HKEY_LOCAL_MACHINE ? ", per machine" : ", per user"));
            ASSERT_EQ(RegSetKeyValueW(root, kServerPath, nullptr, c.type, c.data, c.bytes),
                      ERROR_SUCCESS);
            const std::string before = Raw(root);
            if (c.locked) {
                ASSERT_EQ(Lock(root, true), ERROR_SUCCESS);
                unique_hkey probe;
                ASSERT_EQ(RegOpenKeyExW(root, kServerPath, 0, KEY_QUERY_VALUE, probe.put()),
                          ERROR_ACCESS_DENIED)
                    << "the lock does not hold, so this case tests nothing";
            }
            const long registered = Regsvr32(L"", ours);
            Regsvr32(L"/u ", ours);
            if (c.locked) {
                ASSERT_EQ(Lock(root, false), ERROR_SUCCESS);
            }
            EXPECT_NE(registered, 0) << "took a class it cannot read";
            EXPECT_EQ(Raw(root), before) << "the unreadable row was changed";
            EXPECT_EQ(StringIn(HKEY_LOCAL_MACHINE, kClassPath), L"")
                << "described the class as ours";
            if (root == HKEY_CURRENT_USER) {
                EXPECT_EQ(ServerIn(HKEY_LOCAL_MACHINE), L"") << "went in front of it per machine";
            }
            RegDeleteTreeW(root, kClassPath);
        }
    }
}

// Two live copies: unregistering the one not registered leaves the other's registration, per
// machine and per user.
TEST_F(StaleRegistrationTest, UnregisteringACopyLeavesAnotherLiveCopysRegistration) {
    const std::wstring registered = CopyStandIn(L"registered");
    const std::wstring other = CopyStandIn(L"other");
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        SCOPED_TRACE(root == HKEY_LOCAL_MACHINE ? "per machine" : "per user");
        ASSERT_NO_FATAL_FAILURE(SetServerIn(root, registered));
        Regsvr32(L"/u ", other);
        EXPECT_EQ(ServerIn(root), registered);
        RegDeleteTreeW(root, kClassPath);
    }
}

}  // namespace
}  // namespace plovane
