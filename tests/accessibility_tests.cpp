// The tool as a screen reader meets it: the real program in its own process, read from this one
// through MSAA (AccessibleObjectFromWindow, out-of-context focus events), as readers do.
#include <windows.h>

#include <commctrl.h>
#include <oleacc.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/com_apartment.h"
#include "common/com_ptr.h"
#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "tests/support/box_catcher.h"
#include "tests/support/form_fixture.h"
#include "tests/support/window_helpers.h"
#include "ui/design.h"

namespace plovane {
namespace {

constexpr DWORD kWaitMs = 20000;

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

long Regsvr32(const std::wstring& options) {
    const std::wstring server = testing::ProgramFolder() + L"messenger-standin.dll";
    return testing::RunProcess(L"regsvr32.exe /s " + options + Quoted(server), kWaitMs);
}

// What a reader hears of one object: name, role, description, value and state.
struct Heard {
    HRESULT nameStatus = E_FAIL;
    std::wstring name, description, value;
    long role = 0, state = 0;
};

std::wstring Text(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

VARIANT Child(long id) {
    VARIANT child;
    child.vt = VT_I4;
    child.lVal = id;
    return child;
}

Heard Hear(IAccessible* object, long childId = CHILDID_SELF) {
    Heard heard;
    const VARIANT child = Child(childId);
    unique_bstr name, description, value;
    heard.nameStatus = object->get_accName(child, name.put());
    heard.name = Text(name.get());
    object->get_accDescription(child, description.put());
    heard.description = Text(description.get());
    object->get_accValue(child, value.put());
    heard.value = Text(value.get());
    VARIANT role, state;
    VariantInit(&role);
    VariantInit(&state);
    if (SUCCEEDED(object->get_accRole(child, &role)) && role.vt == VT_I4) heard.role = role.lVal;
    if (SUCCEEDED(object->get_accState(child, &state)) && state.vt == VT_I4) {
        heard.state = state.lVal;
    }
    return heard;
}

com_ptr<IAccessible> ObjectOf(HWND hwnd) {
    com_ptr<IAccessible> object;
    AccessibleObjectFromWindow(hwnd, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                               object.put_void());
    return object;
}

// The loaded modules of another process, by file path, lower-cased.
std::vector<std::wstring> ModulesOf(DWORD pid) {
    std::vector<std::wstring> modules;
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return modules;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot.get(), &entry); more;
         more = Module32NextW(snapshot.get(), &entry)) {
        std::wstring path = entry.szExePath;
        CharLowerW(&path[0]);
        modules.push_back(path);
    }
    return modules;
}

// Where the process loaded a DLL of that name (lower case) from.
std::vector<std::wstring> LoadedIn(DWORD pid, const std::wstring& dll = L"oleacc.dll") {
    std::vector<std::wstring> found;
    for (const auto& path : ModulesOf(pid)) {
        if (path.size() > dll.size() &&
            path.compare(path.size() - dll.size(), dll.size(), dll) == 0 &&
            path[path.size() - dll.size() - 1] == L'\\') {
            found.push_back(path);
        }
    }
    return found;
}

std::wstring SystemFolderLower() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    CharLowerW(folder);
    return folder;
}

// Focus events of one process, taken out of context as a reader takes them.
struct FocusEvent {
    HWND hwnd;
    LONG object, child;
};
std::vector<FocusEvent>* t_events = nullptr;

void CALLBACK OnFocus(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
    if (t_events) t_events->push_back({hwnd, object, child});
}

// The visible window of the given process, once it shows: never one left by an earlier test.
HWND WindowOf(DWORD pid) {
    const ULONGLONG end = GetTickCount64() + kWaitMs;
    do {
        HWND hwnd = nullptr;
        while ((hwnd = FindWindowExW(nullptr, hwnd, L"PlovaneForm1", ui::kFormTitle)) != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner == pid && IsWindowVisible(hwnd)) return hwnd;
        }
        Sleep(20);
    } while (GetTickCount64() < end);
    return nullptr;
}

