#include "standin/actions_menu.h"

#include <commctrl.h>
#include <shellapi.h>

#include "common/system_text.h"
#include "common/text_buffer.h"
#include "standin/store.h"

namespace plovane::standin {
namespace {

constexpr wchar_t kClassName[] = L"PlovaneActionsMenu";

// From HKCU\Software down to the store, each level that exists is watched for its subkeys
// coming and going, and the store itself for every change within it: a key deleted, or made
// again (a new key), is then always seen by its parent's watch, whatever its own watch reports.
constexpr const wchar_t* kWatchedPaths[] = {
    L"Software", L"Software\\Plovane", L"Software\\Plovane\\Messenger Stand-in", kStoreKeyPath};
static_assert(sizeof(kWatchedPaths) / sizeof(kWatchedPaths[0]) == ActionsMenu::kWatchedLevels);

// Where no watch could be armed, or the store's lock could not be had, the window looks again
// this often, so that it never stops following the store.
constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT kRetryMs = 1000;

// Longer texts are cut, so that no one entry can keep the menu (or its status line) from
// showing: Windows fails to open a popup with an item of some millions of characters.
constexpr size_t kMaxShownLength = 260;

// Room for two cut texts and their words, or a cut name with every character doubled.
using MenuText = text_buffer<2 * kMaxShownLength + 64>;
using BoxText = text_buffer<2 * kMaxShownLength + 640>;

// A character that would not read as itself: a tab moves what follows into a menu item's
// shortcut column (or the status line's next part), a line break shows as a box.
bool IsControl(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

template <class Text>
Text& AppendShown(Text& out, const wchar_t* text, size_t length, bool doubleAmpersands = false) {
    size_t kept = length;
    if (length > kMaxShownLength) {
        kept = kMaxShownLength - 1;
        if (IS_HIGH_SURROGATE(text[kept - 1])) --kept;  // never half a character
    }
    for (size_t i = 0; i < kept; ++i) {
        out.append(IsControl(text[i]) ? L' ' : text[i]);
        if (doubleAmpersands && text[i] == L'&')
            out.append(L'&');  // shown as typed, never as a mnemonic
    }
    if (kept < length) out.append(L'\x2026');
    return out;
}

template <class Text>
Text& AppendShown(Text& out, const unique_bstr& text, bool doubleAmpersands = false) {
    return AppendShown(out, text.get() ? text.get() : L"", text.length(), doubleAmpersands);
}

// Empty, or spaces and control characters alone: as a menu item, a blank line that starts
// something all the same.
bool ShowsBlank(const unique_bstr& text) {
    for (UINT i = 0; i < text.length(); ++i) {
        if (text.get()[i] != L' ' && !IsControl(text.get()[i])) return false;
    }
    return true;
}

// The entry as the user knows it: by its menu name, or by its key name, marked, where the menu
// name cannot be shown.
template <class Text>
Text& AppendName(Text& out, const MenuEntry& entry, bool doubleAmpersands) {
    if (!entry.damaged && !ShowsBlank(entry.menuName))
        return AppendShown(out, entry.menuName, doubleAmpersands);
    AppendShown(out, entry.keyName, static_cast<size_t>(lstrlenW(entry.keyName)), doubleAmpersands);
    return out.append(entry.damaged ? L" (damaged)" : L" (no menu name)");
}

MenuText ItemText(const MenuEntry& entry) {
    MenuText text;
    AppendName(text, entry, true);
    return text;
}

template <class Text>
void AppendDescribed(Text& out, DWORD error) {
    wchar_t described[512];
    if (SystemText(error, described, 512)) {
        out.append(described);
    } else {
        out.append(L"error ").append_number(error);
    }
}

// Explorer's "Copy as path" puts the path in quotes; one pair around the whole of it is not part
// of the path, for the file as for its folder. Any other quote is left to the system to refuse.
unique_bstr Unquoted(const unique_bstr& path) {
    const UINT length = path.length();
    const bool quoted = length >= 2 && path.get()[0] == L'"' && path.get()[length - 1] == L'"';
    return unique_bstr(quoted ? SysAllocStringLen(path.get() + 1, length - 2)
                              : SysAllocStringLen(path.get(), length));
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
    changed_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!status_ || !changed_) return false;
    Reload();
    return true;
}

void ActionsMenu::Show(int showCommand) {
    ShowWindow(hwnd(), showCommand);
    UpdateWindow(hwnd());
}

bool ActionsMenu::WatchStore() {
    for (unique_hkey& key : watched_)
        key.reset();
    // Armed from the top down, so a level that does not open (not made yet), or that refuses
    // its watch (ERROR_KEY_DELETED: deleted since it was opened), ends the walk at an armed
    // parent that sees it come or saw it go.
    size_t armed = 0;
    for (; armed < kWatchedLevels; ++armed) {
        const BOOL store = armed + 1 == kWatchedLevels;
        const DWORD filter = REG_NOTIFY_CHANGE_NAME | (store ? REG_NOTIFY_CHANGE_LAST_SET : 0);
        unique_hkey& key = watched_[armed];
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kWatchedPaths[armed], 0, KEY_NOTIFY, key.put()) !=
                ERROR_SUCCESS ||
            RegNotifyChangeKeyValue(key.get(), store, filter, changed_.get(), TRUE) !=
                ERROR_SUCCESS) {
            key.reset();
            break;
        }
    }
    return armed > 0;
}

