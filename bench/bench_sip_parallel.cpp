// Time from MakeCallByType for a flat with five accounts to the arrival of
// the last of its five INVITEs at five sipp callees on 127.0.0.1.
// Arrival times come from sipp's message trace (wall clock, microseconds).
//   bench_sip_parallel [rounds=30]
#include <sys/time.h>
#include <unistd.h>

#include <thread>

#include "config/accounts.h"
#include "context.h"
#include "figures.h"
#include "ornix.h"
#include "sip/bracket.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"

namespace {

const char kScenario[] = DORALIN_SOURCE_DIR "/tests/integration/scenarios_calls/callee_ring_cancel.xml";

double NowUs() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return double(tv.tv_sec) * 1e6 + double(tv.tv_usec);
}

// Wall-clock times (us) of the INVITEs in a sipp message trace, whose entries
// start with "----... YYYY-MM-DD HH:MM:SS.uuuuuu".
std::vector<double> InviteTimes(const std::string &file) {
  std::vector<double> out;
  double stamp = 0;
  for (const std::string &line : SplitLines(ReadFile(file))) {
    tm t{};
    int usec = 0;
    const size_t p = line.find_first_of("0123456789");
    if (line.rfind("----", 0) == 0 && p != std::string::npos &&
        sscanf(line.c_str() + p, "%d-%d-%d %d:%d:%d.%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
               &t.tm_min, &t.tm_sec, &usec) == 7) {
      t.tm_year -= 1900;
      t.tm_mon -= 1;
      t.tm_isdst = -1;
      stamp = double(mktime(&t)) * 1e6 + usec;
    } else if (line.rfind("INVITE sip:", 0) == 0) {
      out.push_back(stamp);
    }
  }
  return out;
}

void Events(struct ua *, enum ua_event ev, struct call *, const char *prm, void *) {
  SipRegistrationEvent(ev, prm);
}

void Tick(void *arg) { tmr_start(static_cast<struct tmr *>(arg), 20, Tick, arg); }

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 30;
  TempDir dir("bench-sip");
  ScopedEnv env("DORALIN_ROOT", dir.path());
  LogSetLevel(4);
  std::string accounts;
  std::vector<Process> callees(5);
  auto trace = [&](int i) { return dir.Path("callee" + std::to_string(i) + ".messages"); };
  for (int i = 0; i < 5; ++i) {
    const std::string port = std::to_string(FreeUdpPort());
    accounts += std::string(i ? "," : "") + "\"120" + std::to_string(i + 1) + "@127.0.0.1:" + port + "\"";
    if (!callees[i].Start({"sipp", "-sf", kScenario, "-i", "127.0.0.1", "-p", port, "-m",
                           std::to_string(rounds), "-trace_msg", "-message_file", trace(i), "-nostdin",
                           "-timeout", "120s"}))
      return fprintf(stderr, "cannot start sipp\n"), 1;
  }
  dir.Write("oem/sip_accounts.conf", "{\"12\":[" + accounts + "]}");
  LoadAccounts();

  ServerSettings &s = CallContext.server;
  snprintf(s.username, sizeof s.username, "%s", "panel");
  snprintf(s.password, sizeof s.password, "%s", "secret");
  snprintf(s.domainRegister, sizeof s.domainRegister, "%s", "127.0.0.1");
  snprintf(s.domain, sizeof s.domain, "%s", "127.0.0.1");
  s.portRegister = uint32_t(FreeUdpPort());
  s.transportUdp = true;
  const int rtp = FreeUdpPort();
  dir.Write("baresip/config", "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) + "\nrtp_ports " +
                                  std::to_string(rtp) + "-" + std::to_string(rtp + 100) + "\n");
  SipSetConfigPath(dir.Path("baresip").c_str());
  if (SipInit(Events) != 0 || SipRegister(&s) != 0) return fprintf(stderr, "SIP bring-up failed\n"), 1;
  struct tmr tick;
  tmr_init(&tick);
  {
    SipThreadBracket bracket;
    tmr_start(&tick, 20, Tick, &tick);
  }
  std::thread loop([] { SipRun(); });
  WaitFor([] { return SipLoopRunning(); }, Millis(2000));
  // The callees are up once each has opened its trace.
  WaitFor([&] {
    for (int i = 0; i < 5; ++i)
      if (access(trace(i).c_str(), F_OK) != 0) return false;
    return true;
  }, Millis(5000));
  std::this_thread::sleep_for(Millis(200));

  std::vector<double> samples;
  for (int r = 0; r < rounds; ++r) {
    const double start = NowUs();
    MakeCallByType(COMMON, 12);
    double last = 0;
    const bool all = WaitFor([&] {
      last = 0;
      for (int i = 0; i < 5; ++i) {
        const std::vector<double> t = InviteTimes(trace(i));
        if (int(t.size()) <= r) return false;
        last = std::max(last, t[size_t(r)]);
      }
      return true;
    }, Millis(5000), Millis(2));
    if (!all) break;
    samples.push_back(last - start);
    HangupAnotherCalls(nullptr);
    std::this_thread::sleep_for(Millis(50));
  }
  {
    SipThreadBracket bracket;
    tmr_cancel(&tick);
    ua_stop_all(true);
    re_cancel();
  }
  loop.join();
  for (Process &p : callees) p.Wait(Millis(5000));
  FreeAccounts();
  printf("# %zu of %d rounds of 5 parallel INVITEs\n", samples.size(), rounds);
  Figure("placement_to_last_of_5_invites", samples, "us");
  return int(samples.size()) == rounds ? 0 : 1;
}
