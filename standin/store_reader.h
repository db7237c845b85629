#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace plovane::standin {

// One entry of the store as the Actions menu shows it. A damaged entry (a value missing or of the
// wrong type) is still listed, so that nothing hides the others, but it cannot be started.
struct MenuEntry {
    std::wstring keyName;
    std::wstring menuName;
    std::wstring url;
    std::wstring path;
    DWORD flags = 0;
    bool damaged = false;
};

// Every entry of the store, sorted by key name as the registry orders key names (without regard
// to case), read under the store's lock so that no entry is seen half written. An entry whose
// change was left unfinished (its writer died) is shown as it was before that change. A store
// that does not exist yet has no entries. False, with entries untouched, when the store's lock
// could not be had in time.
bool ReadMenuEntries(std::vector<MenuEntry>& entries);

// The names of the subkeys of key, in the registry's order; any failure ends the list, so a key
// deleted meanwhile gives what was read before.
std::vector<std::wstring> SubkeyNames(HKEY key);

}  // namespace plovane::standin
