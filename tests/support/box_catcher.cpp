#include "tests/support/box_catcher.h"

namespace plovane::testing {
namespace {

thread_local BoxCatcher* t_catcher = nullptr;

constexpr int kPromptId = 0xFFFF;
constexpr int kIconId = 0x440;

std::wstring TextOf(HWND hwnd) {
    wchar_t text[1024] = {};
    SendMessageW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

bool IsMessageBox(HWND hwnd) {
    wchar_t cls[32] = {};
    GetClassNameW(hwnd, cls, 32);
    return std::wstring(cls) == L"#32770" && GetDlgItem(hwnd, kPromptId);
}

CaughtBox Read(HWND box) {
    CaughtBox caught;
    caught.title = TextOf(box);
    caught.prompt = TextOf(GetDlgItem(box, kPromptId));
    caught.owner = GetWindow(box, GW_OWNER);
    GetWindowRect(box, &caught.frame);
    HWND icon = GetDlgItem(box, kIconId);
    const auto shown = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
    caught.handIcon = icon && shown && shown == LoadIconW(nullptr, IDI_HAND);
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDHELP}) {
        HWND button = GetDlgItem(box, id);
        // The box itself may not be shown yet when it is activated: ask the button's own style.
        if (button && (GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE))
            caught.buttons.push_back(id);
    }
    return caught;
}

void Press(HWND box, const CaughtBox& caught) {
    const int id = caught.buttons.empty() ? IDOK : caught.buttons.front();
    PostMessageW(GetDlgItem(box, id), BM_CLICK, 0, 0);
}

}  // namespace

BoxCatcher::BoxCatcher() : hook_(SetWindowsHookExW(WH_CBT, &Hook, nullptr, GetCurrentThreadId())) {
    t_catcher = this;
}

BoxCatcher::~BoxCatcher() {
    UnhookWindowsHookEx(hook_);
    t_catcher = nullptr;
}

LRESULT CALLBACK BoxCatcher::Hook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && t_catcher) t_catcher->Catch(reinterpret_cast<HWND>(wParam));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void BoxCatcher::Catch(HWND box) {
    // A box may be activated more than once; read and press it only the first time.
    if (!IsMessageBox(box) || !seen_.insert(box).second) return;
    boxes_.push_back(Read(box));
    Press(box, boxes_.back());
}

bool CatchForeignBox(const std::wstring& title, CaughtBox& out, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < end) {
        HWND box = FindWindowW(L"#32770", title.c_str());
        if (box && IsWindowVisible(box) && GetDlgItem(box, kPromptId)) {
            out = Read(box);
            Press(box, out);
            // Until the box has gone, a press sent to its owner lands in the box's own loop,
            // where the owner drops it as one arriving during a press.
            while (IsWindow(box) && GetTickCount64() < end)
                Sleep(10);
            return !IsWindow(box);
        }
        Sleep(20);
    }
    return false;
}

}  // namespace plovane::testing

namespace plovane::testing {
namespace {

thread_local OpenBoxAnswer* t_answer = nullptr;
constexpr int kFileNameId = 0x47C;  // the file-name combo box of the Open box
constexpr int kFileTypeId = 0x470;  // its list of file types

}  // namespace

OpenBoxAnswer::OpenBoxAnswer(std::wstring path)
    : hook_(SetWindowsHookExW(WH_CBT, &Hook, nullptr, GetCurrentThreadId())),
      path_(std::move(path)) {
    t_answer = this;
}

OpenBoxAnswer::~OpenBoxAnswer() {
    UnhookWindowsHookEx(hook_);
    t_answer = nullptr;
}

LRESULT CALLBACK OpenBoxAnswer::Hook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && t_answer) t_answer->Answer(reinterpret_cast<HWND>(wParam));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The box fills its lists after it is first activated, so it is answered from a timer that
// runs inside its own loop once it is ready.
void OpenBoxAnswer::Answer(HWND box) {
    if (!GetDlgItem(box, kFileNameId) || !seen_.insert(box).second) return;
    ++shown_;
    owner_ = GetWindow(box, GW_OWNER);
    SetTimer(box, 1, 50, &OnReady);
}

void CALLBACK OpenBoxAnswer::OnReady(HWND box, UINT, UINT_PTR id, DWORD) {
    KillTimer(box, id);
    if (t_answer) t_answer->Finish(box);
}

void OpenBoxAnswer::Finish(HWND box) {
    HWND types = GetDlgItem(box, kFileTypeId);
    const auto count = SendMessageW(types, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t entry[256] = {};
        SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
        fileTypes_.push_back(entry);
    }
    Respond(box);
}

void OpenBoxAnswer::Respond(HWND box) {
    if (path_.empty()) {
        PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    SetWindowTextW(GetDlgItem(box, kFileNameId), path_.c_str());
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

}  // namespace plovane::testing