// Wine 8's 64-bit oleacc makes no standard object for any window (E_NOINTERFACE), so there the
// tool can only answer as the platform does; the 32-bit build, which users run, is read in full.
bool PlatformMakesStandardObjects() {
    HWND plain = CreateWindowW(L"STATIC", L"plain", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
    com_ptr<IAccessible> standard;
    const HRESULT hr = CreateStdAccessibleObject(plain, static_cast<LONG>(OBJID_CLIENT),
                                                 IID_IAccessible, standard.put_void());
    DestroyWindow(plain);
    return SUCCEEDED(hr) && standard;
}

constexpr char kNoStandardObjects[] = "this platform's oleacc makes no standard accessible object";

class AccessibilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(apartment_.status());
        if (!PlatformMakesStandardObjects()) GTEST_SKIP() << kNoStandardObjects;
        ASSERT_EQ(Regsvr32(L""), 0);
    }
    void TearDown() override {
        if (hook_) UnhookWinEvent(hook_);
        t_events = nullptr;
        if (process_) TerminateProcess(process_.get(), 99);
        Regsvr32(L"/u ");
    }
    void Start(const std::wstring& program = testing::ProgramFolder() + L"plovane-actions.exe",
               const std::wstring& arguments = L"") {
        process_.reset(testing::StartProcess(Quoted(program) + L" " + arguments));
        ASSERT_TRUE(process_);
        form_ = WindowOf(pid());
        ASSERT_TRUE(form_);
    }
    DWORD pid() const { return GetProcessId(process_.get()); }
    HWND control(int id) const { return testing::FindDescendant(form_, id); }
    DWORD WaitForExit() { return testing::WaitForExit(process_, kWaitMs); }

    void WatchFocus() {
        t_events = &events_;
        hook_ = SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, &OnFocus, pid(), 0,
                                WINEVENT_OUTOFCONTEXT);
        ASSERT_TRUE(hook_);
    }
    // Pumps this thread, where out-of-context events arrive, until the focus is on the control
    // and, if asked, its event has come.
    void WaitForFocusOn(HWND target, bool withEvent = true) {
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (GetTickCount64() < end) {
            testing::PumpMessages();
            const bool evented = !events_.empty() && events_.back().hwnd == target;
            if (FocusOf() == target && (evented || !withEvent)) return;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }
    HWND FocusOf() const {
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        GetGUIThreadInfo(GetWindowThreadProcessId(form_, nullptr), &info);
        return info.hwndFocus;
    }
    // Real key presses, to the tool in front.
    void Key(WORD vk, bool ctrl = false) {
        std::vector<INPUT> inputs;
        auto add = [&inputs](WORD key, bool up) {
            INPUT input = {};
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = key;
            input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
            inputs.push_back(input);
        };
        if (ctrl) add(VK_CONTROL, false);
        add(vk, false);
        add(vk, true);
        if (ctrl) add(VK_CONTROL, true);
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    }
    // Presses Tab and gives the name the reader hears from the focus event's object.
    std::wstring TabAndHear() {
        const HWND before = FocusOf();
        const size_t seen = events_.size();
        Key(VK_TAB);
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (GetTickCount64() < end && (FocusOf() == before || events_.size() == seen ||
                                          events_.back().hwnd != FocusOf())) {
            testing::PumpMessages();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
        return events_.size() > seen ? NameOfLastEvent() : L"(no focus event)";
    }
    std::wstring NameOfLastEvent() {
        if (events_.empty()) return L"(no focus event)";
        const FocusEvent& e = events_.back();
        com_ptr<IAccessible> object;
        VARIANT child;
        VariantInit(&child);
        if (FAILED(AccessibleObjectFromEvent(e.hwnd, static_cast<DWORD>(e.object),
                                             static_cast<DWORD>(e.child), object.put(), &child))) {
            return L"(no object)";
        }
        unique_bstr name;
        object->get_accName(child, name.put());
        return Text(name.get());
    }
    // The tool's Open box, once it shows; null when it never does.
    HWND WaitForOpenBox() const {
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (GetTickCount64() < end) {
            const HWND found = FindWindowW(L"#32770", nullptr);
            if (found && GetWindow(found, GW_OWNER) == form_ && IsWindowVisible(found))
                return found;
            Sleep(20);
        }
        return nullptr;
    }
    void Front() {
        SetForegroundWindow(form_);
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (GetForegroundWindow() != form_ && GetTickCount64() < end)
            Sleep(20);
    }

    com_apartment apartment_;
    unique_handle process_;
    HWND form_ = nullptr;
    HWINEVENTHOOK hook_ = nullptr;
    std::vector<FocusEvent> events_;
};

TEST_F(AccessibilityTest, EveryControlIsNamedAndHasItsRoleAfterEveryBoxIsTypedOver) {
    Start();
    for (int id : {ui::Text1, ui::Text2, ui::Text3, ui::Text4, ui::Text5}) {
        testing::SetWindowTextTo(control(id), L"typed " + std::to_wstring(id));
    }
    struct Row {
        int id;
        const wchar_t* name;
        long role;
        const wchar_t* description;
    };
    const Row table[] = {
        {ui::Text4, L"Key name", ROLE_SYSTEM_TEXT, L"Recommended: use your menu name"},
        {ui::Text2, L"Name to appear in the menu", ROLE_SYSTEM_TEXT, nullptr},
        {ui::Text3, L"URL", ROLE_SYSTEM_TEXT, nullptr},
        {ui::Text1, L"Path to program", ROLE_SYSTEM_TEXT, nullptr},
        {ui::Command1, L"Browse for the program", ROLE_SYSTEM_PUSHBUTTON, nullptr},
        {ui::Command2, L"Register", ROLE_SYSTEM_PUSHBUTTON, nullptr},
        {ui::Command3, L"Unregister", ROLE_SYSTEM_PUSHBUTTON, nullptr},
        {ui::Text5, L"Key name", ROLE_SYSTEM_TEXT, nullptr},
        {ui::SSTab1Strip, L"Pages", ROLE_SYSTEM_PAGETABLIST, nullptr},
        {ui::Label1, L"Add programs...", ROLE_SYSTEM_STATICTEXT, nullptr},
        {ui::Label2, L"Version 1.00 for MSN Messenger", ROLE_SYSTEM_STATICTEXT, nullptr},
        {ui::Label3, L"Part of the plovane range", ROLE_SYSTEM_STATICTEXT, nullptr},
        {ui::Picture1, L"Plovane logo", ROLE_SYSTEM_GRAPHIC, nullptr},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(ui::FindControl(static_cast<ui::ControlId>(row.id))
                         ? ui::FindControl(static_cast<ui::ControlId>(row.id))->name
                         : L"SSTab1");
        com_ptr<IAccessible> object = ObjectOf(control(row.id));
        ASSERT_TRUE(object);
        const Heard heard = Hear(object.get());
        EXPECT_EQ(heard.nameStatus, S_OK);
        EXPECT_EQ(heard.name, row.name);
        EXPECT_EQ(heard.role, row.role);
        if (row.description) {
            EXPECT_EQ(heard.description, row.description);
        }
        if (row.role == ROLE_SYSTEM_TEXT) {
            EXPECT_EQ(heard.value, L"typed " + std::to_wstring(row.id)) << "the value is the text";
        }
    }
    EXPECT_EQ(testing::WindowText(control(ui::Command1)), L"...") << "the caption drawn stays";
}

TEST_F(AccessibilityTest, TheTabStripHasThreeNamedPageTabsAndTheSelectedOneFollowsCtrlTab) {
    Start();
    com_ptr<IAccessible> strip = ObjectOf(control(ui::SSTab1Strip));
    ASSERT_TRUE(strip);
    long count = 0;
    ASSERT_HRESULT_SUCCEEDED(strip->get_accChildCount(&count));
    ASSERT_EQ(count, 3);
    VARIANT children[3];
    long got = 0;
    ASSERT_HRESULT_SUCCEEDED(AccessibleChildren(strip.get(), 0, 3, children, &got));
    ASSERT_EQ(got, 3);
    for (long i = 0; i < got; ++i) {
        ASSERT_EQ(children[i].vt, VT_I4) << "page tabs are simple elements of the strip";
        EXPECT_EQ(children[i].lVal, i + 1);
    }
    const wchar_t* names[] = {L"Register Program", L"Unregister Program", L"About"};
    Front();
    for (int front = 0; front < 4; ++front) {
        SCOPED_TRACE(front);
        for (long tab = 1; tab <= 3; ++tab) {
            const Heard heard = Hear(strip.get(), tab);
            EXPECT_EQ(heard.name, names[tab - 1]);
            EXPECT_EQ(heard.role, ROLE_SYSTEM_PAGETAB);
            EXPECT_EQ((heard.state & STATE_SYSTEM_SELECTED) != 0, tab - 1 == front % 3)
                << "tab " << tab;
        }
        const HWND shownBefore = control(ui::Text5);
        const bool unregisterShown = IsWindowVisible(shownBefore) != 0;
        EXPECT_EQ(unregisterShown, front % 3 == 1) << "the selected tab is the page in front";
        Key(VK_TAB, true);
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (SendMessageW(control(ui::SSTab1Strip), TCM_GETCURSEL, 0, 0) != (front + 1) % 3 &&
               GetTickCount64() < end)
            Sleep(20);
    }
}

TEST_F(AccessibilityTest, EachTabOnEachPageRaisesAFocusEventWhoseObjectNamesTheControl) {
    Start();
    WatchFocus();
    Front();
    WaitForFocusOn(control(ui::SSTab1Strip), false);
    using Names = std::vector<std::wstring>;
    const Names pages[] = {
        {L"Key name", L"Register", L"URL", L"Name to appear in the menu", L"Browse for the program",
         L"Path to program", L"Pages"},
        {L"Key name", L"Unregister", L"Pages"},
        {L"Plovane logo", L"Pages"},
    };
    for (int page = 0; page < 3; ++page) {
        SCOPED_TRACE(page);
        Names heard;
        for (size_t i = 0; i < pages[page].size(); ++i)
            heard.push_back(TabAndHear());
        EXPECT_EQ(heard, pages[page]);
        Key(VK_TAB, true);
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while (SendMessageW(control(ui::SSTab1Strip), TCM_GETCURSEL, 0, 0) != (page + 1) % 3 &&
               GetTickCount64() < end)
            Sleep(20);
    }
}

TEST_F(AccessibilityTest, FocusEventsStillNameTheControlAfterTheErrorBoxAndTheOpenBox) {
    Start();
    testing::SetWindowTextTo(control(ui::Text2), L"");
    WatchFocus();
    Front();
    WaitForFocusOn(control(ui::SSTab1Strip), false);
    EXPECT_EQ(TabAndHear(), L"Key name");
    EXPECT_EQ(TabAndHear(), L"Register");
    Key(VK_SPACE);
    testing::CaughtBox refused;
    ASSERT_TRUE(testing::CatchForeignBox(L"Plovane - Error", refused, kWaitMs));
    WaitForFocusOn(control(ui::Command2));
    EXPECT_EQ(NameOfLastEvent(), L"Register") << "the focus came back to the button pressed";
    EXPECT_EQ(TabAndHear(), L"URL");
    EXPECT_EQ(TabAndHear(), L"Name to appear in the menu");
    EXPECT_EQ(TabAndHear(), L"Browse for the program");
    Key(VK_SPACE);
    const HWND box = WaitForOpenBox();
    ASSERT_TRUE(box) << "the Open box never showed";
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    WaitForFocusOn(control(ui::Command1));
    EXPECT_EQ(NameOfLastEvent(), L"Browse for the program");
    EXPECT_EQ(TabAndHear(), L"Path to program");
}

TEST_F(AccessibilityTest, AnObjectHeldWhileTheWindowClosesFailsCleanlyAndTheProgramEndsWell) {
    Start();
    com_ptr<IAccessible> key = ObjectOf(control(ui::Text4));
    com_ptr<IAccessible> strip = ObjectOf(control(ui::SSTab1Strip));
    ASSERT_TRUE(key && strip);
    EXPECT_EQ(Hear(key.get()).name, L"Key name");
    PostMessageW(form_, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(), 0u) << "the program must end cleanly while a reader holds objects";
    unique_bstr name;
    EXPECT_TRUE(FAILED(key->get_accName(Child(CHILDID_SELF), name.put())));
    long count = 0;
    EXPECT_TRUE(FAILED(strip->get_accChildCount(&count)));
}

TEST_F(AccessibilityTest, StartUpLeavesOleaccUnloadedAndTheFirstReaderLoadsItFromTheSystem) {
    Start();
    ASSERT_FALSE(ModulesOf(pid()).empty()) << "the tool's modules can be read";
    EXPECT_EQ(LoadedIn(pid()), std::vector<std::wstring>()) << "no reader has asked yet";
    com_ptr<IAccessible> object = ObjectOf(control(ui::Text4));
    ASSERT_TRUE(object);
    EXPECT_EQ(Hear(object.get()).name, L"Key name");
    EXPECT_EQ(LoadedIn(pid()), std::vector<std::wstring>{SystemFolderLower() + L"\\oleacc.dll"});
}

// A portable copy of the tool in a folder of its own, with DLLs named as the two it loads itself
// (oleacc.dll, comdlg32.dll) beside it: the tool as built, and as on a Windows whose loader
// refuses the system-folder search flag (XP, Vista, a Windows 7 without its 2011 update), where
// the tool names the system folder itself.
constexpr const wchar_t* kPlantedNames[] = {L"oleacc.dll", L"comdlg32.dll"};

class PlantedLibraryTest : public AccessibilityTest,
                           public ::testing::WithParamInterface<const wchar_t*> {
protected:
    void SetUp() override {
        AccessibilityTest::SetUp();
        if (IsSkipped()) return;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"plovane-planted-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
        const std::wstring from = testing::ProgramFolder();
        ASSERT_TRUE(CopyFileW((from + GetParam()).c_str(), Program().c_str(), FALSE));
        for (const wchar_t* name : kPlantedNames) {
            ASSERT_TRUE(
                CopyFileW((from + L"planted-library.dll").c_str(), Planted(name).c_str(), FALSE));
        }
    }
    void TearDown() override {
        AccessibilityTest::TearDown();
        process_.reset();
        DeleteFileW(Program().c_str());
        for (const wchar_t* name : kPlantedNames)
            DeleteFileW(Planted(name).c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    std::wstring Program() const { return folder_ + L"\\plovane-actions.exe"; }
    std::wstring Planted(const wchar_t* name) const { return folder_ + L"\\" + name; }
    std::wstring folder_;
};

TEST_P(PlantedLibraryTest, DllsBesideTheProgramAreNeverLoadedNamesReachAReaderAndTheOpenBoxShows) {
    // Wine prefers its own DLLs; this asks it to take a DLL found on the search path first, as
    // Windows does.
    wchar_t saved[512] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved, 512);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"mscoree,mshtml=;oleacc,comdlg32=n,b");
    Start(Program());
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved);
    EXPECT_EQ(LoadedIn(pid()), std::vector<std::wstring>()) << "no reader has asked yet";
    const std::pair<int, const wchar_t*> named[] = {
        {ui::Text4, L"Key name"}, {ui::Command2, L"Register"}, {ui::SSTab1Strip, L"Pages"}};
    for (const auto& [id, name] : named) {
        com_ptr<IAccessible> object = ObjectOf(control(id));
        ASSERT_TRUE(object);
        EXPECT_EQ(Hear(object.get()).name, name);
    }
    PostMessageW(control(ui::Command1), BM_CLICK, 0, 0);
    const HWND box = WaitForOpenBox();
    EXPECT_TRUE(box) << "the Open box never showed";
    for (const wchar_t* name : kPlantedNames) {
        EXPECT_EQ(LoadedIn(pid(), name),
                  std::vector<std::wstring>{SystemFolderLower() + L"\\" + name});
    }
    if (box) PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
}

