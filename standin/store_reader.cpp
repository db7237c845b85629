#include "standin/store_reader.h"

#include <algorithm>
#include <cwchar>

#include "common/unique_handle.h"

namespace plovane::standin {

MarkReadHook g_markReadHook = nullptr;

namespace {

enum class Read { Whole, Missing, OutOfMemory };

// A text value with or without its terminating NUL (entries written by others may lack it),
// never read beyond the bytes the registry holds.
Read ReadText(HKEY entry, const wchar_t* name, unique_bstr& out, DWORD* expands = nullptr) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(entry, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && !(expands && type == REG_EXPAND_SZ))) {
        return Read::Missing;
    }
    if (expands) *expands = type == REG_EXPAND_SZ;
    unique_bstr text(SysAllocStringLen(nullptr, bytes / sizeof(wchar_t) + 1));
    if (!text) return Read::OutOfMemory;
    if (RegQueryValueExW(entry, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.get()),
                         &bytes) != ERROR_SUCCESS) {
        return Read::Missing;
    }
    UINT length = bytes / sizeof(wchar_t);
    while (length > 0 && text.get()[length - 1] == L'\0')
        --length;
    unique_bstr exact(SysAllocStringLen(text.get(), length));
    if (!exact) return Read::OutOfMemory;
    out = std::move(exact);
    return Read::Whole;
}

// A key name held in a text value, into a fixed buffer (no allocation, so a look at the store's
// state cannot run out of memory); false when there is none.
bool ReadKeyName(HKEY key, const wchar_t* name, wchar_t (&keyName)[kMaxKeyNameLength + 1]) {
    DWORD type = 0, bytes = sizeof(keyName) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(keyName), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        keyName[0] = L'\0';
        return false;
    }
    keyName[bytes / sizeof(wchar_t)] = L'\0';
    return keyName[0] != L'\0';
}

bool ReadFlags(HKEY entry, DWORD& flags) {
    DWORD type = 0, bytes = sizeof(flags);
    return RegQueryValueExW(entry, L"Flags", nullptr, &type, reinterpret_cast<BYTE*>(&flags),
                            &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD && bytes == sizeof(flags);
}

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
// A tenth of a second, in the 100 ns units of a key's time: more than any clock's tick.
constexpr ULONGLONG kSettledTicks = 1000000;

// False only when memory ran out; a damaged entry is still read.
bool ReadEntry(HKEY parent, const wchar_t* subkey, const wchar_t* keyName, MenuEntry& entry) {
    lstrcpynW(entry.keyName, keyName, kMaxKeyNameLength + 1);
    unique_hkey key;
    if (RegOpenKeyExW(parent, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        entry.damaged = true;
        return true;
    }
    // Its time first: a write after it leaves the entry to be read again by the next pass. A write
    // within the same tick of the clock would leave the time as read, so a time this recent is not
    // kept: the next pass (which that write's notification brings) reads the entry again.
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, &entry.written);
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    if (Ticks(entry.written) + kSettledTicks > Ticks(now)) entry.written = FILETIME();
    // Every value is read, even after a missing one, so that the menu can show what is there.
    bool whole = true;
    DWORD expands = 0;
    const struct {
        const wchar_t* name;
        unique_bstr* text;
        DWORD* expands;
    } texts[] = {{L"MenuName", &entry.menuName, nullptr},
                 {L"URL", &entry.url, nullptr},
                 {L"Path", &entry.path, &expands}};
    for (const auto& [name, text, expandable] : texts) {
        const Read read = ReadText(key.get(), name, *text, expandable);
        if (read == Read::OutOfMemory) return false;
        whole = whole && read == Read::Whole;
    }
    whole = ReadFlags(key.get(), entry.flags) && whole;
    entry.damaged = !whole || entry.path.length() == 0;
    entry.pathExpands = expands != 0;
    return true;
}

int CompareKeyNames(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) - CSTR_EQUAL;
}

// A name that can be a top-level entry of the store: a subkey's own name, never a path to one
// deeper down (a key inside an entry is no entry, whatever values it holds).
bool IsEntryName(const wchar_t* keyName) {
    return keyName[0] != L'\0' && !std::wcschr(keyName, L'\\');
}

bool SameMark(const StoreMark& a, const StoreMark& b) {
    return a.counted == b.counted && a.count == b.count && lstrcmpW(a.pending, b.pending) == 0;
}

void ReadMark(StoreMark& mark) {
    mark = StoreMark();
    unique_hkey journal, undo;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kJournalKeyPath, 0, KEY_READ, journal.put()) ==
        ERROR_SUCCESS) {
        DWORD type = 0, bytes = sizeof(mark.count);
        mark.counted =
            RegQueryValueExW(journal.get(), kJournalCountName, nullptr, &type,
                             reinterpret_cast<BYTE*>(&mark.count), &bytes) == ERROR_SUCCESS &&
            type == REG_DWORD && bytes == sizeof(mark.count);
        if (!mark.counted) mark.count = 0;
    }
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUndoKeyPath, 0, KEY_READ, undo.put()) == ERROR_SUCCESS &&
        (!ReadKeyName(undo.get(), kUndoKeyName, mark.pending) || !IsEntryName(mark.pending))) {
        mark.pending[0] = L'\0';
    }
}

