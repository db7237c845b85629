#pragma once
// For tests only, and not exported from the server: faults the store's writer can be made to meet.
#include <windows.h>

namespace plovane::standin {

// When set, asked before each value write of an entry (by EntryValue), and a status other than
// ERROR_SUCCESS is taken as that write's own.
using ValueWriteFault = LSTATUS (*)(int value);
// It starts null, before any code runs; the check cannot see that from here.
extern ValueWriteFault g_valueWriteFault;  // NOLINT(bugprone-dynamic-static-initializers)

// When set, asked before the undo record is deleted, and a status other than ERROR_SUCCESS is
// taken as that deletion's own (nothing is deleted).
using UndoForgetFault = LSTATUS (*)();
extern UndoForgetFault g_undoForgetFault;  // NOLINT(bugprone-dynamic-static-initializers)

}  // namespace plovane::standin
