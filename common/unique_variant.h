#pragma once
#include <windows.h>

#include <oleauto.h>

namespace plovane {

// Owns one VARIANT and clears it, with whatever it holds, when it goes.
class unique_variant {
public:
    unique_variant() noexcept { VariantInit(&v_); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { VariantClear(&v_); }

    VARIANT* put() noexcept {
        VariantClear(&v_);
        return &v_;
    }
    const VARIANT& get() const noexcept { return v_; }

private:
    VARIANT v_;
};

}  // namespace plovane