INSTANTIATE_TEST_SUITE_P(Loaders, PlantedLibraryTest,
                         ::testing::Values(L"plovane-actions.exe",
                                           L"plovane-actions-old-loader.exe"));

// In the window's own process a holder gets the object itself, not a proxy: the window's end
// must leave the holder's reference alone, and every call after it must fail.
class InProcessReaderTest : public testing::FormTest {
protected:
    void SetUp() override {
        if (!PlatformMakesStandardObjects()) GTEST_SKIP() << kNoStandardObjects;
        testing::FormTest::SetUp();
    }
};

TEST_F(InProcessReaderTest, AHolderKeepsTheObjectPastTheWindowAndItsCallsThenFail) {
    com_ptr<IAccessible> object = ObjectOf(control(ui::Text4));
    ASSERT_TRUE(object);
    EXPECT_EQ(Hear(object.get()).name, L"Key name");
    com_ptr<IAccessible> again = ObjectOf(control(ui::Text4));
    EXPECT_EQ(again.get(), object.get()) << "one object per control, asked twice";
    again.reset();
    DestroyWindow(form_.hwnd());
    testing::PumpMessages();
    unique_bstr name;
    EXPECT_EQ(object->get_accName(Child(CHILDID_SELF), name.put()), CO_E_OBJNOTCONNECTED);
    long count = 0;
    EXPECT_EQ(object->get_accChildCount(&count), CO_E_OBJNOTCONNECTED);
    EXPECT_EQ(object->AddRef(), 2u) << "the holder's reference is still the only one";
    EXPECT_EQ(object->Release(), 1u);
}

