// What Wine itself takes to list a store's entries: a window that appends N items to its menu, as
// the Actions window's items are made (the same texts and flags), and nothing else. Started by
// store-bench beside actions-menu.exe; its title says when the items are all in.
#include <windows.h>

namespace {

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void AppendItems(HMENU menu, int count) {
    for (int i = 0; i < count; ++i) {
        wchar_t text[32];
        wsprintfW(text, L"Menu key-%05d", i);
        MENUITEMINFOW item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_STRING | MIIM_STATE | MIIM_ID | MIIM_FTYPE;
        item.fType = MFT_STRING;
        item.fState = MFS_ENABLED;
        item.wID = 1000 + static_cast<UINT>(i);
        item.dwTypeData = text;
        InsertMenuItemW(menu, static_cast<UINT>(i), TRUE, &item);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
    int count = 0;
    for (const wchar_t* digit = commandLine; *digit >= L'0' && *digit <= L'9'; ++digit)
        count = count * 10 + (*digit - L'0');
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"PlovaneMenuAppend";
    if (!RegisterClassExW(&wc)) return 1;
    HMENU bar = CreateMenu();
    HWND hwnd =
        CreateWindowExW(0, wc.lpszClassName, L"Appending", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 420, 140, nullptr, bar, instance, nullptr);
    if (!hwnd) return 1;
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);
    HMENU items = CreatePopupMenu();
    AppendItems(items, count);
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(items), L"&Actions");
    DrawMenuBar(hwnd);
    SetWindowTextW(hwnd, L"Appended");
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
