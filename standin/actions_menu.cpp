#include "standin/actions_menu.h"

#include <commctrl.h>
#include <shellapi.h>

#include "common/system_text.h"
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

std::wstring Shown(const std::wstring& text) {
    if (text.size() <= kMaxShownLength) return text;
    size_t kept = kMaxShownLength - 1;
    if (IS_HIGH_SURROGATE(text[kept - 1])) --kept;  // never half a character
    return text.substr(0, kept) + L'\x2026';
}

std::wstring MenuText(const MenuEntry& entry) {
    if (entry.damaged) return Shown(entry.keyName) + L" (damaged)";
    std::wstring text;
    for (wchar_t c : Shown(entry.menuName)) {
        text += c;
        if (c == L'&') text += L'&';  // shown as typed, never as a mnemonic
    }
    return text;
}

std::wstring Described(DWORD error) {
    const std::wstring text = SystemText(error);
    return text.empty() ? L"error " + std::to_wstring(error) : text;
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
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
        AppendMenuW(menu, flags, kFirstEntryCommand + i, MenuText(entries_[i]).c_str());
    }
    DrawMenuBar(hwnd());
    SetWindowTextW(status_, Summary().c_str());
}

std::wstring ActionsMenu::Summary() const {
    if (entries_.empty()) return kNoEntriesText;
    return std::to_wstring(entries_.size()) +
           (entries_.size() == 1 ? L" program registered" : L" programs registered");
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
    std::wstring text = Summary();
    if (flags != 0xFFFF && !(flags & MF_POPUP) && item >= kFirstEntryCommand &&
        item - kFirstEntryCommand < entries_.size()) {
        const MenuEntry& entry = entries_[item - kFirstEntryCommand];
        text = L"Key: " + Shown(entry.keyName) +
               (entry.damaged ? L"    damaged: it cannot be started"
                              : L"    URL: " + Shown(entry.url));
    }
    SetWindowTextW(status_, text.c_str());
}

void ActionsMenu::StartEntry(size_t index) {
    const MenuEntry& entry = entries_[index];
    if (entry.damaged) return;
    const std::wstring folder = FolderOf(entry.path);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.hwnd = hwnd();
    info.lpFile = entry.path.c_str();
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) return;
    const std::wstring text = L"The program of \"" + Shown(entry.menuName) +
                              L"\" could not be started.\n\n" + Shown(entry.path) + L"\n\n" +
                              Described(GetLastError());
    MessageBoxW(hwnd(), text.c_str(), kActionsTitle, MB_OK | MB_ICONHAND);
}

}  // namespace plovane::standin
