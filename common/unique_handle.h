#pragma once
#include <windows.h>

#include <utility>

namespace plovane {

// One move-only owner for the plain handle types; each traits type names the handle, its empty
// value and how it is closed.
template <class Traits>
class unique_resource {
public:
    using type = typename Traits::type;
    unique_resource() = default;
    explicit unique_resource(type attached) noexcept : h_(attached) {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : h_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    void reset(type next = Traits::invalid()) noexcept {
        type old = std::exchange(h_, next);
        if (old != Traits::invalid() && old != next) Traits::close(old);
    }
    type* put() noexcept {
        reset();
        return &h_;
    }
    type release() noexcept { return std::exchange(h_, Traits::invalid()); }
    type get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::invalid(); }

private:
    type h_ = Traits::invalid();
};

struct handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { CloseHandle(h); }
};
struct hkey_traits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { RegCloseKey(h); }
};
struct hwnd_traits {
    using type = HWND;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DestroyWindow(h); }
};
struct hmodule_traits {
    using type = HMODULE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { FreeLibrary(h); }
};
struct hgdiobj_traits {
    using type = HGDIOBJ;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DeleteObject(h); }
};

using unique_handle = unique_resource<handle_traits>;
using unique_hkey = unique_resource<hkey_traits>;
using unique_hwnd = unique_resource<hwnd_traits>;
using unique_hmodule = unique_resource<hmodule_traits>;
using unique_hgdiobj = unique_resource<hgdiobj_traits>;

// Holds a named mutex for one scope, or for none when it is not had within timeoutMs; an
// abandoned mutex still serializes, so it counts as held.
class mutex_lock {
public:
    explicit mutex_lock(HANDLE mutex, DWORD timeoutMs = INFINITE) noexcept : mutex_(mutex) {
        DWORD r = mutex_ ? WaitForSingleObject(mutex_, timeoutMs) : WAIT_FAILED;
        held_ = (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED);
    }
    mutex_lock(const mutex_lock&) = delete;
    mutex_lock& operator=(const mutex_lock&) = delete;
    ~mutex_lock() {
        if (held_) ReleaseMutex(mutex_);
    }
    bool held() const noexcept { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

}  // namespace plovane
