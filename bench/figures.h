// Output of the benchmark programs (bench/README.md): one line
// "figure<TAB>median<TAB>p99<TAB>unit" per figure; notes start with '#'.
#pragma once

#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sip/re_headers.h"
#include "sipp.h"  // brings the test support process.h (not the core one)

// Median and p99 (nearest rank) of the samples; a single value is both.
inline void Figure(const std::string &name, std::vector<double> v, const char *unit) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    const size_t rank = size_t(std::ceil(q * double(v.size())));
    return v.empty() ? 0 : v[std::min(v.size() - 1, rank ? rank - 1 : 0)];
  };
  printf("%s\t%.3f\t%.3f\t%s\n", name.c_str(), at(0.5), at(0.99), unit);
}

// A "VmRSS"/"VmHWM"-style field of /proc/<pid>/status in KiB (pid 0: this
// process); -1 when absent.
inline long StatusKb(pid_t pid, const char *field) {
  const std::string status = ReadFile("/proc/" + (pid ? std::to_string(pid) : "self") + "/status");
  const size_t at = status.find(std::string("\n") + field);
  return at == std::string::npos ? -1 : strtol(status.c_str() + at + strlen(field) + 1, nullptr, 10);
}

// CLOCK_MONOTONIC in ms, as panel-sim stamps its records.
inline double MonotonicMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The wall clock in ms, as sipp stamps its message log.
inline double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The messages of a sipp message log (-trace_msg), whose entries start with
// "----- YYYY-MM-DD HH:MM:SS.uuuuuu" and "UDP message sent|received ...".
struct SippMessage {
  double ms;  // wall clock
  std::string start, callId;
};
inline std::vector<SippMessage> SippMessages(const std::string &log) {
  std::vector<SippMessage> out;
  for (const std::string &line : SplitLines(log)) {
    tm t{};
    const size_t date = line.rfind("-----", 0) == 0 ? line.find(' ') : std::string::npos;
    const char *rest = date != std::string::npos ? strptime(line.c_str() + date, " %Y-%m-%d %H:%M:%S", &t) : nullptr;
    if (rest) {
      t.tm_isdst = -1;
      out.push_back({double(mktime(&t)) * 1e3 + atof(rest) * 1e3, "", ""});
    } else if (!out.empty() && out.back().start.empty() && !line.empty() && line.rfind("UDP message", 0) != 0) {
      out.back().start = line;
    } else if (!out.empty() && line.rfind("Call-ID:", 0) == 0) {
      out.back().callId = line.substr(8);
    }
  }
  return out;
}

// A UDP socket bound to 127.0.0.1:port; -1 on failure.
inline int BoundUdp(int port) {
  const sockaddr_in sin = Loopback(port);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  return fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&sin), sizeof sin) == 0 ? fd : -1;
}

// sipua on the calling thread (no loop running), listening on 127.0.0.1:port
// over UDP and TCP, with one user agent.
struct SipuaAgent {
  TempDir dir{"sipua-bench"};
  struct ua *ua = nullptr;
  bool ok;
  SipuaAgent(int port, const char *aor) {
    dir.Write("config", "sip_listen 127.0.0.1:" + std::to_string(port) +
                            "\nrtp_ports 50000-59999\nrtp_timeout 0\ncall_max_calls 0\n");
    ok = !libre_init() && (conf_path_set(dir.path().c_str()), !conf_configure()) &&
         !baresip_init(conf_config()) && !ua_init("sipua-bench", true, true, false) && !ua_alloc(&ua, aor);
  }
  ~SipuaAgent() {
    ua_stop_all(true);
    ua_close();
    conf_close();
    baresip_close();
    libre_close();
  }
};
