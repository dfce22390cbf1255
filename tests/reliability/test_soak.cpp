// Long runs of visitor calls through panel-sim and sipp callees: every call
// ends, the MCU is told once per call, and the daemon's memory and descriptors
// stay where they were after the first calls. A short run under valgrind.
#include "sip/re_headers.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "panel_sim.h"
#include "sipp.h"

namespace {

int EnvCount(const char *name, int fallback) {
  const char *text = getenv(name);
  int n = text ? atoi(text) : 0;
  return n >= 2 ? n : fallback;
}

int Occurrences(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

struct Usage {
  long rssKb = 0;
  int fds = 0;
};

Usage Measure(pid_t pid) {
  Usage u;
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  if (at != std::string::npos) u.rssKb = atol(status.c_str() + at + 6);
  if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent *e = readdir(dir)) u.fds += e->d_name[0] != '.';
    closedir(dir);
  }
  return u;
}

// Flat 12's callee hangs up after its DTMF; flat 13's waits for the panel.
class Soak {
 public:
  Daemon d;
  std::unique_ptr<PanelSim> panel;
  Sipp registrar, leaving, staying;
  int idleBefore = 0;

  ~Soak() {
    if (!::testing::Test::HasFailure()) return;
    auto lines = d.Logs();
    for (size_t i = lines.size() > 150 ? lines.size() - 150 : 0; i < lines.size(); ++i)
      fprintf(stderr, "daemon| %s\n", lines[i].c_str());
  }

  bool Start(int calls, const std::vector<std::string> &wrapper = {}) {
    Millis bound(1200000);
    SippRun reg("../../integration/scenarios_calls/registrar.xml"), bye("../../reliability/scenarios/callee_dtmf_bye.xml"),
        wait("../../reliability/scenarios/callee_dtmf_wait_bye.xml");
    bye.calls = (calls + 1) / 2;
    wait.calls = calls / 2;
    reg.timeout = bye.timeout = wait.timeout = bound;
    if (!registrar.Start(reg) || !leaving.Start(bye) || !staying.Start(wait)) return false;
    std::string port = std::to_string(registrar.port());
    auto account = [](const Sipp &s, const char *user) {
      return "[\"" + std::string(user) + "@127.0.0.1:" + std::to_string(s.port()) + "\"]";
    };
    d.config.wrapper = wrapper;
    d.config.args = {"--debug"};
    d.config.store = {{"domain", "\"127.0.0.1\""}, {"port", port}, {"portRegister", port},
                      {"username", "\"panel\""},   {"password", "\"secret\""},
                      {"videoEnable", "false"}};
    d.config.files = {{"/oem/sip_accounts.conf", "{\"12\":" + account(leaving, "1201") +
                                                     ",\"13\":" + account(staying, "1301") + "}"}};
    if (!d.Setup()) return false;
    panel = std::make_unique<PanelSim>(d.BusAddress());
    if (!panel->Start() || !d.Launch() || !d.WaitStarted(wrapper.empty() ? 15000 : 90000)) return false;
    bool registered = WaitFor([this] { return d.Call("GetSipRegisterStatus").bytes == std::vector<uint8_t>{1}; },
                              Millis(30000), Millis(100));
    idleBefore = d.CountLog("-> IDLE");
    return registered;
  }

  int Count(const std::string &method) const {
    return Occurrences(ReadFile(panel->LogPath()), "\"method\":\"" + method + "\"");
  }
  bool WaitCount(const std::string &method, int n, Millis timeout) const {
    return WaitFor([&] { return Count(method) >= n; }, timeout, Millis(5));
  }

  // Call `i` (1-based): dial, the callee answers and opens the door, then
  // the callee (odd calls) or the panel (even calls) hangs up.
  bool Call(int i, Millis timeout) {
    uint8_t flat = i % 2 ? 12 : 13;
    if (!panel->SendEvent("UART_EV_TRYING_CALL", {flat, 0, 2})) return false;
    if (!WaitCount("UartSendCommandOpenByIDWithSource", i, timeout)) return false;
    if (flat == 13 && !panel->SendEvent("UART_EV_BYE", {})) return false;
    // A panel hang-up leaves IDLE first and tells the MCU after.
    return d.WaitLog("-> IDLE", int(timeout.count()), idleBefore + i) &&
           WaitFor([&] { return Byes() >= i; }, timeout, Millis(5));
  }

