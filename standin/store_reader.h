#pragma once
#include <windows.h>

#include "common/heap_array.h"
#include "common/unique_bstr.h"
#include "standin/store_format.h"

namespace plovane::standin {

// One entry of the store as the Actions menu shows it. A damaged entry (a value missing or of the
// wrong type) is still listed, so that nothing hides the others, but it cannot be started.
struct MenuEntry {
    KeyName keyName = {};
    unique_bstr menuName;
    unique_bstr url;
    unique_bstr path;
    DWORD flags = 0;
    bool damaged = false;
    // The path was stored as REG_EXPAND_SZ, as .reg files and regedit often store paths: it names
    // its program once its environment variables are expanded.
    bool pathExpands = false;
    // When its key was last written as it was read (zero where that was too recent to tell a
    // later write by), and the pass that last found it so: a pass reads again only the entries
    // whose time moved.
    FILETIME written = {};
    unsigned pass = 0;
};

// One change of a follower's entries, by position, for what shows them to make alike: an entry
// put in at position (those from there on one place further), taken out, or read again there.
struct EntryChange {
    enum Kind : unsigned char { Inserted, Erased, Replaced } kind;
    size_t position;
};

// Follows the store without its lock, so that no writer ever waits on a reader: entries are
// sorted by key name as the registry orders key names, an entry whose change is unfinished (its
// writer still at work, or dead) is held as it was before that change, and nothing is taken as
// read unless the store's mark was the same before and after reading it.
//
// Every Look reads at once the entries the journal names since the last one (so our own changes
// show without waiting), and then a pass through the whole store settles what anyone else
// changed: it enumerates the subkeys' names and last-write times without opening them, reads
// only the entries whose time moved and the new ones, and looks up on its own each entry it
// holds that the enumeration did not find. The pass runs in slices (ContinuePass); a look while
// one runs, or a pass that ends unsure of what it read, brings another after it. Moved, a few
// calls, says whether anything a pass starts from has changed since the last one started.
class StoreFollower {
public:
    void Look();
    void ContinuePass(DWORD budgetMs);
    bool passing() const { return passing_; }
    bool Moved() const;
    // False after memory ran out: the entries are then those held before.
    bool whole() const { return whole_; }

    const heap_array<MenuEntry>& entries() const { return entries_; }
    // The changes made to the entries since the last call, in order, into changes; true instead
    // when there were too many to list, and whatever shows the entries shows them all anew.
    bool TakeChanges(heap_array<EntryChange>& changes);

private:
    struct Fingerprint {
        bool exists = false;
        DWORD subkeys = 0;
        FILETIME written = {};
    };
    static Fingerprint ReadFingerprint();
    bool FollowJournal();
    bool Apply(MenuEntry&& entry, bool present);
    void Note(EntryChange::Kind kind, size_t position);
    void StartPass();
    void FinishPass();
    bool ReadMissed();
    bool Merge();
    DWORD Resume(HKEY store) const;

    heap_array<MenuEntry> entries_;
    // The journal's mark the entries follow from, once a first pass has read the whole store.
    StoreMark seen_;
    bool based_ = false;
    bool whole_ = true;
    heap_array<EntryChange> changes_;
    bool renewed_ = false;
    // The pass in progress: where it is, the mark and the store key's fingerprint it started
    // from (which Moved compares against), and the entries it read so far.
    bool passing_ = false;
    unsigned pass_ = 0;
    DWORD passIndex_ = 0;
    KeyName passLast_ = {};
    StoreMark passMark_;
    Fingerprint fingerprint_;
    heap_array<MenuEntry> passFound_;
    // Another pass follows the one in progress: a look came while it ran, perhaps behind its
    // place. unsure_ counts the passes in a row that ended unsure of what they read (the journal
    // outrun, or the store counting other than what was read); past a few, a storm of changes
    // waits for the next look.
    bool again_ = false;
    unsigned unsure_ = 0;
};

// The entry keyName as the store holds it at this moment (for an unfinished change, as it was
// before it), read without the lock. False where there is no such top-level entry, or memory ran
// out.
bool ReadCurrentEntry(const wchar_t* keyName, MenuEntry& entry);

}  // namespace plovane::standin
