// Time from MakeCallByType for a flat with five accounts to the arrival of
// the last of its five INVITEs at five sipp callees on 127.0.0.1.
// Arrival times come from sipp's message trace (wall clock, microseconds).
//   bench_sip_parallel [rounds=30]
#include <thread>

#include "settings/accounts.h"
#include "context/context.h"
#include "figures.h"
#include "ornix.h"
#include "sip/bracket.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 30;
  TempDir dir("bench-sip");
  ScopedEnv env("DORALIN_ROOT", dir.path());
  LogSetLevel(4);
  std::string accounts;
  std::vector<Sipp> callees(5);
  for (size_t i = 0; i < callees.size(); ++i) {
    SippRun run("callee.xml", 0, {"-set", "ring", "1"});
    run.calls = rounds;
    run.timeout = Millis(120000);
    if (!callees[i].Start(run)) return fprintf(stderr, "cannot start sipp\n"), 1;
    accounts += std::string(i ? "," : "") + "\"120" + std::to_string(i + 1) + "@127.0.0.1:" +
                std::to_string(callees[i].port()) + "\"";
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
  static const SipCallEvents noCalls{};  // registration only
  if (SipInit(&noCalls) != 0 || !SipRegister(&s)) return fprintf(stderr, "SIP bring-up failed\n"), 1;
  std::thread loop([] { SipRun(); });
  WaitFor([] { return SipLoopRunning(); }, Millis(2000));

  std::vector<double> samples;
  for (int r = 0; r < rounds; ++r) {
    const double start = WallMs();
    MakeCallByType(COMMON, 12);
    double last = 0;
    const bool all = WaitFor([&] {
      last = 0;
      for (const Sipp &callee : callees) {
        std::vector<double> t;
        for (const SippMessage &m : SippMessages(callee.File("_messages.log")))
          if (m.start.rfind("INVITE ", 0) == 0) t.push_back(m.ms);
        if (int(t.size()) <= r) return false;
        last = std::max(last, t[size_t(r)]);
      }
      return true;
    }, Millis(5000), Millis(2));
    if (!all) break;
    samples.push_back((last - start) * 1e3);
    HangupAnotherCalls(nullptr);
    std::this_thread::sleep_for(Millis(50));
  }
  {
    SipThreadBracket bracket;
    ua_stop_all(true);
    re_cancel();
  }
  loop.join();
  FreeAccounts();
  printf("# %zu of %d rounds of 5 parallel INVITEs\n", samples.size(), rounds);
  Figure("placement_to_last_of_5_invites", samples, "us");
  return int(samples.size()) == rounds ? 0 : 1;
}
