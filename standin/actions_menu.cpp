#include "standin/actions_menu.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>

#include "standin/error_box.h"
#include "standin/shown_text.h"

namespace plovane::standin {
namespace {

constexpr wchar_t kClassName[] = L"PlovaneActionsMenu";

// Besides every change notification, the window checks this often, in a few calls, that its
// watches still stand and that the journal and the store key's size and time are as its last pass
// found them: a watch lost to a key deleted while it was armed, or a change no watch reported,
// is still read within a second.
constexpr UINT_PTR kLookTimer = 1;
constexpr UINT kLookMs = 500;
constexpr UINT kLookLaterMessage = WM_APP + 1;
// One slice of a pass through the whole store keeps the window from its messages no longer.
constexpr DWORD kSliceMs = 15;
// A store this small is read through before the window shows; a bigger one after, in slices,
// the window answering all the while.
constexpr DWORD kReadBeforeShowing = 1000;
// Commands carry a 16-bit identifier; entries beyond the last one are not listed.
constexpr size_t kMaxListed = 0xFFFF - kFirstEntryCommand + 1;
constexpr wchar_t kReadingText[] = L"Reading the registered programs\x2026";

// Explorer's "Copy as path" puts the path in quotes; one pair around the whole of it is not part
// of the path, for the file as for its folder. Any other quote is left to the system to refuse.
unique_bstr Unquoted(const unique_bstr& path) {
    const UINT length = path.length();
    const bool quoted = length >= 2 && path.get()[0] == L'"' && path.get()[length - 1] == L'"';
    return unique_bstr(quoted ? SysAllocStringLen(path.get() + 1, length - 2)
                              : SysAllocStringLen(path.get(), length));
}

// The path as Windows reads a REG_EXPAND_SZ value: its %variables% expanded.
unique_bstr Expanded(const unique_bstr& path) {
    const DWORD length = ExpandEnvironmentStringsW(path.get(), nullptr, 0);
    unique_bstr expanded(length ? SysAllocStringLen(nullptr, length - 1) : nullptr);
    if (!expanded || ExpandEnvironmentStringsW(path.get(), expanded.get(), length) != length)
        return unique_bstr(SysAllocStringLen(path.get(), path.length()));
    return expanded;
}

// The folder the program lies in, or an empty BSTR where the path names none.
unique_bstr FolderOf(const unique_bstr& path) {
    UINT slash = path.length();
    while (slash > 0 && path.get()[slash - 1] != L'\\' && path.get()[slash - 1] != L'/')
        --slash;
    return unique_bstr(SysAllocStringLen(path.get(), slash ? slash - 1 : 0));
}

}  // namespace

bool ActionsMenu::Create(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (!GetClassInfoExW(instance, kClassName, &wc)) {
        wc.lpfnWndProc = &WindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = kClassName;
        if (!RegisterClassExW(&wc)) return false;
    }
    HMENU bar = CreateMenu();
    HMENU actions = CreatePopupMenu();
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(actions), L"&Actions");
    // Top right of the screen, clear of where the system puts the tool's window.
    RECT work = {0, 0, 800, 600};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    constexpr int kWidth = 420, kHeight = 140;
    HWND hwnd =
        CreateWindowExW(0, kClassName, kActionsTitle, WS_OVERLAPPEDWINDOW, work.right - kWidth - 16,
                        work.top + 16, kWidth, kHeight, nullptr, bar, instance, this);
    if (!hwnd) {
        DestroyMenu(bar);
        return false;
    }
    status_ = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd,
                              nullptr, instance, nullptr);
    if (!status_ || !watch_.Create()) return false;
    watch_.Arm();
    follower_.Look();
    DWORD size = 0;
    unique_hkey store;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStoreKeyPath, 0, KEY_READ, store.put()) ==
        ERROR_SUCCESS) {
        RegQueryInfoKeyW(store.get(), nullptr, nullptr, nullptr, &size, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
    }
    while (size <= kReadBeforeShowing && follower_.passing())
        follower_.ContinuePass(INFINITE);
    SetTimer(hwnd, kLookTimer, kLookMs, nullptr);
    ShowEntries();
    if (size <= kReadBeforeShowing) ContinueBuilding(INFINITE);
    return true;
}

