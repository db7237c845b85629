#pragma once
#include "bench/timing.h"

namespace plovane::bench {

// Presses Register and Unregister on an in-process window whose session manager counts its
// references; prints references, live BSTRs, resident memory and latency before and after.
int RunInProcess(int presses);

// Resident memory of a Wine process (the caller's own for a pid of 0), read from Linux.
long ResidentKiB(long unixPid, const char* field);

}  // namespace plovane::bench