  int Byes() const { return Count("UartSendCommandBye") + Count("UartSendCommandByeWithState"); }
};

}  // namespace

// Memory is read once the SIP layer's 32-second hold of finished transactions
// has filled (at least 40 s and 50 calls in); descriptors after 50 calls.
// Calls start at a steady pace, so that hold covers as many calls at the end
// as at the first reading, however the machine's load changes meanwhile.
TEST(Soak, ConsecutiveCallsEndCleanlyAndHoldMemoryAndDescriptors) {
  const int calls = EnvCount("DORALIN_SOAK_CALLS", 1000);
  Soak s;
  ASSERT_TRUE(s.Start(calls));
  Usage at50, settled, last;
  int settledAt = 0;
  auto begin = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(); };
  auto lastStart = begin;
  for (int i = 1; i <= calls; ++i) {
    std::this_thread::sleep_until(lastStart + Millis(100));
    lastStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.Call(i, Millis(10000))) << "call " << i;
    if (i == std::min(50, calls)) at50 = Measure(s.d.Pid());
    if (!settledAt && ((i >= 50 && elapsed() >= 40) || i == calls)) settled = Measure(s.d.Pid()), settledAt = i;
  }
  const double seconds = elapsed();
  last = Measure(s.d.Pid());
  EXPECT_EQ(s.leaving.Wait(), 0) << s.leaving.Output().substr(0, 4000);
  EXPECT_EQ(s.staying.Wait(), 0) << s.staying.Output().substr(0, 4000);
  EXPECT_EQ(s.Byes(), calls);
  EXPECT_EQ(s.Count("UartSendCommandOpenByIDWithSource"), calls);
  EXPECT_EQ(s.d.CountLog("Set state: OUTGOING_SIP_ESTABLISHED -> IDLE"), calls);
  EXPECT_EQ(last.fds, at50.fds);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Under a sanitizer the resident size is mostly the sanitizer's own.
  EXPECT_LE(last.rssKb, settled.rssKb + 1024);
#endif
  printf("soak: %d calls in %.1f s (%.2f calls/s); VmRSS %ld kB at call 50, %ld kB at call %d, "
         "%ld kB at the end; fds %d -> %d\n", calls, seconds, calls / seconds, at50.rssKb,
         settled.rssKb, settledAt, last.rssKb, at50.fds, last.fds);
  s.d.Terminate();
  EXPECT_EQ(s.d.WaitExit(15000), 1);
  EXPECT_EQ(s.d.CountLog("Sanitizer"), 0);  // ASan, LSan, TSan reports
  EXPECT_EQ(s.d.CountLog("runtime error:"), 0);
}

TEST(Soak, ShortRunUnderValgrindLosesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind does not run sanitizer builds";
#endif
  const int calls = EnvCount("DORALIN_VALGRIND_CALLS", 20);
  Soak s;
  ASSERT_TRUE(s.Start(calls, {"valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
                              "--error-exitcode=99", "--num-callers=30"}));
  for (int i = 1; i <= calls; ++i) ASSERT_TRUE(s.Call(i, Millis(30000))) << "call " << i;
  EXPECT_EQ(s.Byes(), calls);
  s.d.Terminate();
  EXPECT_EQ(s.d.WaitExit(120000), 1);  // 99 on any memory error or definite leak
  EXPECT_TRUE(s.d.HasLog("definitely lost: 0 bytes") || s.d.HasLog("no leaks are possible"));
  EXPECT_EQ(s.d.CountLog("ERROR SUMMARY: 0 errors"), 1);
  for (auto &line : s.d.Logs())
    if (line.find("lost:") != std::string::npos || line.find("heap usage:") != std::string::npos)
      printf("valgrind, %d calls: %s\n", calls, line.c_str());
}
