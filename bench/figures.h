// Output of the benchmark programs (bench/README.md): one line
// "figure<TAB>median<TAB>p99<TAB>unit" per figure; notes start with '#'.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus.h"  // brings the test support process.h (not the core one)

// Nearest-rank quantile; 0 for no samples.
inline double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank ? rank - 1 : 0)];
}

inline void Figure(const char *name, double median, double p99, const char *unit) {
  printf("%s\t%.3f\t%.3f\t%s\n", name, median, p99, unit);
}

// A single measurement is its own median and p99.
inline void Figure(const char *name, double value, const char *unit) {
  Figure(name, value, value, unit);
}

inline void Figure(const char *name, const std::vector<double> &samples, const char *unit) {
  Figure(name, Quantile(samples, 0.5), Quantile(samples, 0.99), unit);
}

// A "VmRSS"/"VmHWM"-style field of /proc/<pid>/status in KiB (pid 0: this
// process); -1 when absent.
inline long StatusKb(pid_t pid, const char *field) {
  const std::string who = pid ? std::to_string(pid) : "self";
  for (const std::string &line : SplitLines(ReadFile("/proc/" + who + "/status")))
    if (line.rfind(field, 0) == 0) return strtol(line.c_str() + strlen(field) + 1, nullptr, 10);
  return -1;
}

inline double MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}
