// Hostile and odd input through the real window, every kind of failure from the session
// manager, and a long random run of the stand-in's store against a model of it.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/unique_bstr.h"
#include "standin/session_standin.h"
#include "standin/store.h"
#include "tests/support/box_catcher.h"
#include "tests/support/form_fixture.h"
#include "tests/support/malloc_spy.h"
#include "tests/support/store_access.h"

namespace plovane {
namespace {

using testing::FormTest;

std::vector<std::wstring> OddValues() {
    std::vector<std::wstring> values = {
        L"",
        L"x",
        L" ",
        L"   leading",
        L"trailing   ",
        L"\t",
        L"tab\tinside",
        L"\x01\x02\x1B control",
        L"\x7F",
        std::wstring(L"nul\0after", 9),
        L"\U0001F600 outside the BMP",
        L"\U0001D11E\U0001D11E",
        L"\xD800 lone high surrogate",
        L"\xDC00 lone low",
        L"\x05E9\x05DC\x05D5\x05DD right to left",
        L"\x0645\x0631\x062D\x0628\x0627",
        L"\x202E reversed \x202C",
        L"e\x0301\x0301\x0301 combining",
        L"\x0958\x093F",
        L"\xFEFF byte order mark",
        L"\xFFFD\xFFFF",
        L"C:\\Program Files\\App\\app.exe",
        L"C:/forward/slashes/app.exe",
        L"\\\\server\\share\\app.exe",
        L"..\\..\\escape",
        L"back\\slash\\",
        L"\"quoted\"",
        L"'single'",
        L"`backtick`",
        L"%APPDATA%\\app.exe",
        L"%%",
        L"%s%n%x",
        L"{0}",
        L"$(HOME)",
        L"<b>markup</b>",
        L"&amp;&",
        L"a&b",
        L"path with spaces\\and more spaces.exe",
        L"http://example.invalid/?q=1&r=2#frag",
        L"mailto:someone@example.invalid",
        L"javascript:alert(1)",
        L"CON",
        L"NUL",
        L"COM1",
        L"Keyname (recommended to use your menu name)",
        L"Name to appear in the menu",
        L"URL",
        L"Path to program",
        L"Keyname",
        L"\x00e9\x00e8\x00ea accents",
        L"\x4E2D\x6587",
        L"\x0416\x0443\x043A",
        L"line\r\nbreak",
        L"lone\rreturn",
        L"lone\nfeed",
        std::wstring(255, L'k'),
        std::wstring(256, L'k'),
        std::wstring(32 * 1024, L'w'),
    };
    std::wstring big(1024 * 1024, L'm');
    big.replace(12345, 2, L"\xD83D\xDE00");  // a character outside the BMP, in the middle
    values.push_back(big);
    return values;
}

class OddInputTest : public FormTest {};

TEST_F(OddInputTest, EveryValueArrivesExactlyAsTheBoxHoldsItInEveryField) {
    const auto values = OddValues();
    ASSERT_GE(values.size(), 50u);
    const ui::ControlId fields[] = {ui::Text4, ui::Text2, ui::Text3, ui::Text1};
    for (size_t v = 0; v < values.size(); ++v) {
        for (int f = 0; f < 4; ++f) {
            type(fields[f], values[(v + f) % values.size()]);
        }
        std::vector<std::wstring> held;
        for (auto field : fields)
            held.push_back(text(field));
        // A box keeps what it was given, up to the first NUL of a C string and, in a one-line
        // box, up to a line break; whatever it holds is what must arrive.
        const std::wstring& sent = values[v];
        if (sent.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos) {
            EXPECT_EQ(held[0], sent) << "value " << v;
        }
        fake_.calls.clear();
        press(ui::Command2);
        ASSERT_EQ(fake_.calls.size(), 1u) << "value " << v;
        EXPECT_EQ(fake_.calls[0].texts, held) << "value " << v;
        type(ui::Text5, sent);
        const std::wstring remove = text(ui::Text5);
        press(ui::Command3);
        ASSERT_EQ(fake_.calls.size(), 2u);
        EXPECT_EQ(fake_.calls[1].texts, std::vector<std::wstring>{remove}) << "value " << v;
    }
    EXPECT_EQ(fake_.references(), 1);
}

TEST_F(OddInputTest, EveryKindOfRefusedRemovalGivesTheOnePromptAndTheWindowGoesOn) {
    for (HRESULT refusal : {E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, RPC_E_DISCONNECTED,
                            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                            MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0200)}) {
        fake_.unregisterResult = refusal;
        testing::BoxCatcher boxes;
        press(ui::Command3);
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].prompt, L"Key doesn't exist");
    }
    fake_.unregisterResult = S_OK;
    testing::BoxCatcher none;
    press(ui::Command3);
    EXPECT_TRUE(none.boxes().empty());
    EXPECT_EQ(fake_.calls.size(), 7u);
}

