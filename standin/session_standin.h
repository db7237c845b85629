#pragma once
#include <unknwn.h>

namespace plovane::standin {

// Objects and locks alive in this server; the DLL may unload only at zero.
void AddServerReference();
void ReleaseServerReference();
long ServerReferences();

// The class factory for the session-manager class, with one reference for the caller.
HRESULT GetSessionManagerFactory(REFIID iid, void** out);

}  // namespace plovane::standin
