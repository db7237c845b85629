#include "tests/support/fake_session.h"

#include <gtest/gtest.h>

namespace plovane::testing {

std::wstring FromBstr(BSTR b) {
    return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}

unique_bstr ToBstr(const std::wstring& text) {
    return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

HRESULT FakeSessionManager::QueryInterface(REFIID iid, void** out) {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, messenger::kSessionManagerIid)) {
        *out = static_cast<messenger::ISessionManager*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeSessionManager::Unexpected(int slot) {
    ADD_FAILURE() << "function-table entry " << slot << " was called";
    calls.push_back({slot, {}, {}});
    return E_UNEXPECTED;
}

HRESULT FakeSessionManager::RegisterProgram(BSTR keyName, BSTR menuName, BSTR url, BSTR path,
                                            LONG flags) {
    SessionCall call{9, {}, {}, flags};
    for (BSTR b : {keyName, menuName, url, path}) {
        call.texts.push_back(FromBstr(b));
        call.nullTexts.push_back(b == nullptr);
    }
    calls.push_back(call);
    return registerResult;
}

HRESULT FakeSessionManager::UnregisterProgram(BSTR keyName) {
    calls.push_back({10, {FromBstr(keyName)}, {keyName == nullptr}});
    return unregisterResult;
}

RegisteredFake::RegisteredFake(FakeSessionManager& fake)
    : fake_(fake),
      status_(CoRegisterClassObject(messenger::kSessionManagerClsid, this, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie_)) {}

RegisteredFake::~RegisteredFake() {
    if (SUCCEEDED(status_)) CoRevokeClassObject(cookie_);
}

HRESULT RegisteredFake::QueryInterface(REFIID iid, void** out) {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT RegisteredFake::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (outer) return CLASS_E_NOAGGREGATION;
    ++created_;
    return fake_.QueryInterface(iid, out);
}

}  // namespace plovane::testing
