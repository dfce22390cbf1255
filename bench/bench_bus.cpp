// Round trips of a settings getter and setter over the real bus, and the
// daemon's idle CPU and resident memory.
//   bench_bus [calls=200] [idle_seconds=30]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"

namespace {

using Clock = std::chrono::steady_clock;

void Report(const char *name, std::vector<double> ms, int failures) {
  if (ms.empty()) {
    printf("%-22s no successful calls (%d failed)\n", name, failures);
    return;
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
  printf("%-22s n=%zu failed=%d median=%.2f ms p99=%.2f ms min=%.2f ms max=%.2f ms\n", name,
         ms.size(), failures, at(0.5), at(0.99), ms.front(), ms.back());
}

// utime + stime of a process in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(all.substr(close + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = atol(f.c_str());
    if (i == 15) stime = atol(f.c_str());
  }
  return utime + stime;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  const int calls = argc > 1 ? atoi(argv[1]) : 200;
  const int idleSeconds = argc > 2 ? atoi(argv[2]) : 30;
  Daemon d;
  if (!d.Start() || !d.WaitStarted(20000)) {
    fprintf(stderr, "daemon did not start\n");
    return 1;
  }

  std::vector<double> get, set;
  int getFailed = 0, setFailed = 0;
  for (int i = 0; i < calls; ++i) {
    auto t0 = Clock::now();
    BusReply r = d.Call("GetDoorHangupDelay", "{}");
    auto t1 = Clock::now();
    if (r.ok) get.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    else ++getFailed;
  }
  for (int i = 0; i < calls; ++i) {
    // Alternate values so every call really writes the store.
    std::string arg = "{\"timeout\":" + std::to_string(2 + i % 2) + ",\"sip\":true}";
    auto t0 = Clock::now();
    BusReply r = d.Call("SetDoorHangupDelay", arg);
    auto t1 = Clock::now();
    if (r.ok && r.text && r.text->find("true") != std::string::npos)
      set.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    else ++setFailed;
  }
  Report("GetDoorHangupDelay", get, getFailed);
  Report("SetDoorHangupDelay", set, setFailed);

  const pid_t pid = d.Pid();
  const long hz = sysconf(_SC_CLK_TCK);
  long before = CpuTicks(pid);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  long after = CpuTicks(pid);
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  printf("idle %ds: cpu=%.2f%% of one core (%ld ticks at %ld Hz), rss=%ld kB\n", idleSeconds,
         100.0 * double(after - before) / double(hz) / wall, after - before, hz, RssKb(pid));
  d.Terminate();
  d.WaitExit(15000);
  return 0;
}
