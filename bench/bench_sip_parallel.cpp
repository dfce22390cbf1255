// Time from MakeCallByType for a flat with five accounts to the arrival of
// the last of its five INVITEs at five sipp callees on 127.0.0.1.
// Arrival times come from sipp's message trace (wall clock, microseconds).
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "config/accounts.h"
#include "context.h"
#include "ornix.h"
#include "../tests/support/process.h"
#include "sip/bracket.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"

namespace {

const char kCallee[] = R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="callee">
  <recv request="INVITE">
    <action><ereg regexp="[0-9]+" search_in="hdr" header="CSeq:" assign_to="cseq"/></action>
  </recv>
  <send><![CDATA[
SIP/2.0 180 Ringing
[last_Via:]
[last_From:]
[last_To:];tag=[pid]cal[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
  <recv request="CANCEL"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]cal[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
  <send><![CDATA[
SIP/2.0 487 Request Terminated
[last_Via:]
[last_From:]
[last_To:];tag=[pid]cal[call_number]
[last_Call-ID:]
CSeq: [$cseq] INVITE
Content-Length: 0

]]></send>
  <recv request="ACK"/>
</scenario>
)";

double NowUs() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec * 1e6 + tv.tv_usec;
}

// Wall-clock times (µs) of the INVITEs in a sipp message trace. Entries start
// with "----... YYYY-MM-DD HH:MM:SS.uuuuuu" followed by the message.
std::vector<double> InviteTimes(const std::string &file) {
  std::vector<double> out;
  double stamp = 0;
  for (const std::string &line : SplitLines(ReadFile(file))) {
    if (line.rfind("----", 0) == 0) {
      struct tm tm {};
      int usec = 0;
      const size_t p = line.find_first_of("0123456789");
      if (p != std::string::npos &&
          sscanf(line.c_str() + p, "%d-%d-%d %d:%d:%d.%d", &tm.tm_year, &tm.tm_mon,
                 &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &usec) == 7) {
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;
        stamp = static_cast<double>(mktime(&tm)) * 1e6 + usec;
      }
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
  setenv("DORALIN_ROOT", dir.path().c_str(), 1);
  LogSetLevel(4);

  std::vector<int> ports;
  std::string accounts;
  for (int i = 0; i < 5; ++i) {
    ports.push_back(FreeUdpPort());
    accounts += std::string(i ? "," : "") + "\"120" + std::to_string(i + 1) +
                "@127.0.0.1:" + std::to_string(ports.back()) + "\"";
  }
  dir.Write("oem/sip_accounts.conf", "{\"12\":[" + accounts + "]}");
  LoadAccounts();

  std::vector<Process> callees(5);
  for (int i = 0; i < 5; ++i) {
    const std::string scenario = dir.Path("callee.xml");
    WriteFile(scenario, kCallee);
    const std::string trace = dir.Path("callee" + std::to_string(i) + ".messages");
    if (!callees[i].Start({"sipp", "-sf", scenario, "-i", "127.0.0.1", "-p",
                           std::to_string(ports[i]), "-m", std::to_string(rounds),
                           "-trace_msg", "-message_file", trace, "-nostdin",
                           "-timeout", "120s"})) {
      fprintf(stderr, "cannot start sipp\n");
      return 1;
    }
  }

  ServerSettings &s = CallContext.server;
  snprintf(s.username, sizeof s.username, "%s", "panel");
  snprintf(s.password, sizeof s.password, "%s", "secret");
  snprintf(s.domainRegister, sizeof s.domainRegister, "%s", "127.0.0.1");
  snprintf(s.domain, sizeof s.domain, "%s", "127.0.0.1");
  s.portRegister = static_cast<uint32_t>(FreeUdpPort());
  s.transportUdp = true;
  const int rtp = FreeUdpPort();
  dir.Write("baresip/config", "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) +
                                  "\nrtp_ports " + std::to_string(rtp) + "-" +
                                  std::to_string(rtp + 100) + "\n");
  SipSetConfigPath(dir.Path("baresip").c_str());
  if (SipInit(Events) != 0 || SipRegister(&s) != 0) {
    fprintf(stderr, "SIP bring-up failed\n");
    return 1;
  }
  struct tmr tick;
  tmr_init(&tick);
  {
    SipThreadBracket bracket;
    tmr_start(&tick, 20, Tick, &tick);
  }
  std::thread loop([] { SipRun(); });
  WaitFor([] { return SipLoopRunning(); }, Millis(2000));
  // The callees are up once each has opened its trace.
  WaitFor(
      [&] {
        for (int i = 0; i < 5; ++i) {
          if (access(dir.Path("callee" + std::to_string(i) + ".messages").c_str(), F_OK) != 0)
            return false;
        }
        return true;
      },
      Millis(5000));
  std::this_thread::sleep_for(Millis(200));

  std::vector<double> samples;
  for (int r = 0; r < rounds; ++r) {
    const double start = NowUs();
    MakeCallByType(COMMON, 12);
    double last = 0;
    bool all = WaitFor(
        [&] {
          last = 0;
          for (int i = 0; i < 5; ++i) {
            std::vector<double> t =
                InviteTimes(dir.Path("callee" + std::to_string(i) + ".messages"));
            if (static_cast<int>(t.size()) <= r) return false;
            last = std::max(last, t[r]);
          }
          return true;
        },
        Millis(5000), Millis(2));
    if (!all) {
      fprintf(stderr, "round %d: not all INVITEs arrived\n%s\n", r,
              ReadFile(dir.Path("callee0.messages")).substr(0, 600).c_str());
      break;
    }
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

  if (samples.empty()) return 1;
  std::sort(samples.begin(), samples.end());
  const auto pct = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
  };
  printf("placement -> last of 5 parallel INVITEs at sipp callees, %zu rounds:\n",
         samples.size());
  printf("  median %.0f us, p90 %.0f us, min %.0f us, max %.0f us\n", pct(0.5), pct(0.9),
         samples.front(), samples.back());
  return 0;
}
