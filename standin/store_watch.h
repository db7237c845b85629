#pragma once
#include <windows.h>

#include "common/unique_handle.h"

namespace plovane::standin {

// What wakes the Actions window when anyone changes the store. Every level from HKCU\Software
// down to the store is watched (the store itself for every change within it, the levels above for
// keys coming and going), so that a deletion or re-creation is seen by a parent; and the store is
// watched a second time for the window's half-second look alone.
class StoreWatch {
public:
    static constexpr size_t kLevels = 4;

    // False when its events cannot be made.
    bool Create();
    // Arms every watch anew: any change made from then on signals changed() and is Written.
    void Arm();
    HANDLE changed() const { return changed_.get(); }
    // Whether anything within the store was written since the watches were armed, by the look's
    // own watch: a value changed inside an entry moves no key the look reads, and the window may
    // have missed its notification. It reports each write once.
    bool Written();
    // Whether each watch still stands (a deleted key's watch never fires again) and the first
    // level that was not there to watch is still not there.
    bool Stands() const;

private:
    unique_handle changed_;
    unique_handle written_;
    unique_hkey levels_[kLevels];
    unique_hkey store_;
};

}  // namespace plovane::standin