void ActionsMenu::Reload() {
    // Armed again before reading, so that a change made while reading is not missed.
    const bool watching = WatchStore();
    const bool read = ReadMenuEntries(entries_);
    if (watching && read) {
        KillTimer(hwnd(), kRetryTimer);
    } else {
        SetTimer(hwnd(), kRetryTimer, kRetryMs, nullptr);
    }
    HMENU menu = actionsMenu();
    while (GetMenuItemCount(menu) > 0)
        DeleteMenu(menu, 0, MF_BYPOSITION);
    if (entries_.empty())
        AppendMenuW(menu, MF_STRING | MF_GRAYED, kFirstEntryCommand - 1, kNoEntriesText);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const UINT flags = MF_STRING | (entries_[i].damaged ? MF_GRAYED : 0);
        AppendMenuW(menu, flags, kFirstEntryCommand + i, ItemText(entries_[i]).c_str());
    }
    DrawMenuBar(hwnd());
    ShowSummary();
}

void ActionsMenu::ShowSummary() const {
    MenuText text;
    if (entries_.empty()) {
        text.append(kNoEntriesText);
    } else {
        text.append_number(static_cast<unsigned long>(entries_.size()))
            .append(entries_.size() == 1 ? L" program registered" : L" programs registered");
    }
    SetWindowTextW(status_, text.c_str());
}

bool ActionsMenu::RunOnce(DWORD timeoutMs) {
    HANDLE changed = changed_.get();
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(1, &changed, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) Reload();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            exitCode_ = static_cast<int>(msg.wParam);
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
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
            if (wParam != kRetryTimer) break;
            KillTimer(hwnd(), kRetryTimer);
            Reload();
            return 0;
        case WM_MENUSELECT:
            OnMenuSelect(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_COMMAND: {
            const UINT id = LOWORD(wParam);
            if (id >= kFirstEntryCommand && id - kFirstEntryCommand < entries_.size()) {
                StartEntry(id - kFirstEntryCommand);
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
    const MenuEntry& entry = entries_[item - kFirstEntryCommand];
    MenuText text;
    AppendShown(text.append(L"Key: "), entry.keyName, static_cast<size_t>(lstrlenW(entry.keyName)));
    if (entry.damaged) {
        text.append(L"    damaged: it cannot be started");
    } else {
        AppendShown(text.append(L"    URL: "), entry.url);
    }
    SetWindowTextW(status_, text.c_str());
}

void ActionsMenu::StartEntry(size_t index) {
    const MenuEntry& entry = entries_[index];
    if (entry.damaged) return;
    const unique_bstr file = Unquoted(entry.path);
    const unique_bstr folder = FolderOf(file);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.hwnd = hwnd();
    info.lpFile = file.get();
    info.lpDirectory = folder.length() ? folder.get() : nullptr;
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) return;
    const DWORD error = GetLastError();
    BoxText text;
    AppendName(text.append(L"The program of \""), entry, false);
    AppendShown(text.append(L"\" could not be started.\n\n"), entry.path).append(L"\n\n");
    AppendDescribed(text, error);
    MessageBoxW(hwnd(), text.c_str(), kActionsTitle, MB_OK | MB_ICONHAND);
}

}  // namespace plovane::standin
