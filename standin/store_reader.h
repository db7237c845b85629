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

// Every entry of the store, sorted by key name, read under the store's lock so that no entry is
// seen half written. A store that does not exist yet has no entries.
std::vector<MenuEntry> ReadMenuEntries();

}  // namespace plovane::standin
