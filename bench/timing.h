#pragma once
// The clock and the summary the benchmarks share.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace plovane::bench {

// Milliseconds from the performance counter, for intervals only.
inline double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The value below which the share p (0 to 1) of the values lies; 0 for none.
inline double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at =
        std::min(values.size() - 1,
                 static_cast<size_t>(std::lround(p * static_cast<double>(values.size() - 1))));
    return values[at];
}

}  // namespace plovane::bench
