#include "actions/field_text.h"

namespace plovane::actions {

HRESULT ReadFieldText(HWND box, unique_bstr& out) {
    if (!IsWindow(box)) return E_HANDLE;
    SetLastError(ERROR_SUCCESS);
    const int length = GetWindowTextLengthW(box);
    if (length == 0 && GetLastError() != ERROR_SUCCESS) return HRESULT_FROM_WIN32(GetLastError());
    unique_bstr text(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!text) return E_OUTOFMEMORY;
    const int copied = length ? GetWindowTextW(box, text.get(), length + 1) : 0;
    if (copied == 0 && length != 0) {
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    if (copied != length) {
        // The box reported more than it gave; keep the length prefix honest.
        unique_bstr exact(SysAllocStringLen(text.get(), static_cast<UINT>(copied)));
        if (!exact) return E_OUTOFMEMORY;
        text = std::move(exact);
    }
    out = std::move(text);
    return S_OK;
}

}  // namespace plovane::actions
