// The "..." button: what it asks of the Open-box component and what lands in the path field.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/support/box_catcher.h"
#include "tests/support/form_fixture.h"
#include "ui/common_dialog.h"

namespace plovane {
namespace {

using testing::FormTest;

// An Open-box component with programmable answers that records every late-bound call.
class FakeDialog final : public IDispatch {
public:
    HRESULT showResult = S_OK;
    HRESULT fileNameResult = S_OK;
    std::wstring fileName;
    std::vector<std::pair<DISPID, WORD>> invoked;
    long refs = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        ADD_FAILURE() << "the component is called by dispatch identifier, never by name";
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        invoked.emplace_back(id, flags);
        EXPECT_EQ(params ? params->cArgs : 0u, 0u);
        if (id == ui::kDispShowOpen) return showResult;
        if (FAILED(fileNameResult)) return fileNameResult;
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocStringLen(fileName.data(), static_cast<UINT>(fileName.size()));
        return S_OK;
    }
};

class BrowseTest : public FormTest {
protected:
    com_ptr<IDispatch> MakeCommonDialog() override {
        dialog_.AddRef();
        return com_ptr<IDispatch>(&dialog_);
    }
    FakeDialog dialog_;
};

using Calls = std::vector<std::pair<DISPID, WORD>>;

TEST_F(BrowseTest, APickedFileReplacesTheWholePathField) {
    type(ui::Text1, L"C:\\typed by hand.exe");
    dialog_.fileName = L"C:\\Program Files\\Tool\\tool.exe";
    testing::BoxCatcher boxes;
    press(ui::Command1);
    EXPECT_EQ(text(ui::Text1), L"C:\\Program Files\\Tool\\tool.exe");
    EXPECT_EQ(dialog_.invoked, (Calls{{30, DISPATCH_METHOD}, {1, DISPATCH_PROPERTYGET}}));
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(fake_.calls.empty()) << "browsing registers nothing";
}

TEST_F(BrowseTest, ACancelledOrFailedOpenBoxLeavesThePathFieldAsItWas) {
    type(ui::Text1, L"C:\\typed by hand.exe");
    dialog_.fileName = L"C:\\something else.exe";
    testing::BoxCatcher boxes;
    for (HRESULT failure : {HRESULT_FROM_WIN32(ERROR_CANCELLED), E_FAIL}) {
        dialog_.showResult = failure;
        dialog_.invoked.clear();
        press(ui::Command1);
        EXPECT_EQ(text(ui::Text1), L"C:\\typed by hand.exe");
        EXPECT_EQ(dialog_.invoked, (Calls{{30, DISPATCH_METHOD}}));
    }
    dialog_.showResult = S_OK;
    dialog_.fileNameResult = DISP_E_MEMBERNOTFOUND;
    press(ui::Command1);
    EXPECT_EQ(text(ui::Text1), L"C:\\typed by hand.exe");
    EXPECT_TRUE(boxes.boxes().empty()) << "browsing never shows a message";
}

TEST_F(BrowseTest, TheWindowHoldsTheComponentForItsLifeAndLetsItGo) {
    const long held = dialog_.refs;
    EXPECT_EQ(held, 1);
    press(ui::Command1);
    EXPECT_EQ(dialog_.refs, held);
    DestroyWindow(form_.hwnd());
    EXPECT_EQ(dialog_.refs, 0);
}

TEST_F(FormTest, TheRealOpenBoxOffersAllFilesAndFillsThePathFieldWithThePick) {
    const std::wstring picked = testing::ProgramFolder() + L"plovane-tests.exe";
    {
        testing::OpenBoxAnswer answer(picked);
        press(ui::Command1);
        ASSERT_EQ(answer.shown(), 1);
        EXPECT_EQ(answer.fileTypes(), std::vector<std::wstring>{L"All files (*.*) "});
        EXPECT_EQ(answer.owner(), form_.hwnd());
    }
    EXPECT_EQ(text(ui::Text1), picked);
    type(ui::Text1, L"typed after the pick");
    {
        testing::OpenBoxAnswer cancel(L"");
        press(ui::Command1);
        ASSERT_EQ(cancel.shown(), 1);
    }
    EXPECT_EQ(text(ui::Text1), L"typed after the pick");
}

TEST(CommonDialogTest, TheFilterIsTakenApartAtTheBarWithItsBlanks) {
    wchar_t block[64];
    ASSERT_TRUE(ui::BuildFilter(L"All files (*.*) | *.*", block, 64));
    EXPECT_EQ(std::wstring(block, 23), std::wstring(L"All files (*.*) \0 *.*\0\0", 23));
    ASSERT_TRUE(ui::BuildFilter(L"Programs", block, 64));
    EXPECT_EQ(std::wstring(block, 14), std::wstring(L"Programs\0*.*\0\0", 14));
    EXPECT_FALSE(ui::BuildFilter(L"All files (*.*) | *.*", block, 22)) << "one short of room";
    EXPECT_TRUE(ui::BuildFilter(L"All files (*.*) | *.*", block, 23));
}

TEST(CommonDialogTest, UnknownMembersAndArgumentsAreRefused) {
    auto dialog = ui::CreateCommonDialog(nullptr, ui::kOpenFilter);
    ASSERT_TRUE(dialog);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    EXPECT_EQ(dialog->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    VARIANT arg;
    VariantInit(&arg);
    DISPPARAMS one = {&arg, nullptr, 1, 0};
    EXPECT_EQ(dialog->Invoke(ui::kDispShowOpen, IID_NULL, 0, DISPATCH_METHOD, &one, &result,
                             nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    ASSERT_HRESULT_SUCCEEDED(dialog->Invoke(ui::kDispFileName, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                            &none, &result, nullptr, nullptr));
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(result.bstrVal), 0u) << "no file name is set at first";
    VariantClear(&result);
}

}  // namespace
}  // namespace plovane
