#pragma once
#include <objidl.h>
#include <windows.h>

#include <cstddef>

namespace plovane::testing {

// Counts the task-memory blocks (BSTRs among them, with OANOCACHE=1) that are alive while it is
// registered. Blocks allocated before registration are not counted, nor freed blocks of theirs.
// COM may go on using a revoked spy until the last block it saw is freed, so the counting object
// itself is counted and lives as long as COM holds it.
class MallocSpy {
public:
    MallocSpy();
    ~MallocSpy();
    MallocSpy(const MallocSpy&) = delete;
    MallocSpy& operator=(const MallocSpy&) = delete;

    HRESULT status() const { return status_; }
    size_t live() const;
    // Makes the allocation n places from now (0: the next one) fail, as it would when memory ran
    // out; refusedOne() tells whether that allocation has come.
    void RefuseAllocation(long n);
    bool refusedOne() const;

private:
    class Counter;
    Counter* counter_;
    HRESULT status_;
};

}  // namespace plovane::testing
