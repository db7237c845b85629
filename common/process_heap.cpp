// The shipped programs allocate only with the non-throwing forms of new, straight from the
// process heap: a failure comes back as null, to be reported as E_OUTOFMEMORY, and no part of the
// C++ runtime's exception machinery is needed for it. The throwing forms are left undefined here
// on purpose: code that reached for them would bring that machinery back, and the size check of
// the shipped files would say so.
#include <windows.h>

#include <cstddef>
#include <new>

namespace {

void* Allocate(std::size_t bytes) noexcept {
    return HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
}

void Free(void* block) noexcept {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace

void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    return Allocate(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
    return Allocate(bytes);
}
void operator delete(void* block) noexcept {
    Free(block);
}
void operator delete[](void* block) noexcept {
    Free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    Free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    Free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    Free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    Free(block);
}
