// Browse: fills the path field from the Open box. No step of it ever shows a message.
#include "app/form1.h"
#include "common/unique_variant.h"
#include "ui/common_dialog.h"

namespace plovane {
namespace {

HRESULT Call(IDispatch* target, DISPID id, WORD kind, VARIANT* result) {
    if (!target) return E_POINTER;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &none, result, nullptr, nullptr);
}

}  // namespace

void Form1::Command1_Click() {
    // The window may be closed while the Open box is up; the component, and the library its box
    // runs in, must outlive that.
    const auto dialog = CommonDialog1.copy();
    // A cancelled or failed Open box leaves the path field as the user left it.
    unique_variant shown;
    if (FAILED(Call(dialog.get(), ui::kDispShowOpen, DISPATCH_METHOD, shown.put()))) return;
    unique_variant fileName;
    if (FAILED(Call(dialog.get(), ui::kDispFileName, DISPATCH_PROPERTYGET, fileName.put()))) return;
    if (fileName.get().vt != VT_BSTR) return;
    const BSTR name = fileName.get().bstrVal;
    SetWindowTextW(Control(ui::Text1), name ? name : L"");
}

}  // namespace plovane
