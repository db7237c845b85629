#include "ui/common_dialog.h"

#include <commdlg.h>

#include <atomic>
#include <new>
#include <vector>

#include "common/unique_handle.h"

namespace plovane::ui {
namespace {

// 32 KiB characters: the longest path the Open box can give back.
constexpr DWORD kMaxPath = 32768;

class CommonDialog final : public IDispatch {
public:
    CommonDialog(HWND owner, FileFilter filter) : owner_(owner), filter_(std::move(filter)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (params && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
        if (result) VariantInit(result);
        if (id == kDispShowOpen && (flags & DISPATCH_METHOD)) return ShowOpen();
        if (id == kDispFileName && (flags & DISPATCH_PROPERTYGET)) return GetFileName(result);
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    ~CommonDialog() = default;

    // The Open box's library (and the shell it brings) is loaded the first time it is shown,
    // not at every start of the tool.
    HRESULT LoadOpenBox() {
        if (getOpenFileName_) return S_OK;
        library_.reset(LoadLibraryW(L"comdlg32.dll"));
        if (!library_) return HRESULT_FROM_WIN32(GetLastError());
        const auto open = reinterpret_cast<decltype(&GetOpenFileNameW)>(
            reinterpret_cast<void*>(GetProcAddress(library_.get(), "GetOpenFileNameW")));
        const auto error = reinterpret_cast<decltype(&CommDlgExtendedError)>(
            reinterpret_cast<void*>(GetProcAddress(library_.get(), "CommDlgExtendedError")));
        if (!open || !error) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
        getOpenFileName_ = open;
        extendedError_ = error;
        return S_OK;
    }

    HRESULT ShowOpen() {
        const HRESULT loaded = LoadOpenBox();
        if (FAILED(loaded)) return loaded;
        // The filter is two NUL-ended strings and a final NUL.
        std::wstring filter = filter_.description + L'\0' + filter_.pattern + L'\0';
        std::vector<wchar_t> file(kMaxPath, L'\0');
        fileName_.copy(file.data(), std::min<size_t>(fileName_.size(), kMaxPath - 1));
        OPENFILENAMEW ofn = {};
        ofn.lStructSize = sizeof(ofn);
        ofn.hwndOwner = owner_;
        ofn.lpstrFilter = filter.c_str();
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file.data();
        ofn.nMaxFile = kMaxPath;
        ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
        if (!getOpenFileName_(&ofn)) {
            const DWORD error = extendedError_();
            return error ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, error & 0xFFFF)
                         : HRESULT_FROM_WIN32(ERROR_CANCELLED);
        }
        fileName_ = file.data();
        return S_OK;
    }

    HRESULT GetFileName(VARIANT* result) const {
        if (!result) return E_POINTER;
        BSTR name = SysAllocStringLen(fileName_.data(), static_cast<UINT>(fileName_.size()));
        if (!name) return E_OUTOFMEMORY;
        result->vt = VT_BSTR;
        result->bstrVal = name;
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    unique_hmodule library_;
    decltype(&GetOpenFileNameW) getOpenFileName_ = nullptr;
    decltype(&CommDlgExtendedError) extendedError_ = nullptr;
    HWND owner_;
    FileFilter filter_;
    std::wstring fileName_;
};

}  // namespace

FileFilter ParseFilter(const std::wstring& filter) {
    const size_t bar = filter.find(L'|');
    if (bar == std::wstring::npos) return {filter, L"*.*"};
    return {filter.substr(0, bar), filter.substr(bar + 1)};
}

com_ptr<IDispatch> CreateCommonDialog(HWND owner, const std::wstring& filter) {
    return com_ptr<IDispatch>(new (std::nothrow) CommonDialog(owner, ParseFilter(filter)));
}

}  // namespace plovane::ui
