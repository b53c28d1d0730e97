// Small helpers shared by the benchmarks: timing, medians and the table rows.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  if (n == 0) return 0.0;
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

inline double minimum(const std::vector<double> &v) {
  return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

// Column layout of the table that run_bench.sh prints.
inline void print_header() {
  std::printf("%-44s %12s %12s %10s  %s\n", "benchmark", "median", "min", "target", "status");
}

// One table row.  target <= 0 means "for information only".
inline void print_row(const char *name, double median, double min, const char *unit,
                      double target) {
  char med[32], lo[32], tgt[32];
  std::snprintf(med, sizeof med, "%.3g %s", median, unit);
  std::snprintf(lo, sizeof lo, "%.3g %s", min, unit);
  if (target > 0)
    std::snprintf(tgt, sizeof tgt, "< %g %s", target, unit);
  else
    std::snprintf(tgt, sizeof tgt, "-");
  const char *status = target > 0 ? (median < target ? "ok" : "MISSED") : "info";
  std::printf("%-44s %12s %12s %10s  %s\n", name, med, lo, tgt, status);
  std::fflush(stdout);
}

}  // namespace bench
