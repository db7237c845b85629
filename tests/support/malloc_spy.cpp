#include "tests/support/malloc_spy.h"

#include <atomic>
#include <set>

namespace plovane::testing {

class MallocSpy::Counter final : public IMallocSpy {
public:
    size_t live() const { return live_.size(); }
    void Refuse(long n) {
        countdown_ = n;
        refused_ = false;
    }
    bool refused() const { return refused_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) {
            *out = static_cast<IMallocSpy*>(this);
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
    // A zero answer makes COM fail the allocation.
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T request) override {
        if (countdown_ < 0 || countdown_-- > 0) return request;
        refused_ = true;
        return 0;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
        if (actual) live_.insert(actual);
        return actual;
    }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL spied) override {
        if (spied && request) live_.erase(request);
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest,
                                        BOOL spied) override {
        reallocating_ = spied ? request : nullptr;
        *newRequest = request;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL spied) override {
        if (spied && actual) {
            if (reallocating_) live_.erase(reallocating_);
            live_.insert(actual);
        }
        reallocating_ = nullptr;
        return actual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    ~Counter() = default;
    std::atomic<ULONG> refs_{1};
    std::set<void*> live_;
    void* reallocating_ = nullptr;
    long countdown_ = -1;
    bool refused_ = false;
};

MallocSpy::MallocSpy() : counter_(new Counter()), status_(CoRegisterMallocSpy(counter_)) {}

MallocSpy::~MallocSpy() {
    if (SUCCEEDED(status_)) CoRevokeMallocSpy();
    counter_->Release();
}

size_t MallocSpy::live() const {
    return counter_->live();
}

void MallocSpy::RefuseAllocation(long n) {
    counter_->Refuse(n);
}

bool MallocSpy::refusedOne() const {
    return counter_->refused();
}

}  // namespace plovane::testing
