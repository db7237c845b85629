// The stand-in's store at scale, with the real Actions window following it:
//   store-bench ACTIONSMENU.EXE CHANGES N...
// For each N: first bench-menu-append.exe (beside ACTIONSMENU.EXE) appending N items to a menu,
// which is what Wine itself takes to list N entries; then a store of N entries (written straight
// to the registry, as a .reg file would be), the Actions window started on it and timed until it
// lists them all, then CHANGES Registers and as many Unregisters, 300 ms apart
// as a user's presses would be at most. Meanwhile one thread watches the store's lock (the longest
// time anyone held it, polled every millisecond), another pings the window (the longest it took
// to answer). Printed per N as key=value lines.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/timing.h"
#include "common/unique_bstr.h"
#include "common/unique_handle.h"
#include "standin/store.h"

namespace {

using plovane::unique_bstr;
using plovane::unique_handle;
using plovane::unique_hkey;
namespace standin = plovane::standin;

using plovane::bench::NowMs;
using plovane::bench::Percentile;

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

unique_bstr Bstr(const std::wstring& text) {
    return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

void FillStore(int count) {
    unique_hkey store;
    RegCreateKeyExW(HKEY_CURRENT_USER, standin::kStoreKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr,
                    store.put(), nullptr);
    const DWORD flags = 0;
    for (int i = 0; i < count; ++i) {
        wchar_t key[32], menu[48];
        swprintf(key, 32, L"key-%05d", i);
        swprintf(menu, 48, L"Menu key-%05d", i);
        unique_hkey entry;
        RegCreateKeyExW(store.get(), key, 0, nullptr, 0, KEY_WRITE, nullptr, entry.put(), nullptr);
        const wchar_t* const texts[] = {menu, L"http://example.invalid/", L"C:\\nowhere\\p.exe"};
        for (const standin::EntryValue value :
             {standin::kMenuNameValue, standin::kUrlValue, standin::kPathValue}) {
            RegSetValueExW(entry.get(), standin::kEntryValueNames[value], 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(texts[value]),
                           standin::TextBytes(wcslen(texts[value])));
        }
        RegSetValueExW(entry.get(), standin::kEntryValueNames[standin::kFlagsValue], 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&flags), sizeof(flags));
    }
}

std::wstring StatusText(HWND status) {
    wchar_t text[600] = {};
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(status, WM_GETTEXT, 600, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                             20000, &got)) {
        return L"";
    }
    return text;
}

std::wstring Programs(int count) {
    return std::to_wstring(count) + (count == 1 ? L" program registered" : L" programs registered");
}

// Milliseconds until the status line says expected, or -1 after timeoutMs.
double WaitStatus(HWND status, const std::wstring& expected, double start, double timeoutMs) {
    while (StatusText(status) != expected) {
        if (NowMs() - start > timeoutMs) return -1;
        Sleep(1);
    }
    return NowMs() - start;
}

unique_handle Start(std::wstring line) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return unique_handle();
    }
    CloseHandle(info.hThread);
    return unique_handle(info.hProcess);
}

void Close(HWND window, const unique_handle& process) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0)
        TerminateProcess(process.get(), 1);
}

// Milliseconds from starting bench-menu-append.exe until it has appended count items, or -1.
double AppendMs(const std::wstring& actionsMenu, int count) {
    const std::wstring exe =
        actionsMenu.substr(0, actionsMenu.find_last_of(L"\\/") + 1) + L"bench-menu-append.exe";
    const double started = NowMs();
    const unique_handle process = Start(L"\"" + exe + L"\" " + std::to_wstring(count));
    if (!process) return -1;
    HWND window = nullptr;
    while (!window && NowMs() - started < 300000) {
        window = FindWindowW(L"PlovaneMenuAppend", L"Appended");
        if (!window) Sleep(1);
    }
    const double took = window ? NowMs() - started : -1;
    Close(window, process);
    return took;
}

