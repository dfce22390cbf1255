// 200 incoming calls at 20 calls/s from one sipp scenario against two
// auto-answering user agents on loopback, one after the other in the same run:
// a small program on sipua (this binary with --answer) and Debian's baresip.
// Figures: INVITE-to-200 times (from sipp's message log) and peak resident size.
#include <map>

#include "figures.h"

namespace {

// Runs the load against `port`; prints the figures of `name`; true when every
// call passed.
bool Load(const std::string &name, int port, pid_t pid) {
  SippRun run("../../bench/scenarios/bench_call.xml", port);
  run.calls = 200;
  run.timeout = Millis(60000);
  run.args = {"-s", "1201", "-r", "20", "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())};
  Sipp sipp;
  if (!sipp.Start(run)) return false;
  const int status = sipp.Wait();
  if (status != 0)
    fprintf(stderr, "%s: sipp status %d\n%s\n", name.c_str(), status, sipp.File("_errors.log").substr(0, 3000).c_str());
  std::map<std::string, double> sent, answered;
  for (const SippMessage &m : SippMessages(sipp.File("_messages.log"))) {
    if (m.start.rfind("INVITE ", 0) == 0) sent.emplace(m.callId, m.ms);
    if (m.start.rfind("SIP/2.0 200", 0) == 0) answered.emplace(m.callId, m.ms);  // the first 200 answers the INVITE
  }
  std::vector<double> ms;
  for (const auto &[id, t] : answered)
    if (sent.count(id)) ms.push_back(t - sent[id]);
  printf("# %s: %zu calls answered\n", name.c_str(), ms.size());
  Figure(name + "_invite_to_200", ms, "ms");
  Figure(name + "_peak_rss", {double(StatusKb(pid, "VmHWM:"))}, "KiB");
  return status == 0 && ms.size() == 200;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && !strcmp(argv[1], "--answer")) {
    SipuaAgent sipua(atoi(argv[2]), "sip:bench@127.0.0.1;answermode=auto");
    if (!sipua.ok) return 1;
    printf("ready\n");
    fflush(stdout);
    return re_main([](int) { re_cancel(); });
  }
  const int port = FreeUdpPort();
  Process answerer;
  if (!answerer.Start({"/proc/self/exe", "--answer", std::to_string(port)}) ||
      !answerer.WaitForStdout("ready", Millis(5000)))
    return fprintf(stderr, "answerer did not start: %s\n", answerer.Stderr().c_str()), 1;
  BaresipPeer baresip;
  if (!baresip.Start("1201", true)) return fprintf(stderr, "baresip did not start\n"), 1;
  const bool a = Load("sipua", port, answerer.pid());
  const bool b = Load("baresip", baresip.sipPort(), baresip.pid());
  return a && b ? 0 : 1;
}
