// Measures the tool from outside, as a user's machine would run it:
//   startup ROUNDS TOOL CLASS (EXE CLASS)...
//                                  time from CreateProcess to a visible, answering window, the
//                                  tool's against each of the others (the floor, the bare window)
//   same-window TOOLCLASS FLOORCLASS
//                                  fails unless the two running windows are built alike
//   wait-window CLASS              returns once such a window is visible
//   close-window CLASS             closes it
//   load UNIXPID PRESSES           Register and Unregister presses on the running tool, with
//                                  its resident memory (read from Linux) before and after
//   inproc PRESSES                 the same presses on an in-process window with a counting
//                                  session manager: references, BSTRs and latency
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/counting_session.h"
#include "bench/timing.h"
#include "tests/support/window_helpers.h"

namespace {

using plovane::bench::NowMs;
using plovane::bench::Percentile;

HWND WaitForWindow(const wchar_t* className, DWORD timeoutMs) {
    const double end = NowMs() + timeoutMs;
    while (NowMs() < end) {
        HWND hwnd = FindWindowW(className, nullptr);
        DWORD_PTR ignored = 0;
        if (hwnd && IsWindowVisible(hwnd) &&
            SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored)) {
            return hwnd;
        }
        Sleep(1);
    }
    return nullptr;
}

// One start of a program: milliseconds to its window, then closed and waited for.
double TimeOneStart(const std::wstring& exe, const wchar_t* className) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring line = L"\"" + exe + L"\"";
    const double start = NowMs();
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return -1;
    }
    HWND hwnd = WaitForWindow(className, 20000);
    const double took = hwnd ? NowMs() - start : -1;
    if (hwnd) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(info.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return took;
}

struct Program {
    std::wstring exe;
    std::wstring className;
};

// Starts each program in turn, round after round, each round beginning one program further on so
// that none always follows the same one. The first is the tool: each other program's ratio is the
// median of the tool's time over its time in the same round.
int Startup(const std::vector<Program>& programs, int rounds) {
    const size_t count = programs.size();
    for (int i = 0; i < 3; ++i) {  // warm-up: caches, the wineserver, the desktop
        for (const Program& p : programs)
            TimeOneStart(p.exe, p.className.c_str());
    }
    std::vector<std::vector<double>> times(count), ratios(count);
    std::vector<double> round(count);
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < count; ++k) {
            const size_t at = (static_cast<size_t>(r) + k) % count;
            round[at] = TimeOneStart(programs[at].exe, programs[at].className.c_str());
            if (round[at] < 0) return 2;
        }
        for (size_t at = 0; at < count; ++at) {
            times[at].push_back(round[at]);
            ratios[at].push_back(round[0] / round[at]);
        }
    }
    std::printf("startup_rounds=%d\n", rounds);
    for (size_t at = 0; at < count; ++at) {
        char name[64];
        std::snprintf(name, sizeof(name), "%ls", programs[at].className.c_str());
        std::printf("startup_ms.%s=%.1f\n", name, Percentile(times[at], 0.5));
        if (at > 0) std::printf("startup_ratio.%s=%.3f\n", name, Percentile(ratios[at], 0.5));
    }
    return 0;
}

// One window and its descendants as another process can see them.
std::wstring Describe(HWND hwnd, const RECT& origin, int depth) {
    wchar_t className[64] = L"", text[128] = L"";
    GetClassNameW(hwnd, className, 64);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 128, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        1000, &ignored);
    RECT r;
    GetWindowRect(hwnd, &r);
    wchar_t line[400];
    std::swprintf(
        line, 400, L"%*ls%ls id=%ld style=%08lX ex=%08lX at %ld,%ld %ldx%ld \"%ls\"\n", 2 * depth,
        L"", depth ? className : L"(frame)", static_cast<long>(GetWindowLongPtrW(hwnd, GWLP_ID)),
        static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_STYLE)),
        static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_EXSTYLE)), r.left - origin.left,
        r.top - origin.top, r.right - r.left, r.bottom - r.top, text);
    std::wstring out = line;
    for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        out += Describe(child, origin, depth + 1);
    return out;
}

// The floor stands for the tool's window only while it is the same window: same frame, same
// controls in the same order, with the same classes, styles, places and texts.
int SameWindow(const wchar_t* toolClass, const wchar_t* floorClass) {
    HWND tool = WaitForWindow(toolClass, 20000), floor = WaitForWindow(floorClass, 20000);
    if (!tool || !floor) return 2;
    RECT toolFrame, floorFrame;
    GetWindowRect(tool, &toolFrame);
    GetWindowRect(floor, &floorFrame);
    const std::wstring a = Describe(tool, toolFrame, 0), b = Describe(floor, floorFrame, 0);
    if (a == b) return 0;
    std::fwprintf(stderr,
                  L"the floor's window differs from the tool's:\n--- tool\n%ls--- floor\n%ls",
                  a.c_str(), b.c_str());
    return 3;
}

}  // namespace

