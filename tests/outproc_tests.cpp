// The real tool against the session manager served from another process, as MSN Messenger
// serves it: the class registered as a local server only, the interface marshaled by the
// stand-in's type library. Run by tests/scripts/outproc_tests.sh in a prefix of its own (a killed
// server leaves its class unreachable until the wineserver restarts).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_handle.h"
#include "tests/support/box_catcher.h"
#include "tests/support/store_access.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;
constexpr wchar_t kClassKey[] = L"CLSID\\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}";
constexpr wchar_t kHostKey[] = L"Software\\Plovane Tests\\Host";
constexpr wchar_t kErrorTitle[] = L"Plovane - Error";
constexpr wchar_t kRegisterPrompt[] = L"All feilds must be complete";
constexpr wchar_t kUnregisterPrompt[] = L"Key doesn't exist";
const std::wstring kTypeLibKey = L"TypeLib\\{53CED51D-432B-45B2-A3E0-0CE2C24235D4}";
const std::wstring kInterfaceKey = L"Interface\\{305D86C6-6896-4099-91F5-CB7BA7733563}";

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}
std::wstring Bin(const wchar_t* file) {
    return testing::ProgramFolder() + file;
}

std::wstring ReadString(HKEY root, const std::wstring& key, const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) !=
        ERROR_SUCCESS) {
        return L"(none)";
    }
    return value;
}

DWORD HostValue(const wchar_t* name) {
    DWORD value = 0, bytes = sizeof(value);
    RegGetValueW(HKEY_CURRENT_USER, kHostKey, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes);
    return value;
}

// One call as the host saw it: "Register" or "Unregister", its texts byte for byte (a text that
// arrived as a null BSTR reads "(null)") and its flags.
struct ArrivedCall {
    std::wstring op;
    std::vector<std::wstring> texts;
    DWORD flags = 0;
};

std::vector<ArrivedCall> ArrivedCalls() {
    std::vector<ArrivedCall> calls;
    for (int n = 0;; ++n) {
        const std::wstring key = std::wstring(kHostKey) + L"\\Calls\\" + std::to_wstring(n);
        unique_hkey call;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, call.put()) !=
            ERROR_SUCCESS) {
            return calls;
        }
        ArrivedCall arrived;
        arrived.op = ReadString(HKEY_CURRENT_USER, key, L"Op");
        const int count = arrived.op == L"Register" ? 4 : 1;
        for (int i = 0; i < count; ++i) {
            const std::wstring name = std::to_wstring(i);
            DWORD bytes = 0;
            if (RegQueryValueExW(call.get(), name.c_str(), nullptr, nullptr, nullptr, &bytes) !=
                ERROR_SUCCESS) {
                arrived.texts.push_back(L"(null)");
                continue;
            }
            std::wstring text(bytes / sizeof(wchar_t), L'\0');
            RegQueryValueExW(call.get(), name.c_str(), nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&text[0]), &bytes);
            arrived.texts.push_back(text);
        }
        DWORD bytes = sizeof(arrived.flags);
        RegQueryValueExW(call.get(), L"Flags", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&arrived.flags), &bytes);
        calls.push_back(arrived);
    }
}

bool WaitUntil(bool (*done)(), DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        Sleep(10);
    }
    return true;
}

