#include "tests/support/malloc_spy.h"

namespace plovane::testing {

MallocSpy::MallocSpy() : status_(CoRegisterMallocSpy(this)) {}

MallocSpy::~MallocSpy() {
    if (SUCCEEDED(status_)) CoRevokeMallocSpy();
}

HRESULT MallocSpy::QueryInterface(REFIID iid, void** out) {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) {
        *out = static_cast<IMallocSpy*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

void* MallocSpy::PostAlloc(void* actual) {
    if (actual) live_.insert(actual);
    return actual;
}

void* MallocSpy::PreFree(void* request, BOOL spied) {
    if (spied && request) live_.erase(request);
    return request;
}

SIZE_T MallocSpy::PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL spied) {
    reallocating_ = spied ? request : nullptr;
    *newRequest = request;
    return size;
}

void* MallocSpy::PostRealloc(void* actual, BOOL spied) {
    if (spied && actual) {
        if (reallocating_) live_.erase(reallocating_);
        live_.insert(actual);
    }
    reallocating_ = nullptr;
    return actual;
}

}  // namespace plovane::testing
