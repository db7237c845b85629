#pragma once
#include <windows.h>

#include "common/heap_array.h"
#include "common/unique_bstr.h"
#include "standin/store.h"

namespace plovane::standin {

// One entry of the store as the Actions menu shows it. A damaged entry (a value missing or of the
// wrong type) is still listed, so that nothing hides the others, but it cannot be started.
struct MenuEntry {
    wchar_t keyName[kMaxKeyNameLength + 1] = {};
    unique_bstr menuName;
    unique_bstr url;
    unique_bstr path;
    DWORD flags = 0;
    bool damaged = false;
};

// Every entry of the store, sorted by key name as the registry orders key names (without regard
// to case), read under the store's lock so that no entry is seen half written. An entry whose
// change was left unfinished (its writer died) is shown as it was before that change. A store
// that does not exist yet has no entries. False, with entries untouched, when the store's lock
// could not be had in time or memory ran out.
bool ReadMenuEntries(heap_array<MenuEntry>& entries);

// Calls visit(name, length) for each subkey of key, in the registry's order, while it returns
// true. Any failure ends the walk, so a key deleted meanwhile gives what was read before.
template <class Visit>
void ForEachSubkey(HKEY key, Visit visit) {
    for (DWORD i = 0;; ++i) {
        wchar_t name[kMaxKeyNameLength + 1];
        DWORD length = kMaxKeyNameLength + 1;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS ||
            !visit(static_cast<const wchar_t*>(name), length)) {
            return;
        }
    }
}

}  // namespace plovane::standin