// The key name a journal slot holds; false for a slot that names no entry (gone, not text, too
// long for a key name, or a path deeper into the store).
bool ReadJournaled(DWORD change, wchar_t (&keyName)[kMaxKeyNameLength + 1]) {
    unique_hkey journal;
    wchar_t slot[12];
    wsprintfW(slot, L"%lu", static_cast<unsigned long>(change % kJournalLength));
    return RegOpenKeyExW(HKEY_CURRENT_USER, kJournalKeyPath, 0, KEY_READ, journal.put()) ==
               ERROR_SUCCESS &&
           ReadKeyName(journal.get(), slot, keyName) && IsEntryName(keyName);
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
    StoreMark mark;
    ReadMark(mark);
    const Fingerprint now = ReadFingerprint();
    return !SameMark(mark, seen_) || now.exists != fingerprint_.exists ||
           now.subkeys != fingerprint_.subkeys ||
           CompareFileTime(&now.written, &fingerprint_.written) != 0;
}

// Beyond this many, changes are not listed one by one: the entries are shown anew.
constexpr size_t kMaxListedChanges = 256;
constexpr unsigned kMaxPassesAgain = 3;

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
    const MenuEntry* at = std::lower_bound(
        entries_.begin(), entries_.end(), entry.keyName,
        [](const MenuEntry& e, const wchar_t* k) { return CompareKeyNames(e.keyName, k) < 0; });
    const auto index = static_cast<size_t>(at - entries_.begin());
    const bool found = at != entries_.end() && CompareKeyNames(at->keyName, entry.keyName) == 0;
    if (!present) {
        if (found) {
            entries_.erase(index);
            Note(EntryChange::Erased, index);
        }
        return true;
    }
    entry.pass = pass_;  // newer than anything the pass in progress read of it
    if (found) {
        entries_[index] = std::move(entry);
        Note(EntryChange::Replaced, index);
        return true;
    }
    if (!entries_.insert(index, std::move(entry))) return false;
    Note(EntryChange::Inserted, index);
    return true;
}

StoreFollower::Look StoreFollower::Follow() {
    // Until a first pass has read the whole store, the few entries the journal names are not the
    // store: that pass reads them, and follows the journal from where it began when it ends.
    if (!based_) return Look::Same;
    for (int attempt = 0; attempt < 4; ++attempt) {
        StoreMark before;
        ReadMark(before);
        if (g_markReadHook) g_markReadHook();
        if (seen_.counted && !before.counted) return Look::Unsure;  // the journal went
        const DWORD from = seen_.counted ? seen_.count : 0;
        if (before.count - from > kJournalLength) return Look::Unsure;
        // Every key named since the last look, and the unfinished change's, now and then.
        heap_array<KeyRead> reads;
        wchar_t name[kMaxKeyNameLength + 1];
        bool whole = true;
        const auto read = [&](const wchar_t* keyName) {
            KeyRead key;
            whole = whole && ReadKey(keyName, before, key.entry, key.present) &&
                    reads.push_back(std::move(key));
        };
        // A slot that names no entry changes nothing here; the pass that follows sees the store.
        for (DWORD change = from + 1; change - from <= before.count - from && whole; ++change) {
            if (ReadJournaled(change, name)) read(name);
        }
        if (before.pending[0] && whole) read(before.pending);
        if (seen_.pending[0] && whole) read(seen_.pending);
        if (!whole) {
            whole_ = false;
            return Look::Unsure;
        }
        if (reads.empty()) return Look::Same;
        StoreMark after;
        ReadMark(after);
        if (!SameMark(before, after)) continue;  // a change ran meanwhile: read it all again
        for (KeyRead& key : reads) {
            if (!Apply(std::move(key.entry), key.present)) {
                whole_ = false;
                return Look::Unsure;
            }
        }
        seen_ = before;
        return Look::Changed;
    }
    return Look::Unsure;
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
    ReadMark(passMark_);
    fingerprint_ = ReadFingerprint();
}

// Where the pass goes on: after the last key it read, wherever keys added or removed since have
// moved it in the registry's order.
DWORD StoreFollower::Resume(HKEY store) const {
    if (passIndex_ == 0) return 0;
    wchar_t name[kMaxKeyNameLength + 1];
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

bool StoreFollower::ContinuePass(DWORD budgetMs) {
    if (!passing_) return false;
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) !=
        ERROR_SUCCESS) {
        return FinishPass();
    }
    passIndex_ = Resume(store.get());
    const ULONGLONG end = GetTickCount64() + budgetMs;
    for (;;) {
        wchar_t name[kMaxKeyNameLength + 1];
        DWORD length = kMaxKeyNameLength + 1;
        FILETIME written = {};
        if (RegEnumKeyExW(store.get(), passIndex_, name, &length, nullptr, nullptr, nullptr,
                          &written) != ERROR_SUCCESS) {
            return FinishPass();
        }
        ++passIndex_;
        lstrcpynW(passLast_, name, kMaxKeyNameLength + 1);
        MenuEntry* held = std::lower_bound(
            entries_.begin(), entries_.end(), static_cast<const wchar_t*>(name),
            [](const MenuEntry& e, const wchar_t* k) { return CompareKeyNames(e.keyName, k) < 0; });
        if (held != entries_.end() && CompareKeyNames(held->keyName, name) == 0 &&
            CompareFileTime(&held->written, &written) == 0) {
            held->pass = pass_;
        } else {
            MenuEntry entry;
            if (!ReadEntry(store.get(), name, name, entry) ||
                !passFound_.push_back(std::move(entry))) {
                passing_ = false;
                whole_ = false;
                passFound_.clear();
                return false;
            }
        }
        if (GetTickCount64() >= end) return false;
    }
}