// The same values through the window into the real stand-in: each is filed as typed or
// refused with the fixed box, and the entries that were there before are never touched.
class OddInputIntoTheStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ClearStore();
        ASSERT_HRESULT_SUCCEEDED(
            standin::GetSessionManagerFactory(IID_IClassFactory, factory_.put_void()));
        ASSERT_HRESULT_SUCCEEDED(CoRegisterClassObject(messenger::kSessionManagerClsid,
                                                       factory_.get(), CLSCTX_INPROC_SERVER,
                                                       REGCLS_MULTIPLEUSE, &cookie_));
        ASSERT_TRUE(form_.Create(GetModuleHandleW(nullptr)));
        ASSERT_HRESULT_SUCCEEDED(form_.Load());
    }
    void TearDown() override {
        if (form_.hwnd()) DestroyWindow(form_.hwnd());
        testing::PumpMessages();
        CoRevokeClassObject(cookie_);
        testing::ClearStore();
    }
    void Set(ui::ControlId id, const std::wstring& text) {
        testing::SetWindowTextTo(form_.Control(id), text);
    }

    com_apartment apartment_;
    com_ptr<IClassFactory> factory_;
    DWORD cookie_ = 0;
    Form1 form_;
};

TEST_F(OddInputIntoTheStandInTest, ValuesAreFiledAsTypedOrRefusedAndOtherEntriesStayWhole) {
    const std::map<std::wstring, testing::StoredEntry> kept = {
        {L"kept-one", {L"Kept one", L"http://one.invalid/", L"C:\\one.exe", 0, true}},
        {L"kept-two", {L"Kept two", L"http://two.invalid/", L"C:\\two.exe", 0, true}}};
    for (const auto& [key, entry] : kept) {
        Set(ui::Text4, key);
        Set(ui::Text2, entry.menuName);
        Set(ui::Text3, entry.url);
        Set(ui::Text1, entry.path);
        SendMessageW(form_.Control(ui::Command2), BM_CLICK, 0, 0);
    }
    ASSERT_EQ(testing::ReadStore(), kept);

    const auto values = OddValues();
    for (size_t v = 0; v < values.size(); ++v) {
        const std::wstring key = L"odd-" + std::to_wstring(v);
        Set(ui::Text4, key);
        for (auto field : {ui::Text2, ui::Text3, ui::Text1})
            Set(field, values[v]);
        const std::wstring held = testing::WindowText(form_.Control(ui::Text2));
        testing::BoxCatcher boxes;
        SendMessageW(form_.Control(ui::Command2), BM_CLICK, 0, 0);
        const auto stored = testing::ReadEntry(key);
        if (boxes.boxes().empty()) {
            ASSERT_TRUE(stored.has_value()) << "value " << v << " was accepted, so it is filed";
            EXPECT_EQ(stored->menuName, held) << "value " << v;
            EXPECT_EQ(stored->path, held) << "value " << v;
        } else {
            EXPECT_EQ(boxes.boxes()[0].prompt, L"All feilds must be complete");
            EXPECT_FALSE(stored.has_value())
                << "value " << v << " was refused, so nothing is filed";
        }
        Set(ui::Text5, values[v]);
        testing::BoxCatcher removal;
        SendMessageW(form_.Control(ui::Command3), BM_CLICK, 0, 0);
    }
    for (const auto& [key, entry] : kept) {
        EXPECT_EQ(testing::ReadEntry(key), entry) << std::string(key.begin(), key.end());
    }
}

