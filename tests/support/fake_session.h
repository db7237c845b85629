#pragma once
#include <windows.h>

#include <oleauto.h>

#include <string>
#include <vector>

#include "common/unique_bstr.h"
#include "messenger/session_manager.h"

namespace plovane::testing {

// One call that reached the session manager: its function-table slot and its arguments, each
// kept with its exact length so that a cut-off or padded BSTR shows.
struct SessionCall {
    int slot;
    std::vector<std::wstring> texts;
    std::vector<bool> nullTexts;
    LONG flags = -1;
};

// A session manager that records every call, answers with programmable statuses and counts its
// references. It lives on the test's stack, so a count that reaches zero is seen, not freed.
class FakeSessionManager final : public messenger::ISessionManager {
public:
    HRESULT registerResult = S_OK;
    HRESULT unregisterResult = S_OK;
    std::vector<SessionCall> calls;

    long references() const { return refs_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs_); }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return Unexpected(3); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return Unexpected(4); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return Unexpected(5); }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return Unexpected(6); }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return Unexpected(7); }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return Unexpected(8); }
    HRESULT STDMETHODCALLTYPE RegisterProgram(BSTR keyName, BSTR menuName, BSTR url, BSTR path,
                                              LONG flags) override;
    HRESULT STDMETHODCALLTYPE UnregisterProgram(BSTR keyName) override;

private:
    HRESULT Unexpected(int slot);
    long refs_ = 0;
};

// Serves the fake for the session manager's CLSID in this thread's apartment, so that the
// window's real CoCreateInstance finds it; revoked again when this object goes.
class RegisteredFake final : public IClassFactory {
public:
    explicit RegisteredFake(FakeSessionManager& fake);
    ~RegisteredFake();
    RegisteredFake(const RegisteredFake&) = delete;
    RegisteredFake& operator=(const RegisteredFake&) = delete;

    HRESULT status() const { return status_; }
    int instancesCreated() const { return created_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    FakeSessionManager& fake_;
    DWORD cookie_ = 0;
    HRESULT status_;
    int created_ = 0;
    ULONG refs_ = 1;
};

std::wstring FromBstr(BSTR b);
// A BSTR of exactly the text, embedded NULs included.
unique_bstr ToBstr(const std::wstring& text);

}  // namespace plovane::testing
