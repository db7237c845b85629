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
    // When its key was last written as the reader saw it, and the last pass through the whole
    // store that found it: a pass reads again only the entries whose time moved.
    FILETIME written = {};
    unsigned pass = 0;
};

// What says whether the store changed while a reader read it: the journal's count and the key
// name of the change in progress (empty when none).
struct StoreMark {
    bool counted = false;
    DWORD count = 0;
    wchar_t pending[kMaxKeyNameLength + 1] = {};
};

// One change of a follower's entries, by position, for what shows them to make alike: an entry
// put in at position (those from there on one place further), taken out, or read again there.
struct EntryChange {
    enum Kind : unsigned char { Inserted, Erased, Replaced } kind;
    size_t position;
};

// Follows the store without its lock, so that no writer ever waits on a reader: entries are
// sorted by key name as the registry orders key names (without regard to case), an entry whose
// change is unfinished (its writer still at work, or dead) is held as it was before that change,
// and nothing is taken as read unless the journal and the undo record were the same before and
// after reading it, so no entry is ever held half written by a writer of ours.
class StoreFollower {
public:
    enum class Look { Same, Changed, Unsure };

    // Applies the changes the journal names since the last look, reading only their entries.
    // Unsure when the journal cannot say what changed (gone, outrun, or changing all the time the
    // entries were read): the whole store must be read through again.
    Look Follow();
    // Whether the store's own key moved (entries added or removed, or the store made anew) since
    // it was last looked at: a cheap look that needs no journal.
    bool StoreMoved() const;

    // A pass through the whole store, in slices, so that a reader can do other work in between.
    // Entries whose key kept its last-write time are not read again.
    void StartPass();
    bool passing() const { return passing_; }
    // Goes on with the pass for about budgetMs; true when that changed the entries (the pass
    // ended, its findings applied; another may have begun where the journal could not say what
    // changed meanwhile).
    bool ContinuePass(DWORD budgetMs);
    // False after memory ran out: the entries are then those held before.
    bool whole() const { return whole_; }

    const heap_array<MenuEntry>& entries() const { return entries_; }
    // The changes made to the entries since the last call, in order, into changes; true instead
    // when there were too many to list, and whatever shows the entries shows them all anew.
    bool TakeChanges(heap_array<EntryChange>& changes);
    heap_array<MenuEntry> TakeEntries();

private:
    struct Fingerprint {
        bool exists = false;
        DWORD subkeys = 0;
        FILETIME written = {};
    };
    static Fingerprint ReadFingerprint();
    bool Apply(MenuEntry&& entry, bool present);
    void Note(EntryChange::Kind kind, size_t position);
    bool FinishPassByEntry();
    bool FinishPassWhole();
    bool FinishPass();
    DWORD Resume(HKEY store) const;

    heap_array<MenuEntry> entries_;
    StoreMark seen_;
    bool based_ = false;  // a pass has read the whole store once
    Fingerprint fingerprint_;
    bool whole_ = true;
    heap_array<EntryChange> changes_;
    bool renewed_ = false;
    // The pass in progress: where it is, the mark it started from, what it read so far.
    bool passing_ = false;
    unsigned pass_ = 0;
    unsigned passesAgain_ = 0;
    DWORD passIndex_ = 0;
    wchar_t passLast_[kMaxKeyNameLength + 1] = {};
    StoreMark passMark_;
    heap_array<MenuEntry> passFound_;
};

// Every entry of the store as StoreFollower holds it, read at once. False, with entries
// untouched, when memory ran out.
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