// Memory running out at each string a press allocates in turn: the press either goes through
// whole or shows its one box, and the store keeps what it had.
TEST_F(OddInputIntoTheStandInTest, EveryAllocationOfAPressMayFailAndTheStoreStaysWhole) {
    const testing::StoredEntry old = {L"Old name", L"http://old.invalid/", L"C:\\old.exe", 0, true};
    Set(ui::Text4, L"kept");
    Set(ui::Text2, old.menuName);
    Set(ui::Text3, old.url);
    Set(ui::Text1, old.path);
    SendMessageW(form_.Control(ui::Command2), BM_CLICK, 0, 0);
    ASSERT_EQ(testing::ReadEntry(L"kept"), old);
    const testing::StoredEntry replacement = {L"New name", L"http://new.invalid/", L"C:\\new.exe",
                                              0, true};
    Set(ui::Text2, replacement.menuName);
    Set(ui::Text3, replacement.url);
    Set(ui::Text1, replacement.path);

    testing::MallocSpy spy;
    ASSERT_HRESULT_SUCCEEDED(spy.status());
    long refusals = 0;
    for (long n = 0;; ++n) {
        spy.RefuseAllocation(n);
        testing::BoxCatcher boxes;
        SendMessageW(form_.Control(ui::Command2), BM_CLICK, 0, 0);
        if (!spy.refusedOne()) break;  // the press needed fewer allocations than that
        ++refusals;
        ASSERT_EQ(boxes.boxes().size(), 1u) << "allocation " << n << " failed";
        EXPECT_EQ(boxes.boxes()[0].prompt, L"All feilds must be complete");
        EXPECT_EQ(testing::ReadEntry(L"kept"), old) << "allocation " << n << " failed";
    }
    EXPECT_GE(refusals, 4) << "each of the four texts is allocated";
    spy.RefuseAllocation(-1);
    EXPECT_EQ(testing::ReadEntry(L"kept"), replacement)
        << "the press without a failure went through";

    Set(ui::Text5, L"kept");
    spy.RefuseAllocation(0);
    testing::BoxCatcher boxes;
    SendMessageW(form_.Control(ui::Command3), BM_CLICK, 0, 0);
    ASSERT_TRUE(spy.refusedOne());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].prompt, L"Key doesn't exist");
    EXPECT_EQ(testing::ReadEntry(L"kept"), replacement)
        << "a failed removal leaves the entry whole";
}

// A long random run of the stand-in's two operations, checked against a model of the store.
TEST(StoreModelTest, AThousandRandomOperationsLeaveExactlyWhatTheModelHolds) {
    com_apartment apartment;
    testing::ClearStore();
    com_ptr<IClassFactory> factory;
    com_ptr<messenger::ISessionManager> session;
    ASSERT_HRESULT_SUCCEEDED(
        standin::GetSessionManagerFactory(IID_IClassFactory, factory.put_void()));
    ASSERT_HRESULT_SUCCEEDED(
        factory->CreateInstance(nullptr, messenger::kSessionManagerIid, session.put_void()));
    std::mt19937 random(20261208);
    std::map<std::wstring, testing::StoredEntry> model;
    using testing::ToBstr;
    for (int op = 0; op < 1000; ++op) {
        const std::wstring key = L"Key" + std::to_wstring(random() % 40);
        const std::wstring tag = std::to_wstring(op);
        if (random() % 3 != 0) {
            const bool empty = random() % 10 == 0;
            const std::wstring name = empty ? L"" : L"name " + tag;
            const HRESULT hr = session->RegisterProgram(ToBstr(key).get(), ToBstr(name).get(),
                                                        ToBstr(L"url " + tag).get(),
                                                        ToBstr(L"path " + tag).get(), op);
            if (empty) {
                ASSERT_EQ(hr, E_INVALIDARG);
            } else {
                ASSERT_HRESULT_SUCCEEDED(hr);
                model[key] = {name, L"url " + tag, L"path " + tag, static_cast<DWORD>(op), true};
            }
        } else {
            const HRESULT hr = session->UnregisterProgram(ToBstr(key).get());
            ASSERT_EQ(hr, model.erase(key) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        }
    }
    EXPECT_EQ(testing::ReadStore(), model);
    testing::ClearStore();
}

}  // namespace
}  // namespace plovane
