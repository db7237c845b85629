// Measures the tool from outside, as a user's machine would run it:
//   startup TOOL BASELINE ROUNDS   time from CreateProcess to a visible, answering window
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
#include "tests/support/window_helpers.h"

namespace {

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at =
        std::min(values.size() - 1,
                 static_cast<size_t>(std::lround(p * static_cast<double>(values.size() - 1))));
    return values[at];
}

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

int Startup(const std::wstring& tool, const std::wstring& baseline, int rounds) {
    for (int i = 0; i < 3; ++i) {  // warm-up: caches, the wineserver, the desktop
        TimeOneStart(tool, L"PlovaneForm1");
        TimeOneStart(baseline, L"PlovaneBaseline");
    }
    std::vector<double> tools, baselines, ratios;
    for (int i = 0; i < rounds; ++i) {
        const double t = TimeOneStart(tool, L"PlovaneForm1");
        const double b = TimeOneStart(baseline, L"PlovaneBaseline");
        if (t < 0 || b < 0) return 2;
        tools.push_back(t);
        baselines.push_back(b);
        ratios.push_back(t / b);
    }
    std::printf("startup_tool_ms=%.1f\nstartup_baseline_ms=%.1f\nstartup_ratio=%.3f\n",
                Percentile(tools, 0.5), Percentile(baselines, 0.5), Percentile(ratios, 0.5));
    return 0;
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

double NowMs() {
    return ::NowMs();
}
double Percentile(std::vector<double> values, double p) {
    return ::Percentile(std::move(values), p);
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
    if (mode == L"startup" && argc == 5)
        return Startup(argv[2], argv[3], std::wcstol(argv[4], nullptr, 10));
    if (mode == L"wait-window" && argc == 3) return WaitForWindow(argv[2], 30000) ? 0 : 2;
    if (mode == L"close-window" && argc == 3) {
        HWND hwnd = FindWindowW(argv[2], nullptr);
        return hwnd && PostMessageW(hwnd, WM_CLOSE, 0, 0) ? 0 : 2;
    }
    if (mode == L"load" && argc == 4)
        return Load(std::wcstol(argv[2], nullptr, 10), std::wcstol(argv[3], nullptr, 10));
    if (mode == L"inproc" && argc == 3)
        return plovane::bench::RunInProcess(std::wcstol(argv[2], nullptr, 10));
    std::fprintf(stderr, "usage: bench-driver startup|wait-window|close-window|load|inproc ...\n");
    return 1;
}
