// A local server for the session manager's class, as MSN Messenger serves it from its running
// program: COM starts it (or a test does), the tool's calls cross processes through the type
// library's marshaler. It serves the real stand-in, or an object that records what arrives.
//   standin-host.exe [--record] [--answer <hex status>] [--slow <ms>]
// It says where it runs under HKCU\Software\Plovane Tests\Host (Pid, Thread), marks a call in
// progress (Busy) and, with --record, keeps each call's arguments byte for byte under Calls\<n>.
// It ends when its last object is released or when its thread gets WM_QUIT.
#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cwchar>
#include <string>

#include "messenger/session_manager.h"

namespace {

constexpr wchar_t kHostKey[] = L"Software\\Plovane Tests\\Host";

struct Options {
    bool record = false;
    HRESULT answer = S_OK;
    DWORD slowMs = 0;
};

DWORD g_thread = 0;
std::atomic<long> g_objects{0};
long g_calls = 0;

void SetDword(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kHostKey, name, REG_DWORD, &value, sizeof(value));
}

// A BSTR as it came: a null one is left out, any other kept with its exact length.
void SetText(HKEY key, const wchar_t* name, BSTR text) {
    if (!text) return;
    RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(text),
                   SysStringByteLen(text));
}

void Record(const wchar_t* op, BSTR a, BSTR b, BSTR c, BSTR d, LONG flags) {
    const std::wstring name = std::wstring(kHostKey) + L"\\Calls\\" + std::to_wstring(g_calls++);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key, L"Op", 0, REG_SZ, reinterpret_cast<const BYTE*>(op),
                   static_cast<DWORD>(wcslen(op) + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    SetText(key, L"0", a);
    SetText(key, L"1", b);
    SetText(key, L"2", c);
    SetText(key, L"3", d);
    RegSetValueExW(key, L"Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags),
                   sizeof(flags));
    RegCloseKey(key);
}

// Forwards to the stand-in's object (or records, with no inner object) and counts itself, so
// that the host can end with its last client.
class HostedSession final : public plovane::messenger::ISessionManager {
public:
    HostedSession(const Options& options, plovane::messenger::ISessionManager* inner)
        : options_(options), inner_(inner) {
        ++g_objects;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) ||
            IsEqualIID(iid, plovane::messenger::kSessionManagerIid)) {
            *out = static_cast<plovane::messenger::ISessionManager*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            if (inner_) inner_->Release();
            delete this;
            if (--g_objects == 0) PostThreadMessageW(g_thread, WM_QUIT, 0, 0);
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterProgram(BSTR keyName, BSTR menuName, BSTR url, BSTR path,
                                              LONG flags) override {
        Begin();
        if (options_.record) Record(L"Register", keyName, menuName, url, path, flags);
        HRESULT hr = options_.answer;
        if (inner_) hr = inner_->RegisterProgram(keyName, menuName, url, path, flags);
        return End(hr);
    }
    HRESULT STDMETHODCALLTYPE UnregisterProgram(BSTR keyName) override {
        Begin();
        if (options_.record) Record(L"Unregister", keyName, nullptr, nullptr, nullptr, 0);
        HRESULT hr = options_.answer;
        if (inner_) hr = inner_->UnregisterProgram(keyName);
        return End(hr);
    }

private:
    ~HostedSession() = default;
    // A call in progress is marked before the slow part, so that a test can act during it.
    void Begin() {
        SetDword(L"Busy", 1);
        if (options_.slowMs) Sleep(options_.slowMs);
    }
    HRESULT End(HRESULT hr) {
        SetDword(L"Busy", 0);
        return hr;
    }

    Options options_;
    plovane::messenger::ISessionManager* inner_;
    std::atomic<ULONG> refs_{1};
};

class HostFactory final : public IClassFactory {
public:
    HostFactory(const Options& options, IClassFactory* standIn)
        : options_(options), standIn_(standIn) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the host's stack for the whole run.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        plovane::messenger::ISessionManager* inner = nullptr;
        if (standIn_) {
            const HRESULT hr = standIn_->CreateInstance(
                nullptr, plovane::messenger::kSessionManagerIid, reinterpret_cast<void**>(&inner));
            if (FAILED(hr)) return hr;
        }
        auto* object = new HostedSession(options_, inner);
        const HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Options options_;
    IClassFactory* standIn_;
};

Options ParseOptions() {
    Options options;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--record") options.record = true;
        if (arg == L"--answer" && i + 1 < argc) {
            options.answer = static_cast<HRESULT>(wcstoul(argv[++i], nullptr, 16));
        }
        if (arg == L"--slow" && i + 1 < argc) options.slowMs = wcstoul(argv[++i], nullptr, 10);
    }
    LocalFree(argv);
    return options;
}

// The stand-in's own class object, from the DLL beside this program.
IClassFactory* LoadStandIn() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return nullptr;
    wcscpy(slash + 1, L"messenger-standin.dll");
    HMODULE dll = LoadLibraryW(path);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto get = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (!get || FAILED(get(plovane::messenger::kSessionManagerClsid, IID_IClassFactory,
                           reinterpret_cast<void**>(&factory)))) {
        return nullptr;
    }
    return factory;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const Options options = ParseOptions();
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    g_thread = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue, for WM_QUIT
    IClassFactory* standIn = options.record ? nullptr : LoadStandIn();
    if (!options.record && !standIn) return 3;
    HostFactory factory(options, standIn);
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(plovane::messenger::kSessionManagerClsid, &factory,
                                     CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
        return 4;
    }
    SetDword(L"Pid", GetCurrentProcessId());
    SetDword(L"Thread", g_thread);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    CoRevokeClassObject(cookie);
    if (standIn) standIn->Release();
    CoUninitialize();
    return 0;
}
