#pragma once
#include <windows.h>

#include "common/base_window.h"
#include "common/heap_array.h"
#include "common/unique_handle.h"
#include "standin/store_reader.h"
#include "standin/store_watch.h"

namespace plovane::standin {

inline constexpr wchar_t kActionsTitle[] = L"Actions";
inline constexpr wchar_t kNoEntriesText[] = L"No programs are registered";
inline constexpr UINT kFirstEntryCommand = 1000;

// What Messenger's Actions menu would show: one menu listing the store's entries, following
// every change to the store, and starting the program of the entry chosen.
class ActionsMenu : public BaseWindow<ActionsMenu> {
public:
    ActionsMenu() = default;
    ~ActionsMenu() {
        DestroyOwnWindow();
        if (building_) DestroyMenu(building_);
    }

    bool Create(HINSTANCE instance);
    void Show(int showCommand);
    // Waits up to timeoutMs for a message or a change of the store and handles what came;
    // false once the loop is asked to end.
    bool RunOnce(DWORD timeoutMs);
    int Run();

    HMENU actionsMenu() const { return GetSubMenu(GetMenu(hwnd()), 0); }
    HWND statusBar() const { return status_; }
    const heap_array<MenuEntry>& entries() const { return entries_; }
    // A pass through the store, or a listing of the menu anew, is under way.
    bool reading() const { return follower_.passing() || building_ != nullptr; }

private:
    friend class BaseWindow<ActionsMenu>;
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void FollowStore();
    void ContinueReading();
    void ShowEntries();
    bool ApplyChanges(const heap_array<EntryChange>& changes);
    void StartBuilding();
    void ContinueBuilding(DWORD budgetMs);
    void SetPopup(HMENU popup);
    size_t Listed(HMENU menu) const;
    void FitTail(HMENU menu, size_t items);
    bool MayChangeEntries();
    void LookIfPutOff();
    void OnMenuSelect(UINT item, UINT flags);
    void StartEntry(size_t index);
    void ShowSummary() const;

    HWND status_ = nullptr;
    StoreWatch watch_;
    // The store as last read: the menu lists these entries, or is being built to.
    StoreFollower follower_;
    const heap_array<MenuEntry>& entries_ = follower_.entries();
    bool shown_ = false;
    // The menu being listed anew, in slices, and how many of the entries it lists so far.
    HMENU building_ = nullptr;
    size_t built_ = 0;
    // While the menu is open, or a program is being started, what the user chose stays as shown:
    // a look at the store waits, and is taken as soon as it may.
    bool menuOpen_ = false;
    bool starting_ = false;
    bool lookLater_ = false;
    int exitCode_ = 0;
};

}  // namespace plovane::standin