int RunOne(const std::wstring& exe, int changes, int entries) {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Plovane");
    FillStore(entries);
    const double appended = AppendMs(exe, entries);
    const double started = NowMs();
    const unique_handle process = Start(L"\"" + exe + L"\"");
    if (!process) return 1;
    HWND window = nullptr;
    while (!window && NowMs() - started < 120000) {
        window = FindWindowW(L"PlovaneActionsMenu", L"Actions");
        if (!window || !IsWindowVisible(window)) window = nullptr, Sleep(5);
    }
    if (!window) return 2;
    const double shown = NowMs() - started;
    HWND status = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    const double loaded = WaitStatus(status, Programs(entries), started, 300000);

    unique_handle mutex(CreateMutexW(nullptr, FALSE, standin::kStoreMutexName));
    std::atomic<bool> done{false};
    std::atomic<double> longestHold{0}, longestAnswer{0};
    std::thread watcher([&] {
        double busySince = -1;
        while (!done) {
            const DWORD got = WaitForSingleObject(mutex.get(), 0);
            const double now = NowMs();
            if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
                ReleaseMutex(mutex.get());
                if (busySince >= 0 && now - busySince > longestHold) longestHold = now - busySince;
                busySince = -1;
            } else if (busySince < 0) {
                busySince = now;
            }
            Sleep(1);
        }
    });
    std::thread pinger([&] {
        while (!done) {
            const double start = NowMs();
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &ignored);
            const double took = NowMs() - start;
            if (took > longestAnswer) longestAnswer = took;
            Sleep(20);
        }
    });
    std::vector<double> latencies, follows;
    int failures = 0;
    for (int i = 0; i < 2 * changes; ++i) {
        const bool adding = i < changes;
        wchar_t key[32];
        swprintf(key, 32, L"added-%03d", adding ? i : i - changes);
        const double start = NowMs();
        const HRESULT hr =
            adding ? standin::StoreEntry(Bstr(key).get(), Bstr(L"Added").get(), Bstr(L"url").get(),
                                         Bstr(L"C:\\nowhere\\a.exe").get(), 0)
                   : standin::RemoveEntry(Bstr(key).get());
        latencies.push_back(NowMs() - start);
        if (FAILED(hr)) ++failures;
        const int expected = adding ? entries + i + 1 : entries + 2 * changes - i - 1;
        follows.push_back(WaitStatus(status, Programs(expected), start, 10000));
        if (follows.back() < 0) {
            std::fprintf(stderr, "change %d of %d entries not shown in 10 s; the window says %ls\n",
                         i, entries, StatusText(status).c_str());
        }
        const double spent = NowMs() - start;
        if (spent < 300) Sleep(static_cast<DWORD>(300 - spent));
    }
    done = true;
    watcher.join();
    pinger.join();
    Close(window, process);
    const bool allFollowed =
        std::none_of(follows.begin(), follows.end(), [](double f) { return f < 0; });
    std::printf("store.%d.wine_append_ms=%.1f\nstore.%d.listed_over_append=%.2f\n", entries,
                appended, entries, appended > 0 ? loaded / appended : 0.0);
    std::printf(
        "store.%d.window_visible_ms=%.1f\nstore.%d.all_listed_ms=%.1f\n"
        "store.%d.changes=%zu\nstore.%d.failures=%d\n"
        "store.%d.change_median_ms=%.2f\nstore.%d.change_max_ms=%.2f\n"
        "store.%d.longest_lock_hold_ms=%.1f\nstore.%d.longest_answer_ms=%.1f\n"
        "store.%d.shown_median_ms=%.1f\nstore.%d.shown_max_ms=%s\n",
        entries, shown, entries, loaded, entries, latencies.size(), entries, failures, entries,
        Percentile(latencies, 0.5), entries, Percentile(latencies, 1.0), entries,
        longestHold.load(), entries, longestAnswer.load(), entries, Percentile(follows, 0.5),
        entries, allFollowed ? Fixed(Percentile(follows, 1.0)).c_str() : "not shown in 10 s");
    std::fflush(stdout);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Plovane");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: store-bench ACTIONSMENU.EXE CHANGES N...\n");
        return 2;
    }
    const int changes = _wtoi(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int status = RunOne(argv[1], changes, _wtoi(argv[i]));
        if (status != 0) return status;
    }
    return 0;
}