void ActionsMenu::Show(int showCommand) {
    ShowWindow(hwnd(), showCommand);
    UpdateWindow(hwnd());
}

bool ActionsMenu::MayChangeEntries() {
    if (!menuOpen_ && !starting_) return true;
    lookLater_ = true;
    return false;
}

// One way of following the store, whatever woke the window: the watches armed again, then what
// the journal names read at once (a Register or an Unregister of ours shows without waiting),
// then a pass through the whole store, which is what settles the entries. The journal is never
// taken as the whole story: anyone may change the store beside our writers, at the same moment.
void ActionsMenu::FollowStore() {
    if (!MayChangeEntries()) return;
    watch_.Arm();
    follower_.Look();
    ShowEntries();
}

void ActionsMenu::LookIfPutOff() {
    if (!lookLater_ || menuOpen_ || starting_) return;
    lookLater_ = false;
    PostMessageW(hwnd(), kLookLaterMessage, 0, 0);
}

void ActionsMenu::ContinueReading() {
    if (!(follower_.passing() || building_) || !MayChangeEntries()) return;
    if (building_) {
        ContinueBuilding(kSliceMs);
        return;
    }
    follower_.ContinuePass(kSliceMs);
    ShowEntries();
}

namespace {

UINT CommandOf(size_t position) {
    return kFirstEntryCommand + static_cast<UINT>(position);
}

void PutItem(HMENU menu, size_t position, const MenuEntry& entry, bool insert,
             const ShownFont& font) {
    const MenuText text = ItemText(entry, font);
    MENUITEMINFOW item = {};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_STRING | MIIM_STATE | MIIM_ID | MIIM_FTYPE;
    item.fType = MFT_STRING;
    item.fState = entry.damaged ? MFS_GRAYED : MFS_ENABLED;
    item.wID = CommandOf(position);
    item.dwTypeData = const_cast<wchar_t*>(text.c_str());
    if (insert) {
        InsertMenuItemW(menu, static_cast<UINT>(position), TRUE, &item);
    } else {
        SetMenuItemInfoW(menu, static_cast<UINT>(position), TRUE, &item);
    }
}

// Each item's command names its position, so items after a change are numbered again.
void Renumber(HMENU menu, size_t from, size_t to) {
    MENUITEMINFOW item = {};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_ID;
    for (size_t i = from; i < to; ++i) {
        item.wID = CommandOf(i);
        SetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item);
    }
}

}  // namespace

// The menu's items are the entries, one by one in their order, up to kMaxListed; a store of
// thousands is listed anew in slices (appending items one by one costs more the longer the menu
// grows), while the bar offers only a disabled item that says so, and a change of a few entries
// changes only their items.
void ActionsMenu::ShowEntries() {
    heap_array<EntryChange> changes;
    if (follower_.TakeChanges(changes) || !shown_ || !ApplyChanges(changes)) {
        shown_ = true;
        StartBuilding();
    }
    ShowSummary();
}

