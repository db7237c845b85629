#pragma once
#include <windows.h>

#include <oleauto.h>

#include "common/com_ptr.h"

namespace plovane::messenger {

// MSN Messenger's session manager, as its private type library MessengerPrivate 1.0
// {53CED51D-432B-45B2-A3E0-0CE2C24235D4} describes the class and interface this tool uses.
// {E3A3B1D9-5675-43C0-BF04-37BE11939FB7}
inline constexpr CLSID kSessionManagerClsid = {
    0xE3A3B1D9, 0x5675, 0x43C0, {0xBF, 0x04, 0x37, 0xBE, 0x11, 0x93, 0x9F, 0xB7}};
// {305D86C6-6896-4099-91F5-CB7BA7733563}
inline constexpr IID kSessionManagerIid = {
    0x305D86C6, 0x6896, 0x4099, {0x91, 0xF5, 0xCB, 0x7B, 0xA7, 0x73, 0x35, 0x63}};

// Entries 3 to 8 belong to Messenger; this tool never calls them and declares them only so that
// the two operations it does call sit at entries 9 and 10 of the function table.
struct ISessionManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterProgram(BSTR keyName, BSTR menuName, BSTR url,
                                                      BSTR path, LONG flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterProgram(BSTR keyName) = 0;
};

// Makes a new session manager on the calling thread's apartment. No retry and no fallback: the
// caller gets a usable reference or the failing status.
HRESULT CreateSessionManager(com_ptr<ISessionManager>& out);

}  // namespace plovane::messenger