// Registration as Messenger has it: the class and its type library registered (the stand-in's
// own regsvr32 writes both), then the in-process server replaced by a local server, the host
// program with the given options.
void RegisterAsLocalServer(const std::wstring& hostOptions) {
    ASSERT_EQ(
        testing::RunProcess(L"regsvr32.exe /s " + Quoted(Bin(L"messenger-standin.dll")), kWaitMs),
        0);
    ASSERT_EQ(
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\InprocServer32").c_str()),
        ERROR_SUCCESS);
    // Wine reads classes only from the machine's rows; the rows go there for Windows too.
    const std::wstring command = Quoted(Bin(L"standin-host.exe")) + L" " + hostOptions;
    ASSERT_EQ(RegSetKeyValueW(
                  HKEY_LOCAL_MACHINE,
                  (L"Software\\Classes\\" + std::wstring(kClassKey) + L"\\LocalServer32").c_str(),
                  nullptr, REG_SZ, command.c_str(),
                  static_cast<DWORD>(command.size() + 1) * static_cast<DWORD>(sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void RemoveRegistration() {
    for (const std::wstring& key :
         {std::wstring(kClassKey), kTypeLibKey, kInterfaceKey,
          std::wstring(L"Interface\\{52AC8B62-8F88-46CA-902A-1F9106B0A9F4}")}) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    }
}

class OutOfProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ClearStore();
        RemoveRegistration();
        RegDeleteTreeW(HKEY_CURRENT_USER, kHostKey);
    }
    void TearDown() override {
        if (tool_) TerminateProcess(tool_.get(), 99);
        StopHost();
        RemoveRegistration();
        RegDeleteTreeW(HKEY_CURRENT_USER, kHostKey);
        testing::ClearStore();
    }
    // A host still running (its client gone abnormally) is asked to end cleanly: a killed one
    // would leave its class unreachable for the tests after this one.
    static void StopHost() {
        const DWORD pid = HostValue(L"Pid");
        if (!pid) return;
        unique_handle host(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (!host) return;
        PostThreadMessageW(HostValue(L"Thread"), WM_QUIT, 0, 0);
        WaitForSingleObject(host.get(), kWaitMs);
    }

    void StartTool() {
        tool_.reset(testing::StartProcess(Quoted(Bin(L"plovane-actions.exe"))));
        ASSERT_TRUE(tool_);
        form_ = testing::WaitForVisibleWindow(L"PlovaneForm1", ui::kFormTitle, kWaitMs);
        ASSERT_TRUE(form_) << "the tool never showed its window";
    }
    HWND control(ui::ControlId id) const { return testing::FindDescendant(form_, id); }
    void type(ui::ControlId id, const std::wstring& text) {
        testing::SetWindowTextTo(control(id), text);
        ASSERT_EQ(testing::WindowText(control(id)), text);
    }
    void pressQuietly(ui::ControlId id) { SendMessageW(control(id), BM_CLICK, 0, 0); }
    testing::CaughtBox pressForBox(ui::ControlId id) {
        testing::CaughtBox box;
        PostMessageW(control(id), BM_CLICK, 0, 0);
        EXPECT_TRUE(testing::CatchForeignBox(kErrorTitle, box, kWaitMs)) << "no box showed";
        // The next press starts once this box is gone, so that its box is never taken for this.
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (FindWindowW(L"#32770", kErrorTitle) && GetTickCount64() < end)
            Sleep(10);
        return box;
    }
    DWORD CloseAndWait() {
        PostMessageW(form_, WM_CLOSE, 0, 0);
        return WaitForExit();
    }
    DWORD WaitForExit() { return testing::WaitForExit(tool_, kWaitMs); }
    static DWORD ProcessOf(HWND hwnd) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        return pid;
    }

    unique_handle tool_;
    HWND form_ = nullptr;
};

TEST_F(OutOfProcessTest, TheStandInsTypeLibraryIsRegisteredForMarshalingWithTheClass) {
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L""));
    // RegisterTypeLib files the library under the platform its caller runs on.
    const wchar_t* platform = sizeof(void*) == 8 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32";
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + platform, nullptr),
              Bin(L"messenger-standin.dll"));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kInterfaceKey + L"\\ProxyStubClsid32", nullptr),
              L"{00020424-0000-0000-C000-000000000046}")
        << "the interface goes by the type library's marshaler";
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kInterfaceKey + L"\\TypeLib", nullptr),
              L"{53CED51D-432B-45B2-A3E0-0CE2C24235D4}");
    // regsvr32 /u takes the library away with the class (the in-process row comes back first,
    // as the stand-in removes only a registration that names it).
    const std::wstring server = Bin(L"messenger-standin.dll");
    RegSetKeyValueW(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\InprocServer32").c_str(),
                    nullptr, REG_SZ, server.c_str(),
                    static_cast<DWORD>(server.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\LocalServer32").c_str());
    EXPECT_EQ(testing::RunProcess(L"regsvr32.exe /s /u " + Quoted(server), kWaitMs), 0);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + platform, nullptr), L"(none)");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kInterfaceKey + L"\\ProxyStubClsid32", nullptr),
              L"(none)");
}