// The changes name positions as they were when each was made, and a later one may move an
// earlier one's entry: items are put in and taken out in order, and only then is each item a
// change touched given its entry's text as it is now, at the place it has come to.
bool ActionsMenu::ApplyChanges(const heap_array<EntryChange>& changes) {
    HMENU menu = building_ ? building_ : actionsMenu();
    size_t items = building_ ? built_ : Listed(menu);
    if (!building_ && items == 0) {
        while (GetMenuItemCount(menu) > 0)
            DeleteMenu(menu, 0, MF_BYPOSITION);  // the disabled item of an empty menu
    }
    heap_array<size_t> touched;
    size_t renumberFrom = items;
    for (const EntryChange& change : changes) {
        const size_t at = change.position;
        // An entry past the items listed so far comes with the rest of them.
        if (at > items || (at == items && (change.kind != EntryChange::Inserted || building_)))
            continue;
        if (change.kind == EntryChange::Erased) {
            DeleteMenu(menu, static_cast<UINT>(at), MF_BYPOSITION);
            --items;
            touched.keep_if([at](size_t t) { return t != at; });
            for (size_t& t : touched)
                t -= t > at ? 1 : 0;
        } else {
            if (change.kind == EntryChange::Inserted) {
                InsertMenuW(menu, static_cast<UINT>(at), MF_BYPOSITION | MF_STRING, CommandOf(at),
                            L"");
                ++items;
                for (size_t& t : touched)
                    t += t >= at ? 1 : 0;
            }
            if (!touched.push_back(size_t{at})) return false;
        }
        renumberFrom = renumberFrom < at ? renumberFrom : at;
    }
    const ShownFont font = MenuFont();
    for (size_t at : touched) {
        if (at < items && at < entries_.size()) PutItem(menu, at, entries_[at], false, font);
    }
    if (building_) {
        built_ = items;
    } else {
        FitTail(menu, items);
        items = Listed(menu);
    }
    Renumber(menu, renumberFrom, items);
    if (!building_ && !changes.empty()) DrawMenuBar(hwnd());
    return true;
}

// The number of entries the menu lists (its one disabled item, when there are none, is not one).
size_t ActionsMenu::Listed(HMENU menu) const {
    const int count = GetMenuItemCount(menu);
    if (count <= 0 || GetMenuItemID(menu, 0) == kFirstEntryCommand - 1) return 0;
    return static_cast<size_t>(count);
}

// Puts the disabled item in an empty menu, or takes it away, and keeps the menu to kMaxListed.
void ActionsMenu::FitTail(HMENU menu, size_t items) {
    const size_t wanted = entries_.size() < kMaxListed ? entries_.size() : kMaxListed;
    for (; items > wanted; --items)
        DeleteMenu(menu, static_cast<UINT>(items - 1), MF_BYPOSITION);
    const ShownFont font = MenuFont();
    for (; items < wanted; ++items)
        PutItem(menu, items, entries_[items], true, font);
    if (wanted == 0 && GetMenuItemCount(menu) == 0) {
        AppendMenuW(menu, MF_STRING | MF_GRAYED, kFirstEntryCommand - 1,
                    follower_.passing() ? kReadingText : kNoEntriesText);
    }
}

void ActionsMenu::StartBuilding() {
    if (building_) DestroyMenu(building_);
    building_ = CreatePopupMenu();
    built_ = 0;
    // Until the new menu is whole, the bar offers one disabled item that says it is coming.
    HMENU reading = CreatePopupMenu();
    AppendMenuW(reading, MF_STRING | MF_GRAYED, kFirstEntryCommand - 1, kReadingText);
    SetPopup(reading);
    ContinueBuilding(kSliceMs);
}

void ActionsMenu::SetPopup(HMENU popup) {
    // The item's old menu is destroyed with the change.
    ModifyMenuW(GetMenu(hwnd()), 0, MF_BYPOSITION | MF_POPUP, reinterpret_cast<UINT_PTR>(popup),
                L"&Actions");
    DrawMenuBar(hwnd());
}

void ActionsMenu::ContinueBuilding(DWORD budgetMs) {
    if (!building_) return;
    const size_t wanted = entries_.size() < kMaxListed ? entries_.size() : kMaxListed;
    const ULONGLONG end = GetTickCount64() + budgetMs;
    const ShownFont font = MenuFont();
    while (built_ < wanted && GetTickCount64() < end) {
        PutItem(building_, built_, entries_[built_], true, font);
        ++built_;
    }
    if (built_ < wanted) return;
    FitTail(building_, built_);
    SetPopup(building_);
    building_ = nullptr;
    ShowSummary();
}

