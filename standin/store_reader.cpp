#include "standin/store_reader.h"

#include <algorithm>

#include "common/unique_handle.h"

namespace plovane::standin {
namespace {

enum class Read { Whole, Missing, OutOfMemory };

// A text value with or without its terminating NUL (entries written by others may lack it),
// never read beyond the bytes the registry holds. A path may be stored to be expanded. Most texts
// fit a small buffer: one call to the registry reads them.
Read ReadText(HKEY entry, EntryValue value, unique_bstr& out, bool& expands) {
    wchar_t small[128];
    DWORD type = 0, bytes = sizeof(small);
    const wchar_t* name = kEntryValueNames[value];
    LSTATUS status =
        RegQueryValueExW(entry, name, nullptr, &type, reinterpret_cast<BYTE*>(small), &bytes);
    unique_bstr large;
    const wchar_t* text = small;
    if (status == ERROR_MORE_DATA) {
        large = unique_bstr(SysAllocStringLen(nullptr, bytes / sizeof(wchar_t) + 1));
        if (!large) return Read::OutOfMemory;
        status = RegQueryValueExW(entry, name, nullptr, &type, reinterpret_cast<BYTE*>(large.get()),
                                  &bytes);
        text = large.get();
    }
    if (status != ERROR_SUCCESS ||
        !(type == REG_SZ || (value == kPathValue && type == REG_EXPAND_SZ))) {
        return Read::Missing;
    }
    expands = type == REG_EXPAND_SZ;
    UINT length = bytes / sizeof(wchar_t);
    while (length > 0 && text[length - 1] == L'\0')
        --length;
    unique_bstr exact(SysAllocStringLen(text, length));
    if (!exact) return Read::OutOfMemory;
    out = std::move(exact);
    return Read::Whole;
}

bool ReadFlags(HKEY entry, DWORD& flags) {
    DWORD type = 0, bytes = sizeof(flags);
    return RegQueryValueExW(entry, kEntryValueNames[kFlagsValue], nullptr, &type,
                            reinterpret_cast<BYTE*>(&flags), &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD && bytes == sizeof(flags);
}

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
// A tenth of a second, in the 100 ns units of a key's time: more than any clock's tick.
constexpr ULONGLONG kSettledTicks = 1000000;

// False only when memory ran out; a damaged entry is still read. written is its key's time where
// the caller has it from the enumeration, or null.
bool ReadEntry(HKEY parent, const wchar_t* subkey, const wchar_t* keyName, MenuEntry& entry,
               const FILETIME* written = nullptr) {
    lstrcpynW(entry.keyName, keyName, kMaxKeyNameLength + 1);
    unique_hkey key;
    if (RegOpenKeyExW(parent, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        entry.damaged = true;
        return true;
    }
    // Its time first: a write after it leaves the entry to be read again by the next pass. A write
    // within the same tick of the clock would leave the time as read, so a time this recent is not
    // kept: the next pass (which that write's notification brings) reads the entry again.
    if (written) {
        entry.written = *written;
    } else {
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &entry.written);
    }
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    if (Ticks(entry.written) + kSettledTicks > Ticks(now)) entry.written = FILETIME();
    // Every value is read, even after a missing one, so that the menu can show what is there.
    unique_bstr* const texts[] = {&entry.menuName, &entry.url, &entry.path};
    bool whole = true;
    for (const EntryValue value : {kMenuNameValue, kUrlValue, kPathValue}) {
        bool expands = false;
        const Read read = ReadText(key.get(), value, *texts[value], expands);
        if (read == Read::OutOfMemory) return false;
        whole = whole && read == Read::Whole;
        if (value == kPathValue) entry.pathExpands = expands;
    }
    whole = ReadFlags(key.get(), entry.flags) && whole;
    entry.damaged = !whole || entry.path.length() == 0;
    return true;
}

// The key name a journal slot holds; false for a slot that names no entry (gone, not text, too
// long for a key name, or a path deeper into the store).
bool ReadJournaled(DWORD change, KeyName& keyName) {
    unique_hkey journal;
    JournalSlotName slot;
    return RegOpenKeyExW(HKEY_CURRENT_USER, kJournalKeyPath, 0, KEY_READ, journal.put()) ==
               ERROR_SUCCESS &&
           ReadKeyName(journal.get(), JournalSlot(change, slot), keyName) && IsEntryName(keyName);
}

// The entry keyName as the store holds it for readers: for the change in progress, as it was
// before that change. present is false where there is no such entry.
bool ReadKey(const wchar_t* keyName, const StoreMark& mark, MenuEntry& entry, bool& present) {
    present = false;
    if (!IsEntryName(keyName)) return true;
    lstrcpynW(entry.keyName, keyName, kMaxKeyNameLength + 1);
    const bool unfinished = mark.pending[0] && CompareKeyNames(keyName, mark.pending) == 0;
    unique_hkey parent, key;
    const wchar_t* path = unfinished ? kUndoKeyPath : kStoreKeyPath;
    const wchar_t* subkey = unfinished ? kUndoEntryName : keyName;
    present = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, parent.put()) == ERROR_SUCCESS &&
              RegOpenKeyExW(parent.get(), subkey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    key.reset();
    return !present || ReadEntry(parent.get(), subkey, keyName, entry);
}

struct KeyRead {
    MenuEntry entry;
    bool present = false;
};

// Where keyName is, or would go, among entries sorted by key name.
size_t Place(const heap_array<MenuEntry>& entries, const wchar_t* keyName) {
    const MenuEntry* at = std::lower_bound(
        entries.begin(), entries.end(), keyName,
        [](const MenuEntry& e, const wchar_t* k) { return CompareKeyNames(e.keyName, k) < 0; });
    return static_cast<size_t>(at - entries.begin());
}

bool Holds(const heap_array<MenuEntry>& entries, size_t at, const wchar_t* keyName) {
    return at < entries.size() && CompareKeyNames(entries[at].keyName, keyName) == 0;
}

// Stable, so that of two of the same name the one read later stays last.
void SortByKey(heap_array<MenuEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const MenuEntry& a, const MenuEntry& b) {
        return CompareKeyNames(a.keyName, b.keyName) < 0;
    });
}

// Beyond this many, changes are not listed one by one: the entries are shown anew.
constexpr size_t kMaxListedChanges = 256;
constexpr unsigned kMaxPassesAgain = 3;

}  // namespace