TEST_F(OutOfProcessTest, RegisterAndUnregisterReachTheStandInInAnotherProcess) {
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L""));
    ASSERT_NO_FATAL_FAILURE(StartTool());
    const DWORD host = HostValue(L"Pid");
    ASSERT_NE(host, 0u) << "COM started the host for the tool";
    EXPECT_NE(host, ProcessOf(form_)) << "the session manager lives in another process";

    type(ui::Text4, L"notes");
    type(ui::Text2, L"Open Notes");
    type(ui::Text3, L"http://notes.invalid/");
    type(ui::Text1, L"C:\\Tools\\notes.exe");
    pressQuietly(ui::Command2);
    const auto entry = testing::ReadEntry(L"notes");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(*entry, (testing::StoredEntry{L"Open Notes", L"http://notes.invalid/",
                                            L"C:\\Tools\\notes.exe", 0, true}));

    type(ui::Text2, L"");
    const testing::CaughtBox refused = pressForBox(ui::Command2);
    EXPECT_EQ(refused.prompt, kRegisterPrompt) << "the stand-in's refusal, across processes";
    EXPECT_EQ(refused.owner, form_);
    EXPECT_EQ(testing::ReadEntry(L"notes")->menuName, L"Open Notes");

    type(ui::Text5, L"notes");
    pressQuietly(ui::Command3);
    EXPECT_FALSE(testing::ReadEntry(L"notes").has_value());
    EXPECT_EQ(pressForBox(ui::Command3).prompt, kUnregisterPrompt);

    EXPECT_EQ(CloseAndWait(), 0u);
    unique_handle hostProcess(OpenProcess(SYNCHRONIZE, FALSE, host));
    EXPECT_TRUE(!hostProcess || WaitForSingleObject(hostProcess.get(), kWaitMs) == WAIT_OBJECT_0)
        << "the tool released the session manager, and the host ended with its last object";
}

TEST_F(OutOfProcessTest, EveryTextArrivesExactly) {
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L"--record"));
    ASSERT_NO_FATAL_FAILURE(StartTool());
    const std::wstring longText = [] {
        std::wstring text;
        // Past the 32K marks where a 16-bit length or an edit control's old default limit
        // would cut it.
        for (int i = 0; text.size() < 40000; ++i)
            text += std::to_wstring(i) + L" ";
        return text;
    }();
    // Faces and a character from the Supplementary Ideographic Plane: surrogate pairs.
    const std::wstring astral = L"\U0001F600 key \U00020000\U0001F4A9";
    const std::vector<std::wstring> cases[] = {
        {L"", L"", L"", L""},
        {longText, astral, L"", longText},
        {astral, L"menu", L"http://x.invalid/" + astral, L"C:\\" + astral + L".exe"},
    };
    for (const auto& texts : cases) {
        type(ui::Text4, texts[0]);
        type(ui::Text2, texts[1]);
        type(ui::Text3, texts[2]);
        type(ui::Text1, texts[3]);
        pressQuietly(ui::Command2);
    }
    for (const std::wstring& key : {std::wstring(), astral, longText}) {
        type(ui::Text5, key);
        pressQuietly(ui::Command3);
    }
    const std::vector<ArrivedCall> calls = ArrivedCalls();
    ASSERT_EQ(calls.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].op, L"Register");
        EXPECT_TRUE(calls[i].texts == cases[i]) << "register call " << i << " arrived changed";
        EXPECT_EQ(calls[i].flags, 0u);
    }
    const std::wstring keys[] = {L"", astral, longText};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[3 + i].op, L"Unregister");
        ASSERT_EQ(calls[3 + i].texts.size(), 1u);
        EXPECT_TRUE(calls[3 + i].texts[0] == keys[i]) << "unregister call " << i;
    }
    EXPECT_EQ(CloseAndWait(), 0u);
}

bool HostBusy() {
    return HostValue(L"Busy") == 1;
}
bool HostIdle() {
    return HostValue(L"Busy") == 0;
}

// Any error box of the tool's on the screen now.
bool ErrorBoxShows() {
    HWND box = FindWindowW(L"#32770", kErrorTitle);
    return box && IsWindowVisible(box);
}

// Watches, from a thread of its own that looks without pause, for any error box of the tool's
// to exist, however briefly: a box whose modal loop ends at once (a quit message waiting) still
// flashes up on the user's screen.
class ErrorBoxWatch {
public:
    ErrorBoxWatch() : thread_([this] { Watch(); }) {}
    ~ErrorBoxWatch() { stop(); }
    ErrorBoxWatch(const ErrorBoxWatch&) = delete;
    ErrorBoxWatch& operator=(const ErrorBoxWatch&) = delete;
    int stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return seen_;
    }

private:
    void Watch() {
        HWND last = nullptr;
        while (!stop_) {
            HWND box = FindWindowW(L"#32770", kErrorTitle);
            if (box && box != last) ++seen_;
            last = box ? box : last;
            Sleep(0);
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<int> seen_{0};
    std::thread thread_;
};

TEST_F(OutOfProcessTest, AServerThatRefusesGetsTheFixedBoxes) {
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L"--record --answer 80070005"));
    ASSERT_NO_FATAL_FAILURE(StartTool());
    ErrorBoxWatch watch;
    type(ui::Text4, L"notes");
    const testing::CaughtBox refused = pressForBox(ui::Command2);
    EXPECT_EQ(refused.title, kErrorTitle);
    EXPECT_EQ(refused.prompt, kRegisterPrompt);
    const testing::CaughtBox unknown = pressForBox(ui::Command3);
    EXPECT_EQ(unknown.prompt, kUnregisterPrompt);
    EXPECT_EQ(ArrivedCalls().size(), 2u) << "each press reached the server once";
    EXPECT_EQ(watch.stop(), 2) << "the watch sees each box";
    EXPECT_EQ(CloseAndWait(), 0u);
}