void ActionsMenu::ShowSummary() const {
    MenuText text;
    if (building_ || (follower_.passing() && entries_.empty())) {
        text.append(kReadingText);
    } else if (entries_.empty()) {
        text.append(kNoEntriesText);
    } else {
        text.append_number(static_cast<unsigned long>(entries_.size()))
            .append(entries_.size() == 1 ? L" program registered" : L" programs registered");
    }
    SetWindowTextW(status_, text.c_str());
}

bool ActionsMenu::RunOnce(DWORD timeoutMs) {
    HANDLE changed = watch_.changed();
    // While the store is read through, messages are answered between slices of it.
    const DWORD wait = (follower_.passing() || building_) && !menuOpen_ ? 0 : timeoutMs;
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(1, &changed, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) FollowStore();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            exitCode_ = static_cast<int>(msg.wParam);
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    ContinueReading();
    return true;
}

int ActionsMenu::Run() {
    while (RunOnce(INFINITE)) {
    }
    return exitCode_;
}

LRESULT ActionsMenu::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_SIZE:
            SendMessageW(status_, WM_SIZE, 0, 0);
            return 0;
        case WM_TIMER:
            if (wParam != kLookTimer) break;
            if (watch_.Written() || !watch_.Stands() || follower_.Moved()) FollowStore();
            // A slice here too, so that a pass goes on while a modal loop (a box, a window being
            // moved) keeps the window's own loop from running.
            ContinueReading();
            return 0;
        case kLookLaterMessage:
            FollowStore();
            return 0;
        // What the open menu shows stays until it closes: then the look it put off is taken,
        // after the command chosen in it, which is already queued.
        case WM_ENTERMENULOOP:
            menuOpen_ = true;
            break;
        case WM_EXITMENULOOP:
            menuOpen_ = false;
            LookIfPutOff();
            break;
        case WM_MENUSELECT:
            OnMenuSelect(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_COMMAND: {
            const UINT id = LOWORD(wParam);
            if (id >= kFirstEntryCommand && id - kFirstEntryCommand < entries_.size()) {
                starting_ = true;
                StartEntry(id - kFirstEntryCommand);
                starting_ = false;
                LookIfPutOff();
                return 0;
            }
            break;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd(), msg, wParam, lParam);
}

void ActionsMenu::OnMenuSelect(UINT item, UINT flags) {
    if (flags == 0xFFFF || (flags & MF_POPUP) || item < kFirstEntryCommand ||
        item - kFirstEntryCommand >= entries_.size()) {
        ShowSummary();
        return;
    }
    const ShownFont font = MenuFont();
    SetWindowTextW(status_, StatusText(entries_[item - kFirstEntryCommand], font).c_str());
}

// What starts is what the store holds for the chosen key now, read again: an entry changed or
// removed since the menu was shown (by anyone) never starts what it held then. The menu is then
// brought up to date.
void ActionsMenu::StartEntry(size_t index) {
    MenuEntry entry;
    const bool present = ReadCurrentEntry(entries_[index].keyName, entry);
    if (!present || CompareFileTime(&entry.written, &entries_[index].written) != 0) {
        PostMessageW(hwnd(), kLookLaterMessage, 0, 0);
    }
    if (!present || entry.damaged) return;
    const unique_bstr expanded = entry.pathExpands ? Expanded(entry.path) : unique_bstr();
    const unique_bstr file = Unquoted(entry.pathExpands ? expanded : entry.path);
    const unique_bstr folder = FolderOf(file);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.hwnd = hwnd();
    info.lpFile = file.get();
    info.lpDirectory = folder.length() ? folder.get() : nullptr;
    info.nShow = SW_SHOWNORMAL;
    // Windows starts no program by a path this long, and Wine's shell overruns its own buffer on
    // one (the process dies): such a path is reported, never handed to the system.
    const bool tooLong = file.length() >= MAX_PATH;
    if (!tooLong && ShellExecuteExW(&info)) return;
    const DWORD error = tooLong ? static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE) : GetLastError();
    ShowErrorBox(hwnd(), StartFailureText(entry, error), kActionsTitle, MB_OK | MB_ICONHAND);
}

}  // namespace plovane::standin
