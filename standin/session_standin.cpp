#include "standin/session_standin.h"

#include <atomic>
#include <new>

#include "messenger/session_manager.h"
#include "standin/store.h"

namespace plovane::standin {
namespace {

std::atomic<long> g_serverReferences{0};

// Keeps the server loaded for as long as the object that holds it lives.
class ServerHold {
public:
    ServerHold() { AddServerReference(); }
    ServerHold(const ServerHold&) = delete;
    ServerHold& operator=(const ServerHold&) = delete;
    ~ServerHold() { ReleaseServerReference(); }
};

class SessionManager final : public messenger::ISessionManager {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, messenger::kSessionManagerIid)) {
            *out = static_cast<messenger::ISessionManager*>(this);
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

    // Messenger's other operations are not part of what the stand-in offers.
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE RegisterProgram(BSTR keyName, BSTR menuName, BSTR url, BSTR path,
                                              LONG flags) override {
        return StoreEntry(keyName, menuName, url, path, static_cast<DWORD>(flags));
    }
    HRESULT STDMETHODCALLTYPE UnregisterProgram(BSTR keyName) override {
        return RemoveEntry(keyName);
    }

private:
    ~SessionManager() = default;
    std::atomic<ULONG> refs_{1};
    ServerHold hold_;
};

class Factory final : public IClassFactory {
public:
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
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) SessionManager();
        if (!object) return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? AddServerReference() : ReleaseServerReference();
        return S_OK;
    }

private:
    ~Factory() = default;
    std::atomic<ULONG> refs_{1};
    ServerHold hold_;
};

}  // namespace

void AddServerReference() {
    ++g_serverReferences;
}
void ReleaseServerReference() {
    --g_serverReferences;
}
long ServerReferences() {
    return g_serverReferences;
}

HRESULT GetSessionManagerFactory(REFIID iid, void** out) {
    auto* factory = new (std::nothrow) Factory();
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

}  // namespace plovane::standin
