#include "standin/store_watch.h"

#include "standin/store_format.h"

namespace plovane::standin {
namespace {

constexpr const wchar_t* kLevelPaths[] = {L"Software", L"Software\\Plovane",
                                          L"Software\\Plovane\\Messenger Stand-in", kStoreKeyPath};
static_assert(sizeof(kLevelPaths) / sizeof(kLevelPaths[0]) == StoreWatch::kLevels);

// Opens path and watches it, within its subkeys too where subtree is set; false, with key closed,
// where the key does not open or refuses its watch (ERROR_KEY_DELETED: deleted since opened).
bool Watch(unique_hkey& key, const wchar_t* path, BOOL subtree, HANDLE event) {
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | (subtree ? REG_NOTIFY_CHANGE_LAST_SET : 0);
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_NOTIFY | KEY_QUERY_VALUE, key.put()) ==
            ERROR_SUCCESS &&
        RegNotifyChangeKeyValue(key.get(), subtree, filter, event, TRUE) == ERROR_SUCCESS) {
        return true;
    }
    key.reset();
    return false;
}

}  // namespace

bool StoreWatch::Create() {
    changed_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    written_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return changed_ && written_;
}

void StoreWatch::Arm() {
    // Closing a watched key signals its watch (under Wine): that is no change, and it is cleared
    // before the new watches are armed, never after, or a change made between the two would be
    // lost and its watch spent with it.
    for (unique_hkey& key : levels_)
        key.reset();
    store_.reset();
    ResetEvent(changed_.get());
    ResetEvent(written_.get());
    // From the top down, so a level that is not there ends the walk at an armed parent that sees
    // it come or saw it go.
    size_t level = 0;
    while (level < kLevels &&
           Watch(levels_[level], kLevelPaths[level], level + 1 == kLevels, changed_.get())) {
        ++level;
    }
    if (level == kLevels) Watch(store_, kStoreKeyPath, TRUE, written_.get());
}

bool StoreWatch::Written() {
    return WaitForSingleObject(written_.get(), 0) == WAIT_OBJECT_0;
}

bool StoreWatch::Stands() const {
    for (size_t level = 0; level < kLevels; ++level) {
        if (!levels_[level]) {
            unique_hkey made;
            return RegOpenKeyExW(HKEY_CURRENT_USER, kLevelPaths[level], 0, KEY_READ, made.put()) !=
                   ERROR_SUCCESS;
        }
        if (RegQueryInfoKeyW(levels_[level].get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr) == ERROR_KEY_DELETED) {
            return false;
        }
    }
    return true;
}

}  // namespace plovane::standin
