#pragma once
#include <objidl.h>
#include <windows.h>

#include <set>

namespace plovane::testing {

// Counts the task-memory blocks (BSTRs among them, with OANOCACHE=1) that are alive while it is
// registered. Blocks allocated before registration are not counted, nor freed blocks of theirs.
class MallocSpy final : public IMallocSpy {
public:
    MallocSpy();
    ~MallocSpy();
    MallocSpy(const MallocSpy&) = delete;
    MallocSpy& operator=(const MallocSpy&) = delete;

    HRESULT status() const { return status_; }
    size_t live() const { return live_.size(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T request) override { return request; }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override;
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL spied) override;
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest,
                                        BOOL spied) override;
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL spied) override;
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    HRESULT status_;
    std::set<void*> live_;
    void* reallocating_ = nullptr;
};

}  // namespace plovane::testing
