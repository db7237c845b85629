#include "bench/counting_session.h"

#include <cstdio>
#include <string>

#include "app/form1.h"
#include "common/com_apartment.h"
#include "messenger/session_manager.h"
#include "tests/support/box_catcher.h"
#include "tests/support/malloc_spy.h"

namespace plovane::bench {
namespace {

class CountingSession final : public messenger::ISessionManager, public IClassFactory {
public:
    long refs = 0;
    long calls = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, messenger::kSessionManagerIid)) {
            *out = static_cast<messenger::ISessionManager*>(this);
        } else if (IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterProgram(BSTR, BSTR menuName, BSTR, BSTR, LONG) override {
        ++calls;
        return SysStringLen(menuName) ? S_OK : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE UnregisterProgram(BSTR keyName) override {
        ++calls;
        return SysStringLen(keyName) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
        return QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

void Set(HWND box, const std::wstring& text) {
    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

}  // namespace

int RunInProcess(int presses) {
    com_apartment apartment;
    CountingSession session;
    session.AddRef();  // the benchmark's own, so the object is never thought freed
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(messenger::kSessionManagerClsid,
                                     static_cast<IClassFactory*>(&session), CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie))) {
        return 2;
    }
    const long registeredRefs = session.refs;
    int status = 0;
    {
        Form1 form;
        if (!form.Create(GetModuleHandleW(nullptr)) || FAILED(form.Load())) return 3;
        form.Show(SW_SHOWNORMAL);
        testing::MallocSpy spy;
        testing::BoxCatcher boxes;
        std::vector<double> latencies;
        const int warmUp = 500;
        size_t bstrsBefore = 0;
        long refsBefore = 0, rssBefore = 0;
        for (int i = 0; i < warmUp + presses; ++i) {
            if (i == warmUp) {
                bstrsBefore = spy.live();
                refsBefore = session.refs;
                rssBefore = ResidentKiB(0, "RssAnon");
            }
            const bool refused = i % 10 == 9;
            Set(form.Control(ui::Text4), L"bench-" + std::to_wstring(i % 97));
            Set(form.Control(ui::Text2), refused ? L"" : L"Bench entry " + std::to_wstring(i));
            Set(form.Control(ui::Text5), refused ? L"" : L"bench-" + std::to_wstring(i % 97));
            for (ui::ControlId button : {ui::Command2, ui::Command3}) {
                const double start = NowMs();
                SendMessageW(form.Control(button), BM_CLICK, 0, 0);
                if (i >= warmUp && !refused) latencies.push_back(NowMs() - start);
            }
        }
        std::printf(
            "inproc_presses=%d\ninproc_boxes=%zu\ninproc_refs_before=%ld\n"
            "inproc_refs_after=%ld\ninproc_bstrs_before=%zu\ninproc_bstrs_after=%zu\n"
            "inproc_rss_before_kib=%ld\ninproc_rss_after_kib=%ld\n"
            "inproc_latency_median_ms=%.4f\ninproc_latency_p99_ms=%.4f\n",
            2 * presses, boxes.boxes().size(), refsBefore, session.refs, bstrsBefore, spy.live(),
            rssBefore, ResidentKiB(0, "RssAnon"), Percentile(latencies, 0.5),
            Percentile(latencies, 0.99));
        if (session.refs != refsBefore || spy.live() != bstrsBefore) status = 4;
        DestroyWindow(form.hwnd());
    }
    CoRevokeClassObject(cookie);
    std::printf("inproc_refs_after_close=%ld\n", session.refs - registeredRefs + 1);
    return status;
}

}  // namespace plovane::bench
