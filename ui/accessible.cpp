#include "ui/accessible.h"

#include <commctrl.h>
#include <oleacc.h>

#include <new>
#include <utility>

#include "common/com_ptr.h"
#include "ui/system_library.h"

namespace plovane::ui {
namespace {

constexpr wchar_t kObjectProperty[] = L"PlovaneAccessible";
constexpr int kTabTextLength = 64;

// oleacc.dll is loaded the first time a reader asks, and only from the system folder: a DLL of
// that name planted beside a portable copy of the program is never loaded. It stays loaded for
// the life of the process, since the standard objects handed out live in it.
struct AccessLibrary {
    using CreateStandardFn = HRESULT(WINAPI*)(HWND, LONG, REFIID, void**);
    using ResultFromObjectFn = LRESULT(WINAPI*)(REFIID, WPARAM, IUnknown*);
    CreateStandardFn createStandard;
    ResultFromObjectFn resultFromObject;
};
AccessLibrary library;
bool libraryTried = false;

template <class Fn>
Fn Function(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const AccessLibrary* Library() {
    if (!libraryTried) {
        libraryTried = true;
        HMODULE module = LoadSystemLibrary(L"oleacc.dll");
        if (module) {
            library.createStandard =
                Function<AccessLibrary::CreateStandardFn>(module, "CreateStdAccessibleObject");
            library.resultFromObject =
                Function<AccessLibrary::ResultFromObjectFn>(module, "LresultFromObject");
        }
    }
    return library.createStandard && library.resultFromObject ? &library : nullptr;
}

HRESULT ReturnText(const wchar_t* text, BSTR* out) {
    *out = SysAllocString(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

bool IsSelf(const VARIANT& child) {
    return child.vt == VT_I4 && child.lVal == CHILDID_SELF;
}

// The reader's view of one control: name, role and description from the design, and for a tab
// strip its page tabs; every other question goes to the system's standard object. The window
// disconnects it as it goes, and from then on every call fails.
class AccessibleControl final : public IAccessible, public IOleWindow {
public:
    AccessibleControl(HWND hwnd, const AccessibleNaming& naming, com_ptr<IAccessible> standard)
        : hwnd_(hwnd), naming_(naming), standard_(std::move(standard)) {}
    AccessibleControl(const AccessibleControl&) = delete;
    AccessibleControl& operator=(const AccessibleControl&) = delete;

    void Disconnect() {
        hwnd_ = nullptr;
        standard_.reset();
        CoDisconnectObject(static_cast<IAccessible*>(this), 0);
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) ||
            iid == __uuidof(IAccessible)) {
            *out = static_cast<IAccessible*>(this);
        } else if (iid == __uuidof(IOleWindow)) {
            *out = static_cast<IOleWindow*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch: readers use the vtable; no type information is offered.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return E_NOTIMPL;
    }

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* hwnd) override {
        if (!hwnd) return E_POINTER;
        *hwnd = hwnd_;
        return hwnd_ ? S_OK : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IAccessible
    STDMETHODIMP get_accParent(IDispatch** parent) override {
        return Live() ? standard_->get_accParent(parent) : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP get_accChildCount(long* count) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!HasTabs()) return standard_->get_accChildCount(count);
        if (!count) return E_POINTER;
        *count = TabCount();
        return S_OK;
    }
    STDMETHODIMP get_accChild(VARIANT child, IDispatch** out) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!HasTabs() || IsSelf(child)) return standard_->get_accChild(child, out);
        if (!out) return E_POINTER;
        *out = nullptr;
        // Page tabs are simple elements, asked about through their parent.
        return Tab(child) >= 0 ? S_FALSE : E_INVALIDARG;
    }
    STDMETHODIMP get_accName(VARIANT child, BSTR* name) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!name) return E_POINTER;
        *name = nullptr;
        if (IsSelf(child)) return ReturnText(OwnName(), name);
        if (!HasTabs()) return standard_->get_accName(child, name);
        const int tab = Tab(child);
        if (tab < 0) return E_INVALIDARG;
        wchar_t text[kTabTextLength] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = kTabTextLength;
        SendMessageW(hwnd_, TCM_GETITEMW, tab, reinterpret_cast<LPARAM>(&item));
        return ReturnText(text, name);
    }
    STDMETHODIMP get_accValue(VARIANT child, BSTR* value) override {
        return Live() ? standard_->get_accValue(child, value) : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP get_accDescription(VARIANT child, BSTR* description) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (IsSelf(child) && naming_.description) {
            if (!description) return E_POINTER;
            return ReturnText(naming_.description, description);
        }
        return standard_->get_accDescription(child, description);
    }
    STDMETHODIMP get_accRole(VARIANT child, VARIANT* role) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!role) return E_POINTER;
        if (!IsSelf(child) && !HasTabs()) return standard_->get_accRole(child, role);
        if (!IsSelf(child) && Tab(child) < 0) return E_INVALIDARG;
        role->vt = VT_I4;
        role->lVal = IsSelf(child) ? naming_.role : ROLE_SYSTEM_PAGETAB;
        return S_OK;
    }
    STDMETHODIMP get_accState(VARIANT child, VARIANT* state) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (IsSelf(child) || !HasTabs()) return standard_->get_accState(child, state);
        if (!state) return E_POINTER;
        const int tab = Tab(child);
        if (tab < 0) return E_INVALIDARG;
        long bits = STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_SELECTABLE;
        if (tab == SendMessageW(hwnd_, TCM_GETCURSEL, 0, 0)) bits |= STATE_SYSTEM_SELECTED;
        if (GetFocus() == hwnd_ && tab == SendMessageW(hwnd_, TCM_GETCURFOCUS, 0, 0)) {
            bits |= STATE_SYSTEM_FOCUSED;
        }
        if (!IsWindowVisible(hwnd_)) bits |= STATE_SYSTEM_INVISIBLE;
        state->vt = VT_I4;
        state->lVal = bits;
        return S_OK;
    }
    STDMETHODIMP get_accHelp(VARIANT child, BSTR* help) override {
        return Live() ? standard_->get_accHelp(child, help) : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override {
        return Live() ? standard_->get_accHelpTopic(file, child, topic) : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override {
        return Live() ? standard_->get_accKeyboardShortcut(child, shortcut) : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP get_accFocus(VARIANT* focus) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!HasTabs() || GetFocus() != hwnd_) return standard_->get_accFocus(focus);
        if (!focus) return E_POINTER;
        focus->vt = VT_I4;
        focus->lVal = static_cast<long>(SendMessageW(hwnd_, TCM_GETCURFOCUS, 0, 0)) + 1;
        return S_OK;
    }
    STDMETHODIMP get_accSelection(VARIANT* selection) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!HasTabs()) return standard_->get_accSelection(selection);
        if (!selection) return E_POINTER;
        selection->vt = VT_I4;
        selection->lVal = static_cast<long>(SendMessageW(hwnd_, TCM_GETCURSEL, 0, 0)) + 1;
        return S_OK;
    }
    STDMETHODIMP get_accDefaultAction(VARIANT child, BSTR* action) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (IsSelf(child) || !HasTabs()) return standard_->get_accDefaultAction(child, action);
        if (!action) return E_POINTER;
        *action = nullptr;
        return Tab(child) >= 0 ? ReturnText(L"Switch", action) : E_INVALIDARG;
    }
    STDMETHODIMP accSelect(long flags, VARIANT child) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (IsSelf(child) || !HasTabs()) return standard_->accSelect(flags, child);
        const int tab = Tab(child);
        if (tab < 0) return E_INVALIDARG;
        if (flags & SELFLAG_TAKEFOCUS) SetFocus(hwnd_);
        if (flags & SELFLAG_TAKESELECTION) SelectTab(tab);
        return S_OK;
    }
    STDMETHODIMP accLocation(long* left, long* top, long* width, long* height,
                             VARIANT child) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (IsSelf(child) || !HasTabs()) {
            return standard_->accLocation(left, top, width, height, child);
        }
        if (!left || !top || !width || !height) return E_POINTER;
        const int tab = Tab(child);
        RECT r = {};
        if (tab < 0 || !SendMessageW(hwnd_, TCM_GETITEMRECT, tab, reinterpret_cast<LPARAM>(&r))) {
            return E_INVALIDARG;
        }
        MapWindowPoints(hwnd_, nullptr, reinterpret_cast<POINT*>(&r), 2);
        *left = r.left;
        *top = r.top;
        *width = r.right - r.left;
        *height = r.bottom - r.top;
        return S_OK;
    }
    STDMETHODIMP accNavigate(long direction, VARIANT start, VARIANT* end) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (!HasTabs()) return standard_->accNavigate(direction, start, end);
        if (!end) return E_POINTER;
        const long count = TabCount();
        long to = 0;
        if (IsSelf(start)) {
            if (direction == NAVDIR_FIRSTCHILD) to = 1;
            if (direction == NAVDIR_LASTCHILD) to = count;
            if (!to) return standard_->accNavigate(direction, start, end);
        } else {
            const int tab = Tab(start);
            if (tab < 0) return E_INVALIDARG;
            if (direction == NAVDIR_NEXT || direction == NAVDIR_RIGHT) to = tab + 2;
            if (direction == NAVDIR_PREVIOUS || direction == NAVDIR_LEFT) to = tab;
        }
        end->vt = VT_EMPTY;
        if (to < 1 || to > count) return S_FALSE;
        end->vt = VT_I4;
        end->lVal = to;
        return S_OK;
    }
    STDMETHODIMP accHitTest(long x, long y, VARIANT* at) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (HasTabs() && at) {
            TCHITTESTINFO hit = {{x, y}, 0};
            ScreenToClient(hwnd_, &hit.pt);
            const auto tab = SendMessageW(hwnd_, TCM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
            if (tab >= 0) {
                at->vt = VT_I4;
                at->lVal = static_cast<long>(tab) + 1;
                return S_OK;
            }
        }
        return standard_->accHitTest(x, y, at);
    }
    STDMETHODIMP accDoDefaultAction(VARIANT child) override {
        if (!Live()) return CO_E_OBJNOTCONNECTED;
        if (IsSelf(child) || !HasTabs()) return standard_->accDoDefaultAction(child);
        const int tab = Tab(child);
        if (tab < 0) return E_INVALIDARG;
        SelectTab(tab);
        return S_OK;
    }
    STDMETHODIMP put_accName(VARIANT, BSTR) override {
        return Live() ? E_NOTIMPL : CO_E_OBJNOTCONNECTED;
    }
    STDMETHODIMP put_accValue(VARIANT child, BSTR value) override {
        return Live() ? standard_->put_accValue(child, value) : CO_E_OBJNOTCONNECTED;
    }