TEST_F(OutOfProcessTest, ClosingTheWindowDuringASlowCallEndsCleanlyWithNoBox) {
    // The call fails once the window is gone: a box would be due, but there is no window left
    // to show it over.
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L"--record --slow 1500 --answer 80004005"));
    ASSERT_NO_FATAL_FAILURE(StartTool());
    type(ui::Text4, L"slow");
    ErrorBoxWatch watch;
    PostMessageW(control(ui::Command2), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntil(&HostBusy, kWaitMs)) << "the call never reached the host";
    // Sent, not posted: a window in an outgoing call still takes sent messages.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(form_, WM_CLOSE, 0, 0, SMTO_NORMAL, 200, &ignored);
    WaitForSingleObject(tool_.get(), kWaitMs);
    EXPECT_EQ(watch.stop(), 0) << "a box showed after its window was gone";
    if (ErrorBoxShows()) {
        testing::CaughtBox box;
        testing::CatchForeignBox(kErrorTitle, box, 1000);
    }
    EXPECT_EQ(WaitForExit(), 0u);
    EXPECT_EQ(ArrivedCalls().size(), 1u);
}

TEST_F(OutOfProcessTest, ClicksDuringASlowCallRunNothingTwice) {
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L"--record --slow 1500"));
    ASSERT_NO_FATAL_FAILURE(StartTool());
    type(ui::Text4, L"once");
    type(ui::Text5, L"once");
    PostMessageW(control(ui::Command2), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntil(&HostBusy, kWaitMs));
    // Clicks sent during the call reach the window at once (Wine dispatches sent messages in an
    // outgoing call; Windows may); none of them may start a second call inside the first.
    for (int i = 0; i < 3; ++i) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(control(ui::Command2), BM_CLICK, 0, 0, SMTO_NORMAL, 200, &ignored);
        SendMessageTimeoutW(control(ui::Command3), BM_CLICK, 0, 0, SMTO_NORMAL, 200, &ignored);
    }
    ASSERT_TRUE(WaitUntil(&HostIdle, kWaitMs));
    // A message sent to the window returns only once the press has ended.
    SendMessageW(form_, WM_NULL, 0, 0);
    const std::vector<ArrivedCall> calls = ArrivedCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].op, L"Register");
    EXPECT_EQ(calls.size(), 1u) << "a click during the call ran another call";
    EXPECT_FALSE(ErrorBoxShows());
    EXPECT_EQ(CloseAndWait(), 0u);
}

// Needs a wineserver of its own: after the kill, Wine keeps the dead server's class unreachable.
TEST_F(OutOfProcessTest, ServerKilledWhileTheToolIsUp) {
    ASSERT_NO_FATAL_FAILURE(RegisterAsLocalServer(L""));
    ASSERT_NO_FATAL_FAILURE(StartTool());
    type(ui::Text4, L"before");
    pressQuietly(ui::Command2);
    ASSERT_TRUE(testing::ReadEntry(L"before").has_value()) << "the server worked before the kill";

    unique_handle host(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, HostValue(L"Pid")));
    ASSERT_TRUE(host);
    ASSERT_TRUE(TerminateProcess(host.get(), 9));
    ASSERT_EQ(WaitForSingleObject(host.get(), kWaitMs), WAIT_OBJECT_0);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kHostKey, L"Pid");

    type(ui::Text4, L"after");
    EXPECT_EQ(pressForBox(ui::Command2).prompt, kRegisterPrompt);
    type(ui::Text5, L"before");
    EXPECT_EQ(pressForBox(ui::Command3).prompt, kUnregisterPrompt);
    EXPECT_FALSE(testing::ReadEntry(L"after").has_value());
    // The window still answers: its fields take text and its pages turn.
    type(ui::Text1, L"still usable");
    EXPECT_TRUE(IsWindowEnabled(form_));
    EXPECT_EQ(pressForBox(ui::Command2).prompt, kRegisterPrompt) << "a second press, a second box";
    EXPECT_EQ(CloseAndWait(), 0u);
}

}  // namespace
}  // namespace plovane
