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
    // The path was stored as REG_EXPAND_SZ, as .reg files and regedit often store paths: it names
    // its program once its environment variables are expanded.
    bool pathExpands = false;
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
//
// The journal only says where to look first; what settles the entries is a pass through the
// whole store, which anyone may have changed (regedit, a .reg import, a cleaner, another tool).
// A follower is used as: Follow (our own changes shown at once), then StartPass and ContinuePass
// until it ends; and Moved, a few calls, to know when to do that again.
class StoreFollower {
public:
    enum class Look { Same, Changed, Unsure };

    // Reads the entries the journal names since the last look (slots that name no top-level key
    // are passed over). Unsure when the journal cannot say (gone, outrun, or changing all the time
    // the entries were read). Never the whole story: a pass must follow.
    Look Follow();
    // Whether the journal, the change in progress, or the store key's existence, number of
    // subkeys or last-write time differ from what the last pass started from.
    bool Moved() const;

    // A pass through the whole store, in slices, so that a reader can do other work in between.
    // Its subkeys' names and last-write times are enumerated without opening them, and only the
    // entries whose time moved (or that are new) are read again.
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
    // The pass in progress: where it is, the mark and the store key's fingerprint it started
    // from, what it read so far.
    bool passing_ = false;
    unsigned pass_ = 0;
    unsigned passesAgain_ = 0;
    DWORD passIndex_ = 0;
    wchar_t passLast_[kMaxKeyNameLength + 1] = {};
    StoreMark passMark_;
    heap_array<MenuEntry> passFound_;
};

// For tests only, like the store's own fault hooks: when set, it is called each time a look has
// read the journal's mark and before it reads the entries named, where a writer may start.
using MarkReadHook = void (*)();
// It starts null, before any code runs; the check cannot see that from here.
extern MarkReadHook g_markReadHook;  // NOLINT(bugprone-dynamic-static-initializers)

// Every entry of the store as StoreFollower holds it, read at once. False, with entries
// untouched, when memory ran out.
bool ReadMenuEntries(heap_array<MenuEntry>& entries);

// The entry keyName as the store holds it at this moment (for an unfinished change, as it was
// before it), read without the lock. False where there is no such top-level entry, or memory ran
// out.
bool ReadCurrentEntry(const wchar_t* keyName, MenuEntry& entry);

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