StoreFollower::Fingerprint StoreFollower::ReadFingerprint() {
    Fingerprint print;
    unique_hkey store;
    print.exists =
        RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) ==
            ERROR_SUCCESS &&
        RegQueryInfoKeyW(store.get(), nullptr, nullptr, nullptr, &print.subkeys, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, &print.written) == ERROR_SUCCESS;
    return print;
}

bool StoreFollower::Moved() const {
    const Fingerprint now = ReadFingerprint();
    return ReadMark() != seen_ || now.exists != fingerprint_.exists ||
           now.subkeys != fingerprint_.subkeys ||
           CompareFileTime(&now.written, &fingerprint_.written) != 0;
}

void StoreFollower::Note(EntryChange::Kind kind, size_t position) {
    if (renewed_) return;
    if (changes_.size() >= kMaxListedChanges || !changes_.push_back({kind, position})) {
        renewed_ = true;
        changes_.clear();
    }
}

bool StoreFollower::TakeChanges(heap_array<EntryChange>& changes) {
    changes.clear();
    changes.swap(changes_);
    const bool renewed = renewed_;
    renewed_ = false;
    return renewed;
}

bool StoreFollower::Apply(MenuEntry&& entry, bool present) {
    const size_t at = Place(entries_, entry.keyName);
    const bool found = Holds(entries_, at, entry.keyName);
    if (!present) {
        if (found) {
            entries_.erase(at);
            Note(EntryChange::Erased, at);
        }
        return true;
    }
    entry.pass = pass_;  // newer than anything the pass in progress read of it
    if (found) {
        entries_[at] = std::move(entry);
        Note(EntryChange::Replaced, at);
        return true;
    }
    if (!entries_.insert(at, std::move(entry))) return false;
    Note(EntryChange::Inserted, at);
    return true;
}

