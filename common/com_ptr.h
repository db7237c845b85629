#pragma once
#include <unknwn.h>

#include <utility>

namespace plovane {

// Owns one counted reference. Move-only so that every extra reference is taken on purpose, with
// copy(); put() releases what was held before handing out the slot for an out-parameter.
template <class T>
class com_ptr {
public:
    com_ptr() = default;
    explicit com_ptr(T* attached) noexcept : p_(attached) {}
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~com_ptr() { reset(); }

    void reset() noexcept {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(p_, nullptr); }
    com_ptr copy() const noexcept {
        if (p_) p_->AddRef();
        return com_ptr(p_);
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace plovane
