#include "ui/common_dialog.h"

#include <commdlg.h>

#include <atomic>
#include <new>

#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "ui/system_library.h"

namespace plovane::ui {
namespace {

// 32 KiB characters: the longest path the Open box can give back.
constexpr DWORD kMaxPath = 32768;
constexpr size_t kFilterCapacity = 256;

class CommonDialog final : public IDispatch {
public:
    explicit CommonDialog(HWND owner) : owner_(owner) {}
    // False when the filter does not fit.
    bool SetFilter(const wchar_t* filter) { return BuildFilter(filter, filter_, kFilterCapacity); }

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
    // not at every start of the tool, and from the system folder only.
    HRESULT LoadOpenBox() {
        if (getOpenFileName_) return S_OK;
        library_.reset(LoadSystemLibrary(L"comdlg32.dll"));
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
        // The box writes the picked name into a buffer that starts with the name it had.
        unique_bstr file(SysAllocStringLen(nullptr, kMaxPath - 1));
        if (!file) return E_OUTOFMEMORY;
        const UINT kept = fileName_.length() < kMaxPath ? fileName_.length() : kMaxPath - 1;
        if (kept) CopyMemory(file.get(), fileName_.get(), kept * sizeof(wchar_t));
        file.get()[kept] = L'\0';
        OPENFILENAMEW ofn = {};
        ofn.lStructSize = sizeof(ofn);
        ofn.hwndOwner = owner_;
        ofn.lpstrFilter = filter_;
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file.get();
        ofn.nMaxFile = kMaxPath;
        ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
        if (!getOpenFileName_(&ofn)) {
            const DWORD error = extendedError_();
            return error ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, error & 0xFFFF)
                         : HRESULT_FROM_WIN32(ERROR_CANCELLED);
        }
        unique_bstr picked(SysAllocString(file.get()));
        if (!picked) return E_OUTOFMEMORY;
        fileName_ = std::move(picked);
        return S_OK;
    }

    HRESULT GetFileName(VARIANT* result) const {
        if (!result) return E_POINTER;
        BSTR name = SysAllocStringLen(fileName_.get(), fileName_.length());
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
    wchar_t filter_[kFilterCapacity] = {};
    unique_bstr fileName_;
};

}  // namespace

bool BuildFilter(const wchar_t* filter, wchar_t* out, size_t capacity) {
    const wchar_t* bar = filter;
    while (*bar && *bar != L'|')
        ++bar;
    const wchar_t* pattern = *bar ? bar + 1 : L"*.*";
    const size_t description = static_cast<size_t>(bar - filter);
    const size_t patternLength = static_cast<size_t>(lstrlenW(pattern));
    if (description + patternLength + 3 > capacity) return false;
    CopyMemory(out, filter, description * sizeof(wchar_t));
    out[description] = L'\0';
    CopyMemory(out + description + 1, pattern, patternLength * sizeof(wchar_t));
    out[description + 1 + patternLength] = L'\0';
    out[description + 2 + patternLength] = L'\0';
    return true;
}

com_ptr<IDispatch> CreateCommonDialog(HWND owner, const wchar_t* filter) {
    com_ptr<IDispatch> made;
    auto* dialog = new (std::nothrow) CommonDialog(owner);
    if (!dialog) return made;
    made = com_ptr<IDispatch>(dialog);
    if (!dialog->SetFilter(filter)) made.reset();
    return made;
}

}  // namespace plovane::ui