void StoreFollower::Look() {
    FollowJournal();
    if (passing_) {
        again_ = true;  // it may already be past what changed
    } else {
        StartPass();
    }
}

// Reads the entries the journal names since the entries were last settled, and the one whose
// change is unfinished (now, and when last settled). False when the journal cannot say (gone,
// outrun, or changing all the time the entries were read), or memory ran out.
bool StoreFollower::FollowJournal() {
    // Until a first pass has read the whole store, the few entries the journal names are not the
    // store: that pass reads them, and follows the journal from where it began when it ends.
    if (!based_) return true;
    heap_array<KeyRead> reads;
    bool memory = true;
    StoreMark read;
    const bool settled = ReadUnchanged(
        [&](const StoreMark& before) {
            reads.clear();
            if (seen_.counted && !before.counted) return false;  // the journal went
            const DWORD from = seen_.counted ? seen_.count : 0;
            if (before.count - from > kJournalLength) return false;  // slots overwritten
            const auto readKey = [&](const wchar_t* keyName) {
                KeyRead key;
                memory = memory && ReadKey(keyName, before, key.entry, key.present) &&
                         reads.push_back(std::move(key));
            };
            // A slot that names no entry changes nothing here; the pass sees the store.
            for (DWORD change = from + 1; change - from <= before.count - from && memory;
                 ++change) {
                KeyName name;
                if (ReadJournaled(change, name)) readKey(name);
            }
            if (before.pending[0] && memory) readKey(before.pending);
            if (seen_.pending[0] && memory) readKey(seen_.pending);
            return memory;
        },
        &read);
    if (!memory) whole_ = false;
    if (!settled) return false;
    for (KeyRead& key : reads) {
        if (!Apply(std::move(key.entry), key.present)) {
            whole_ = false;
            return false;
        }
    }
    seen_ = read;
    return true;
}

void StoreFollower::StartPass() {
    passing_ = true;
    whole_ = true;
    ++pass_;
    passIndex_ = 0;
    passLast_[0] = L'\0';
    passFound_.clear();
    // Both taken before the first key is enumerated: whatever moves after this is seen by Moved
    // and read by the next pass, even a change behind this pass's place that nothing journaled.
    passMark_ = ReadMark();
    fingerprint_ = ReadFingerprint();
}

