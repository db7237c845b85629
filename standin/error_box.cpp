#include "standin/error_box.h"

namespace plovane::standin {
namespace {

// A standard box's copy: its title, text and buttons between dashed lines.
using CopiedText = text_buffer<4 * kMaxShownLength + 1024>;
constexpr wchar_t kRule[] = L"---------------------------\r\n";

struct ShownBox {
    const BoxText* text;
    const wchar_t* title;
};

// The box being shown; the Actions window has one thread, and its boxes are modal.
const ShownBox* g_shown = nullptr;

CopiedText Copied(HWND box, const ShownBox& shown) {
    CopiedText copied;
    copied.append(kRule).append(shown.title).append(L"\r\n").append(kRule);
    for (const wchar_t* at = shown.text->c_str(); *at; ++at) {
        if (*at == L'\n') copied.append(L'\r');
        copied.append(*at);
    }
    copied.append(L"\r\n").append(kRule);
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
        HWND button = GetDlgItem(box, id);
        if (!button || !IsWindowVisible(button)) continue;
        wchar_t label[64] = {};
        GetWindowTextW(button, label, 64);
        for (const wchar_t* at = label; *at; ++at) {
            if (*at != L'&') copied.append(*at);
        }
        copied.append(L"   ");
    }
    return copied.append(L"\r\n").append(kRule);
}

class OpenedClipboard {
public:
    explicit OpenedClipboard(HWND owner) : open_(OpenClipboard(owner) != FALSE) {}
    ~OpenedClipboard() {
        if (open_) CloseClipboard();
    }
    OpenedClipboard(const OpenedClipboard&) = delete;
    OpenedClipboard& operator=(const OpenedClipboard&) = delete;
    bool open() const { return open_; }

private:
    bool open_;
};

// The text in memory the clipboard can take; freed here unless the clipboard took it.
class ClipboardMemory {
public:
    explicit ClipboardMemory(const CopiedText& text)
        : memory_(GlobalAlloc(GMEM_MOVEABLE, (text.length() + 1) * sizeof(wchar_t))) {
        void* to = memory_ ? GlobalLock(memory_) : nullptr;
        if (!to) return;
        CopyMemory(to, text.c_str(), (text.length() + 1) * sizeof(wchar_t));
        GlobalUnlock(memory_);
        filled_ = true;
    }
    ~ClipboardMemory() {
        if (memory_) GlobalFree(memory_);
    }
    ClipboardMemory(const ClipboardMemory&) = delete;
    ClipboardMemory& operator=(const ClipboardMemory&) = delete;
    bool GiveToClipboard() {
        if (!filled_ || !SetClipboardData(CF_UNICODETEXT, memory_)) return false;
        memory_ = nullptr;
        return true;
    }

private:
    HGLOBAL memory_;
    bool filled_ = false;
};

void Copy(HWND box, const CopiedText& text) {
    ClipboardMemory memory(text);
    const OpenedClipboard clipboard(box);
    if (clipboard.open() && EmptyClipboard()) memory.GiveToClipboard();
}

bool IsCopyKey(const MSG& msg) {
    return msg.message == WM_KEYDOWN && (msg.wParam == 'C' || msg.wParam == VK_INSERT) &&
           GetKeyState(VK_CONTROL) < 0;
}

// The box's own loop hands each message here first; the copy key is taken before the box
// copies its broken lines.
LRESULT CALLBACK OnBoxMessage(int code, WPARAM wParam, LPARAM lParam) {
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == MSGF_DIALOGBOX && g_shown && msg && IsCopyKey(*msg)) {
        HWND box = GetAncestor(msg->hwnd, GA_ROOT);
        Copy(box, Copied(box, *g_shown));
        return TRUE;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

int ShowErrorBox(HWND owner, const BoxText& text, const wchar_t* title, UINT type) {
    const ShownBox shown = {&text, title};
    const ShownBox* outer = g_shown;
    g_shown = &shown;
    HHOOK hook = SetWindowsHookExW(WH_MSGFILTER, &OnBoxMessage, nullptr, GetCurrentThreadId());
    const int answer = MessageBoxW(owner, FitToScreen(text).c_str(), title, type);
    if (hook) UnhookWindowsHookEx(hook);
    g_shown = outer;
    return answer;
}

}  // namespace plovane::standin