private:
    ~AccessibleControl() = default;

    bool Live() const { return hwnd_ && standard_; }
    bool HasTabs() const { return naming_.role == ROLE_SYSTEM_PAGETABLIST; }
    const wchar_t* OwnName() const {
        if (naming_.name) return naming_.name;
        const ControlSpec* design = FindControl(naming_.id);
        return design ? design->text : L"";
    }
    long TabCount() const { return static_cast<long>(SendMessageW(hwnd_, TCM_GETITEMCOUNT, 0, 0)); }
    // The page tab a child id names, counted from 0, or -1.
    int Tab(const VARIANT& child) const {
        if (child.vt != VT_I4 || child.lVal < 1 || child.lVal > TabCount()) return -1;
        return static_cast<int>(child.lVal - 1);
    }
    // As a click on the tab does: the strip's parent hears of it and turns the page.
    void SelectTab(int tab) const { SendMessageW(hwnd_, TCM_SETCURFOCUS, tab, 0); }

    long refs_ = 1;
    HWND hwnd_;
    const AccessibleNaming& naming_;
    com_ptr<IAccessible> standard_;
};

// One object per control, made on the first request and kept until the window goes, so that a
// reader asking a thousand times is answered by the same object.
AccessibleControl* ObjectFor(HWND hwnd, const AccessibleNaming& naming, const AccessLibrary& lib) {
    auto* object = static_cast<AccessibleControl*>(GetPropW(hwnd, kObjectProperty));
    if (object) return object;
    com_ptr<IAccessible> standard;
    if (FAILED(
            lib.createStandard(hwnd, OBJID_CLIENT, __uuidof(IAccessible), standard.put_void()))) {
        return nullptr;
    }
    object = new (std::nothrow) AccessibleControl(hwnd, naming, std::move(standard));
    if (object && !SetPropW(hwnd, kObjectProperty, object)) {
        object->Disconnect();
        object->Release();
        object = nullptr;
    }
    return object;
}