// Where the pass goes on: after the last key it read, wherever keys added or removed since have
// moved it in the registry's order.
DWORD StoreFollower::Resume(HKEY store) const {
    if (passIndex_ == 0) return 0;
    KeyName name;
    DWORD length = kMaxKeyNameLength + 1;
    if (RegEnumKeyExW(store, passIndex_ - 1, name, &length, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS &&
        CompareKeyNames(name, passLast_) == 0) {
        return passIndex_;
    }
    DWORD low = 0, high = 0;
    RegQueryInfoKeyW(store, nullptr, nullptr, nullptr, &high, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    while (low < high) {
        const DWORD middle = low + (high - low) / 2;
        length = kMaxKeyNameLength + 1;
        if (RegEnumKeyExW(store, middle, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (CompareKeyNames(name, passLast_) <= 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

void StoreFollower::ContinuePass(DWORD budgetMs) {
    if (!passing_) return;
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) !=
        ERROR_SUCCESS) {
        FinishPass();
        return;
    }
    passIndex_ = Resume(store.get());
    const ULONGLONG end = GetTickCount64() + budgetMs;
    for (;;) {
        KeyName name;
        DWORD length = kMaxKeyNameLength + 1;
        FILETIME written = {};
        if (RegEnumKeyExW(store.get(), passIndex_, name, &length, nullptr, nullptr, nullptr,
                          &written) != ERROR_SUCCESS) {
            FinishPass();
            return;
        }
        ++passIndex_;
        lstrcpynW(passLast_, name, kMaxKeyNameLength + 1);
        const size_t at = Place(entries_, name);
        if (Holds(entries_, at, name) && CompareFileTime(&entries_[at].written, &written) == 0) {
            entries_[at].pass = pass_;
        } else {
            MenuEntry entry;
            if (!ReadEntry(store.get(), name, name, entry, &written) ||
                !passFound_.push_back(std::move(entry))) {
                passing_ = false;
                whole_ = false;
                passFound_.clear();
                return;
            }
        }
        if (GetTickCount64() >= end) return;
    }
}

// What the pass found replaces what was held, what it did not find is gone, and then the changes
// journaled since it started (and the one unfinished then) are read again over what it read.
void StoreFollower::FinishPass() {
    passing_ = false;
    const bool merged = ReadMissed() && Merge();
    passFound_.clear();
    if (!merged) {
        whole_ = false;
        return;
    }
    seen_ = passMark_;
    based_ = true;
    const bool sure = FollowJournal();
    // A store that counts other than what was read had keys stepped over, or changed meanwhile.
    const Fingerprint now = ReadFingerprint();
    const bool counted = now.exists ? now.subkeys == entries_.size() : entries_.empty();
    unsure_ = sure && counted ? 0 : unsure_ + 1;
    const bool again = again_ || (unsure_ > 0 && unsure_ <= kMaxPassesAgain);
    again_ = false;
    if (again && whole_) StartPass();
}

// A key removed before the pass's place while it read on moves the keys after it down one, so
// the pass may have stepped over one: each entry held that the enumeration did not find is looked
// up on its own, and found with the rest where it is there (or its change is unfinished).
bool StoreFollower::ReadMissed() {
    SortByKey(passFound_);
    heap_array<MenuEntry> missed;
    for (const MenuEntry& held : entries_) {
        if (held.pass == pass_ || Holds(passFound_, Place(passFound_, held.keyName), held.keyName))
            continue;
        MenuEntry entry;
        bool present = false;
        if (!ReadKey(held.keyName, passMark_, entry, present)) return false;
        if (present && !missed.push_back(std::move(entry))) return false;
    }
    if (missed.empty()) return true;
    if (!passFound_.reserve(passFound_.size() + missed.size())) return false;
    for (MenuEntry& entry : missed)
        passFound_.push_back(std::move(entry));
    SortByKey(passFound_);
    return true;
}

// Walks what was held and what the pass found, both in order, into the new entries, noting each
// step for what shows them: an entry found is put in or read again, one held and neither found
// nor seen unchanged is taken out.
bool StoreFollower::Merge() {
    heap_array<MenuEntry> merged;
    if (!merged.reserve(entries_.size() + passFound_.size())) return false;
    size_t held = 0, found = 0;
    while (held < entries_.size() || found < passFound_.size()) {
        int order = 1;
        if (held == entries_.size()) {
            order = 1;
        } else if (found == passFound_.size()) {
            order = -1;
        } else {
            order = CompareKeyNames(entries_[held].keyName, passFound_[found].keyName);
        }
        // Of two found of the same name (a key come to twice while keys moved), the later read.
        if (order >= 0 && found + 1 < passFound_.size() &&
            CompareKeyNames(passFound_[found].keyName, passFound_[found + 1].keyName) == 0) {
            ++found;
            continue;
        }
        const size_t at = merged.size();
        if (order < 0) {
            if (entries_[held].pass == pass_) {
                merged.push_back(std::move(entries_[held]));
            } else {
                Note(EntryChange::Erased, at);
            }
            ++held;
            continue;
        }
        held += order == 0 ? 1 : 0;
        Note(order == 0 ? EntryChange::Replaced : EntryChange::Inserted, at);
        passFound_[found].pass = pass_;
        merged.push_back(std::move(passFound_[found++]));
    }
    entries_.swap(merged);
    return true;
}

bool ReadCurrentEntry(const wchar_t* keyName, MenuEntry& entry) {
    bool present = false, memory = true;
    MenuEntry read;
    // Under a storm of changes the last read stands: it is what the store held a moment ago.
    ReadUnchanged([&](const StoreMark& mark) {
        read = MenuEntry();
        memory = ReadKey(keyName, mark, read, present);
        return memory;
    });
    if (!memory) return false;
    entry = std::move(read);
    return present;
}

}  // namespace plovane::standin
