// 200 incoming calls at 20 calls/s from one sipp scenario against two
// auto-answering user agents on loopback, one after the other in the same run:
// a small program on sipua (this binary with --answer) and Debian's baresip.
// Prints INVITE-to-200 times (sipp response times) and peak resident size.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>
#include <map>

#include "sipp.h"

namespace {

int Answerer(int port) {
  TempDir dir("sipua-answer");
  dir.Write("config", "sip_listen 127.0.0.1:" + std::to_string(port) +
                          "\nrtp_ports 50000-59999\nrtp_timeout 0\ncall_max_calls 0\n");
  if (libre_init()) return 1;
  conf_path_set(dir.path().c_str());
  struct ua *ua = nullptr;
  int err = conf_configure();
  if (!err) err = baresip_init(conf_config());
  if (!err) err = ua_init("sipua-bench", true, true, false);
  if (!err) err = ua_alloc(&ua, "sip:bench@127.0.0.1;answermode=auto");
  if (err) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  re_main([](int) { re_cancel(); });
  ua_stop_all(true);
  ua_close();
  conf_close();
  baresip_close();
  libre_close();
  return 0;
}

long PeakRssKb(pid_t pid) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

struct Result {
  std::vector<double> rttMs;
  long rssKb = -1;
  int sippExit = -1;
};

Result Load(int port, pid_t pid) {
  SippRun run("bench_call.xml", port);
  run.calls = 200;
  run.timeout = Millis(60000);
  run.args = {"-s", "1201", "-r", "20",
              "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())};
  Sipp sipp;
  Result r;
  if (!sipp.Start(run)) return r;
  r.sippExit = sipp.Wait();
  if (r.sippExit != 0) {
    const std::string e = sipp.File("_errors.log");
    std::fprintf(stderr, "sipp errors (%d):\n%s\n", r.sippExit, e.substr(0, 3000).c_str());
  }
  // INVITE sent to 200 received, per call, from the microsecond stamps of
  // sipp's message log.
  std::istringstream log(sipp.File("_messages.log"));
  std::map<std::string, double> sent, answered;
  std::string line, callId;
  double stamp = 0;
  int kind = 0;  // 1 INVITE sent, 2 200-for-INVITE received
  auto flush = [&] {
    if (kind == 1 && !callId.empty() && !sent.count(callId)) sent[callId] = stamp;
    if (kind == 2 && !callId.empty() && !answered.count(callId)) answered[callId] = stamp;
    kind = 0;
    callId.clear();
  };
  bool head = false, isInviteResp = false, is200 = false, isSend = false;
  while (std::getline(log, line)) {
    if (line.rfind("-----", 0) == 0) {
      if (is200 && isInviteResp) kind = 2;
      flush();
      is200 = isInviteResp = false;
      const size_t sp = line.rfind(' ');
      const std::string hms = line.substr(sp + 1);  // HH:MM:SS.uuuuuu
      stamp = std::stod(hms.substr(0, 2)) * 3600e3 + std::stod(hms.substr(3, 2)) * 60e3 +
              std::stod(hms.substr(6)) * 1e3;
      head = true;
      continue;
    }
    if (head && line.rfind("UDP message", 0) == 0) {
      isSend = line.find("sent") != std::string::npos;
      head = false;
      continue;
    }
    if (line.rfind("INVITE sip:", 0) == 0 && isSend) kind = 1;
    if (line.rfind("SIP/2.0 200", 0) == 0 && !isSend) is200 = true;
    if (line.rfind("CSeq:", 0) == 0 && line.find("INVITE") != std::string::npos) isInviteResp = true;
    if (line.rfind("Call-ID:", 0) == 0) callId = line.substr(8);
  }
  if (is200 && isInviteResp) kind = 2;
  flush();
  for (const auto &[id, t] : answered)
    if (sent.count(id)) r.rttMs.push_back(t - sent[id]);
  r.rssKb = PeakRssKb(pid);
  return r;
}

double Pct(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void Print(const char *name, const Result &r) {
  std::printf("%-8s calls=%zu sipp_exit=%d invite_to_200_ms median=%.3f p95=%.3f max=%.3f peak_rss_kb=%ld\n",
              name, r.rttMs.size(), r.sippExit, Pct(r.rttMs, 0.5), Pct(r.rttMs, 0.95),
              Pct(r.rttMs, 1.0), r.rssKb);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && !std::strcmp(argv[1], "--answer")) return Answerer(std::atoi(argv[2]));

  const int port = FreeUdpPort();
  Process answerer;
  if (!answerer.Start({"/proc/self/exe", "--answer", std::to_string(port)}) &&
      !answerer.Start({argv[0], "--answer", std::to_string(port)}))
    return 1;
  if (!answerer.WaitForStdout("ready", Millis(5000))) {
    std::fprintf(stderr, "answerer did not start: %s\n", answerer.Stderr().c_str());
    return 1;
  }
  BaresipPeer baresip;
  if (!baresip.Start("1201", true)) {
    std::fprintf(stderr, "baresip did not start\n");
    return 1;
  }
  const Result a = Load(port, answerer.pid());
  const Result b = Load(baresip.sipPort(), baresip.pid());
  Print("sipua", a);
  Print("baresip", b);
  if (!a.rttMs.empty() && !b.rttMs.empty())
    std::printf("ratio sipua/baresip: median=%.2f p95=%.2f peak_rss=%.2f\n",
                Pct(a.rttMs, 0.5) / Pct(b.rttMs, 0.5), Pct(a.rttMs, 0.95) / Pct(b.rttMs, 0.95),
                static_cast<double>(a.rssKb) / static_cast<double>(b.rssKb));
  answerer.Stop();
  return 0;
}
