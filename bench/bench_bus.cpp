// Round trips of a settings getter and setter over the real bus, and the
// daemon's idle CPU and resident memory.
//   bench_bus [calls=200] [idle_seconds=30]
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "daemon.h"
#include "figures.h"

namespace {

// utime + stime of a process in clock ticks.
long CpuTicks(pid_t pid) {
  const std::string all = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(all.substr(all.rfind(')') + 2));
  std::string f;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i >= 14) ticks += atol(f.c_str());
  return ticks;
}

}  // namespace

int main(int argc, char **argv) {
  const int calls = argc > 1 ? atoi(argv[1]) : 200;
  const int idleSeconds = argc > 2 ? atoi(argv[2]) : 30;
  Daemon d;
  if (!d.Start() || !d.WaitStarted(20000)) return fprintf(stderr, "daemon did not start\n"), 1;

  using Clock = std::chrono::steady_clock;
  std::vector<double> get, set;
  for (int i = 0; i < 2 * calls; ++i) {
    const bool setter = i >= calls;
    // Alternating values, so that every set really writes the store.
    const std::string arg = setter ? "{\"timeout\":" + std::to_string(2 + i % 2) + ",\"sip\":true}" : "{}";
    const auto t0 = Clock::now();
    BusReply r = d.Call(setter ? "SetDoorHangupDelay" : "GetDoorHangupDelay", arg);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!r.ok || (setter && r.text.value_or("").find("true") == std::string::npos))
      return fprintf(stderr, "call %d failed: %s\n", i, r.error.c_str()), 1;
    (setter ? set : get).push_back(ms);
  }

  const long before = CpuTicks(d.Pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const long ticks = CpuTicks(d.Pid()) - before;
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  printf("# %d calls each; idle for %d s\n", calls, idleSeconds);
  Figure("get_door_hangup_delay_roundtrip", get, "ms");
  Figure("set_door_hangup_delay_roundtrip", set, "ms");
  Figure("idle_cpu", 100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) / wall, "%core");
  Figure("idle_rss", double(StatusKb(d.Pid(), "VmRSS:")), "KiB");
  d.Terminate();
  d.WaitExit(15000);
  return 0;
}
