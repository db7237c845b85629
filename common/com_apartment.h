#pragma once
#include <objbase.h>

namespace plovane {

// The calling thread's single-threaded apartment, for the scope of this object.
class com_apartment {
public:
    com_apartment() noexcept : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;
    ~com_apartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    HRESULT status() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace plovane