// What the pass found replaces what was held, what it did not find is gone, and then the changes
// journaled since it started (and the one unfinished then) are read again over what it read.
bool StoreFollower::FinishPass() {
    passing_ = false;
    size_t gone = 0;
    for (const MenuEntry& e : entries_)
        gone += e.pass != pass_;
    // A few changes are made one by one, so that what shows the entries changes only them.
    const bool few = passFound_.size() + gone <= kMaxListedChanges / 4 && !entries_.empty();
    if (!(few ? FinishPassByEntry() : FinishPassWhole())) return true;
    seen_ = passMark_;
    based_ = true;
    const bool unsure = Follow() == Look::Unsure;
    // A store that still counts other than what was read had keys stepped over (or changed by
    // another program meanwhile): one more pass, though not for ever under a storm of changes.
    const Fingerprint now = ReadFingerprint();
    const bool miscounted = now.exists ? now.subkeys != entries_.size() : !entries_.empty();
    passesAgain_ = unsure || miscounted ? passesAgain_ + 1 : 0;
    if (whole_ && (unsure || miscounted) && passesAgain_ <= kMaxPassesAgain) StartPass();
    return true;
}

bool StoreFollower::FinishPassByEntry() {
    for (MenuEntry& found : passFound_) {
        if (!Apply(std::move(found), true)) {
            whole_ = false;
            passFound_.clear();
            return false;
        }
    }
    passFound_.clear();
    // A key removed before the pass's place while it read on moves the keys after it down one,
    // so the pass may have stepped over one: an entry it did not find is looked up on its own.
    for (size_t i = entries_.size(); i-- > 0;) {
        if (entries_[i].pass == pass_) continue;
        MenuEntry entry;
        bool present = false;
        if (!ReadKey(entries_[i].keyName, passMark_, entry, present)) {
            whole_ = false;
            return false;
        }
        if (present) {
            entries_[i] = std::move(entry);
            entries_[i].pass = pass_;
            Note(EntryChange::Replaced, i);
        } else {
            entries_.erase(i);
            Note(EntryChange::Erased, i);
        }
    }
    return true;
}

bool StoreFollower::FinishPassWhole() {
    renewed_ = true;
    changes_.clear();
    const size_t held = entries_.size();
    for (MenuEntry& found : passFound_) {
        if (!entries_.push_back(std::move(found))) {
            whole_ = false;
            passFound_.clear();
            size_t i = 0;
            entries_.keep_if([&](const MenuEntry&) { return i++ < held; });
            return false;
        }
        entries_[entries_.size() - 1].pass = pass_;
    }
    passFound_.clear();
    const auto before = [](const MenuEntry& a, const MenuEntry& b) {
        return CompareKeyNames(a.keyName, b.keyName) < 0;
    };
    // Stable, so that of two of the same name the one found by this pass comes last.
    if (entries_.size() > held) std::stable_sort(entries_.begin(), entries_.end(), before);
    // Of two of the same name the one found later (the newer read) stays; and an entry the pass
    // did not find is gone.
    for (size_t i = 1; i < entries_.size(); ++i) {
        if (CompareKeyNames(entries_[i - 1].keyName, entries_[i].keyName) == 0) {
            entries_[i - 1].pass = 0;
        }
    }
    entries_.keep_if([this](const MenuEntry& e) { return e.pass == pass_; });
    return true;
}

heap_array<MenuEntry> StoreFollower::TakeEntries() {
    heap_array<MenuEntry> taken;
    taken.swap(entries_);
    renewed_ = true;
    return taken;
}

bool ReadCurrentEntry(const wchar_t* keyName, MenuEntry& entry) {
    bool present = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        StoreMark before, after;
        ReadMark(before);
        MenuEntry read;
        if (!ReadKey(keyName, before, read, present)) return false;
        ReadMark(after);
        entry = std::move(read);
        if (SameMark(before, after)) break;  // else a change ran meanwhile: read it again
    }
    return present;
}

bool ReadMenuEntries(heap_array<MenuEntry>& entries) {
    StoreFollower follower;
    follower.StartPass();
    for (int passes = 0; follower.passing() && follower.whole(); ++passes)
        follower.ContinuePass(INFINITE);
    if (!follower.whole()) return false;
    entries = follower.TakeEntries();
    return true;
}

}  // namespace plovane::standin