namespace plovane::bench {

long ResidentKiB(long unixPid, const char* field) {
    const std::wstring path = unixPid > 0 ? L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\status"
                                          : std::wstring(L"Z:\\proc\\self\\status");
    FILE* in = _wfopen(path.c_str(), L"r");
    if (!in) return -1;
    char line[256];
    long value = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof(line), in)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::atol(line + length + 1);
        }
    }
    std::fclose(in);
    return value;
}

}  // namespace plovane::bench

namespace {

using plovane::bench::ResidentKiB;

using plovane::testing::FindDescendant;

void Set(HWND box, const std::wstring& text) {
    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// Presses a button whose handler will show a box; closes the box as a user would.
bool PressRefused(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
    const double end = NowMs() + 10000;
    while (NowMs() < end) {
        HWND box = FindWindowW(L"#32770", L"Plovane - Error");
        if (box && IsWindowVisible(box)) {
            SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
            while (IsWindow(box) && NowMs() < end)
                Sleep(1);
            return true;
        }
        Sleep(1);
    }
    return false;
}

int Load(long unixPid, int presses) {
    HWND form = WaitForWindow(L"PlovaneForm1", 20000);
    if (!form) return 2;
    HWND key = FindDescendant(form, 104), name = FindDescendant(form, 102),
         url = FindDescendant(form, 103), path = FindDescendant(form, 101),
         removeKey = FindDescendant(form, 105);
    HWND registerButton = FindDescendant(form, 112), unregisterButton = FindDescendant(form, 113);
    std::vector<double> latencies;
    long before = 0;
    const int warmUp = 500;
    for (int i = 0; i < warmUp + presses; ++i) {
        if (i == warmUp) before = ResidentKiB(unixPid, "RssAnon");
        const std::wstring k = L"bench-" + std::to_wstring(i % 97);
        const bool refused = i % 10 == 9;  // an empty menu name: the stand-in refuses it
        Set(key, k);
        Set(name, refused ? L"" : L"Bench entry " + std::to_wstring(i));
        Set(url, L"http://bench.invalid/" + std::to_wstring(i));
        Set(path, L"C:\\bench\\program " + std::to_wstring(i % 13) + L".exe");
        Set(removeKey, k);
        if (refused) {
            if (!PressRefused(registerButton) || !PressRefused(unregisterButton)) return 3;
            continue;
        }
        for (HWND button : {registerButton, unregisterButton}) {
            const double start = NowMs();
            SendMessageW(button, BM_CLICK, 0, 0);
            if (i >= warmUp) latencies.push_back(NowMs() - start);
        }
    }
    const long after = ResidentKiB(unixPid, "RssAnon");
    std::printf(
        "load_presses=%d\nload_rss_before_kib=%ld\nload_rss_after_kib=%ld\n"
        "load_latency_median_ms=%.3f\nload_latency_p99_ms=%.3f\n",
        2 * presses, before, after, Percentile(latencies, 0.5), Percentile(latencies, 0.99));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"startup" && argc >= 7 && argc % 2 == 1) {
        std::vector<Program> programs;
        for (int i = 3; i + 1 < argc; i += 2)
            programs.push_back({argv[i], argv[i + 1]});
        return Startup(programs, std::wcstol(argv[2], nullptr, 10));
    }
    if (mode == L"same-window" && argc == 4) return SameWindow(argv[2], argv[3]);
    if (mode == L"wait-window" && argc == 3) return WaitForWindow(argv[2], 30000) ? 0 : 2;
    if (mode == L"close-window" && argc == 3) {
        HWND hwnd = FindWindowW(argv[2], nullptr);
        return hwnd && PostMessageW(hwnd, WM_CLOSE, 0, 0) ? 0 : 2;
    }
    if (mode == L"load" && argc == 4)
        return Load(std::wcstol(argv[2], nullptr, 10), std::wcstol(argv[3], nullptr, 10));
    if (mode == L"inproc" && argc == 3)
        return plovane::bench::RunInProcess(std::wcstol(argv[2], nullptr, 10));
    std::fprintf(
        stderr,
        "usage: bench-driver startup|same-window|wait-window|close-window|load|inproc ...\n");
    return 1;
}
