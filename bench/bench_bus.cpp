// Round trips of a settings getter and setter over the real bus, and the
// daemon's idle CPU and resident memory.
//   bench_bus [calls=200] [idle_seconds=30]
#include <unistd.h>

#include "daemon.h"
#include "figures.h"

int main(int argc, char **argv) {
  const int calls = argc > 1 ? atoi(argv[1]) : 200, idleSeconds = argc > 2 ? atoi(argv[2]) : 30;
  // utime + stime of a process in clock ticks (fields 14 and 15 of its stat).
  auto cpuTicks = [](pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    long user = 0, sys = 0;
    sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &sys);
    return user + sys;
  };
  Daemon d;
  if (!d.Start() || !d.WaitStarted(20000)) return fprintf(stderr, "daemon did not start\n"), 1;

  std::vector<double> get, set;
  for (int i = 0; i < 2 * calls; ++i) {
    const bool setter = i >= calls;
    // Alternating values, so that every set really writes the store.
    const std::string arg = setter ? "{\"timeout\":" + std::to_string(2 + i % 2) + ",\"sip\":true}" : "{}";
    const double t0 = MonotonicMs();
    BusReply r = d.Call(setter ? "SetDoorHangupDelay" : "GetDoorHangupDelay", arg);
    (setter ? set : get).push_back(MonotonicMs() - t0);
    if (!r.ok || (setter && r.text.value_or("").find("true") == std::string::npos))
      return fprintf(stderr, "call %d failed: %s\n", i, r.error.c_str()), 1;
  }

  const long before = cpuTicks(d.Pid());
  const double t0 = MonotonicMs();
  sleep(unsigned(idleSeconds));
  const double wall = (MonotonicMs() - t0) / 1e3;
  const long ticks = cpuTicks(d.Pid()) - before;
  printf("# %d calls each; idle for %d s\n", calls, idleSeconds);
  Figure("get_door_hangup_delay_roundtrip", get, "ms");
  Figure("set_door_hangup_delay_roundtrip", set, "ms");
  Figure("idle_cpu", {100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) / wall}, "%core");
  Figure("idle_rss", {double(StatusKb(d.Pid(), "VmRSS:"))}, "KiB");
  return 0;
}