// The Unix memory of the tool's Wine process, found by the unique command line it was given.
long RssAnonKb(const std::wstring& marker) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    long kb = -1;
    const std::string wanted(marker.begin(), marker.end());
    do {
        const std::wstring name = found.cFileName;
        if (name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        const std::string proc = "Z:/proc/" + std::string(name.begin(), name.end());
        std::ifstream cmdline(proc + "/cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(cmdline)),
                               std::istreambuf_iterator<char>());
        if (line.find(wanted) == std::string::npos) continue;
        std::ifstream status(proc + "/status");
        std::string key;
        while (status >> key) {
            if (key == "RssAnon:") status >> kb;
        }
    } while (kb < 0 && FindNextFileW(search, &found));
    FindClose(search);
    return kb;
}

// The handles a process holds, from the system's table (Wine answers GetProcessHandleCount with
// 0).
long HandlesOf(DWORD pid) {
    struct Entry {
        ULONG pid;
        BYTE type, flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr int kSystemHandleInformation = 16;
    std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) != 0 &&
           buffer.size() < (1u << 26)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    long count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].pid == pid) ++count;
    }
    return count;
}

// A reader holds the object of the control in focus while it asks for others. Holding one
// object of each control also keeps Wine's own cost out of the measure: Wine 8 keeps about a
// kilobyte in the serving process whenever a client makes a first call through a brand-new
// connection, with or without our object (the standard object served bare does the same).
TEST_F(AccessibilityTest, AThousandRoundsOfGetReadReleaseLeaveNoMemoryOrHandlesBehind) {
    const std::wstring marker = L"reader-rounds-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64());
    Start(testing::ProgramFolder() + L"plovane-actions.exe", marker);
    const HWND controls[] = {control(ui::Text4), control(ui::SSTab1Strip), control(ui::Command1)};
    std::vector<com_ptr<IAccessible>> held;
    for (HWND hwnd : controls)
        held.push_back(ObjectOf(hwnd));
    auto rounds = [&controls](int count) {
        int named = 0;
        for (int i = 0; i < count; ++i) {
            for (HWND hwnd : controls) {
                com_ptr<IAccessible> object = ObjectOf(hwnd);
                unique_bstr name;
                if (object && object->get_accName(Child(CHILDID_SELF), name.put()) == S_OK &&
                    SysStringLen(name.get()) > 0) {
                    ++named;
                }
            }
        }
        return named;
    };
    ASSERT_EQ(rounds(100), 300);
    const long handlesBefore = HandlesOf(pid());
    ASSERT_GT(handlesBefore, 0) << "the tool's handles could not be counted";
    // Wine's heap sometimes takes one more megabyte once, at any point of a run; a leak grows
    // the memory again and again. So the memory is read every hundred rounds, and all the growth
    // but the largest single step must be none.
    long last = RssAnonKb(marker);
    ASSERT_GT(last, 0) << "the tool's Wine process was not found";
    long grown = 0, largestStep = 0;
    std::string steps;
    for (int hundred = 0; hundred < 10; ++hundred) {
        ASSERT_EQ(rounds(100), 300);
        const long now = RssAnonKb(marker);
        grown += now - last;
        largestStep = std::max(largestStep, now - last);
        steps += " " + std::to_string(now - last);
        last = now;
    }
    EXPECT_LE(grown - largestStep, 32) << "kB kept, every hundred rounds:" << steps;
    EXPECT_LE(HandlesOf(pid()), handlesBefore + 1) << "handles kept by a thousand rounds";
    held.clear();
    PostMessageW(form_, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(), 0u);
}

}  // namespace
}  // namespace plovane