void ForgetObject(HWND hwnd) {
    auto* object = static_cast<AccessibleControl*>(RemovePropW(hwnd, kObjectProperty));
    if (!object) return;
    object->Disconnect();
    object->Release();
}

// The procedure each kind of control had before ours, by window class. Every message of a named
// control passes through here, so the lookup stays in this process: comctl32's SetWindowSubclass
// reads a window property per message, which Wine answers from its server, and that made
// start-up measurably slower.
struct ClassProcedure {
    ATOM atom;
    WNDPROC procedure;
};
ClassProcedure classProcedures[8];

WNDPROC ProcedureBefore(HWND hwnd) {
    const auto atom = static_cast<ATOM>(GetClassWord(hwnd, GCW_ATOM));
    for (const ClassProcedure& known : classProcedures) {
        if (known.atom == atom) return known.procedure;
    }
    return &DefWindowProcW;
}

// False when a control of this class was found with another procedure before ours.
bool RememberProcedure(ATOM atom, WNDPROC procedure) {
    for (ClassProcedure& known : classProcedures) {
        if (known.atom == atom) return known.procedure == procedure;
        if (!known.atom) {
            known = {atom, procedure};
            return true;
        }
    }
    return false;
}

LRESULT CALLBACK AccessibleProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_GETOBJECT && static_cast<LONG>(lParam) == OBJID_CLIENT) {
        const AccessLibrary* lib = Library();
        const AccessibleNaming* naming = FindAccessible(static_cast<ControlId>(GetDlgCtrlID(hwnd)));
        AccessibleControl* object = lib && naming ? ObjectFor(hwnd, *naming, *lib) : nullptr;
        if (object) {
            return lib->resultFromObject(__uuidof(IAccessible), wParam,
                                         static_cast<IAccessible*>(object));
        }
    } else if (msg == WM_NCDESTROY && libraryTried) {
        // Objects exist only once a reader has asked.
        ForgetObject(hwnd);
    }
    return CallWindowProcW(ProcedureBefore(hwnd), hwnd, msg, wParam, lParam);
}

}  // namespace

bool MakeAccessible(HWND control) {
    if (!control) return false;
    const auto before = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control, GWLP_WNDPROC));
    if (before == &AccessibleProcedure) return true;
    // A control that cannot be chained safely stays as it is: unnamed, but working.
    if (!RememberProcedure(static_cast<ATOM>(GetClassWord(control, GCW_ATOM)), before)) {
        return true;
    }
    SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AccessibleProcedure));
    return true;
}

}  // namespace plovane::ui
