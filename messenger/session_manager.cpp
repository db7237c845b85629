#include "messenger/session_manager.h"

namespace plovane::messenger {

HRESULT CreateSessionManager(com_ptr<ISessionManager>& out) {
    return CoCreateInstance(kSessionManagerClsid, nullptr, CLSCTX_SERVER, kSessionManagerIid,
                            out.put_void());
}

}  // namespace plovane::messenger
