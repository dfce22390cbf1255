// 200 incoming calls at 20 calls/s from one sipp scenario against two
// auto-answering user agents on loopback, one after the other in the same run:
// a small program on sipua (this binary with --answer) and Debian's baresip.
// Figures: INVITE-to-200 times (sipp's response times) and peak resident size.
#include <cstring>
#include <map>

#include "figures.h"
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
  printf("ready\n");
  fflush(stdout);
  re_main([](int) { re_cancel(); });
  ua_stop_all(true);
  ua_close();
  conf_close();
  baresip_close();
  libre_close();
  return 0;
}

// Runs the load against `port`; prints the figures of `name`; true when every
// call passed.
bool Load(const char *name, int port, pid_t pid) {
  SippRun run("bench_call.xml", port);
  run.calls = 200;
  run.timeout = Millis(60000);
  run.args = {"-s", "1201", "-r", "20", "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())};
  Sipp sipp;
  if (!sipp.Start(run)) return false;
  const int status = sipp.Wait();
  if (status != 0)
    fprintf(stderr, "%s: sipp status %d\n%s\n", name, status, sipp.File("_errors.log").substr(0, 3000).c_str());
  // INVITE sent to its 200 received, per call, from the microsecond stamps of
  // sipp's message log: entries "----- ... HH:MM:SS.uuuuuu", "UDP message
  // sent|received ...", then the message.
  std::map<std::string, double> sent, answered;
  double stamp = 0;
  bool out = false, inviteCseq = false;
  std::string first, callId;
  auto entryEnd = [&] {
    if (out && first.rfind("INVITE ", 0) == 0) sent.emplace(callId, stamp);
    if (!out && inviteCseq && first.rfind("SIP/2.0 200", 0) == 0) answered.emplace(callId, stamp);
    first.clear();
    inviteCseq = false;
  };
  for (const std::string &line : SplitLines(sipp.File("_messages.log"))) {
    if (line.rfind("-----", 0) == 0) {
      entryEnd();
      const std::string hms = line.substr(line.rfind(' ') + 1);
      stamp = std::stod(hms.substr(0, 2)) * 3600e3 + std::stod(hms.substr(3, 2)) * 60e3 +
              std::stod(hms.substr(6)) * 1e3;
    } else if (line.rfind("UDP message", 0) == 0) {
      out = line.find("sent") != std::string::npos;
    } else if (first.empty()) {
      first = line;
    } else if (line.rfind("Call-ID:", 0) == 0) {
      callId = line.substr(8);
    } else if (line.rfind("CSeq:", 0) == 0) {
      inviteCseq = line.find("INVITE") != std::string::npos;
    }
  }
  entryEnd();
  std::vector<double> ms;
  for (const auto &[id, t] : answered)
    if (sent.count(id)) ms.push_back(t - sent[id]);
  printf("# %s: %zu calls answered\n", name, ms.size());
  Figure((std::string(name) + "_invite_to_200").c_str(), ms, "ms");
  Figure((std::string(name) + "_peak_rss").c_str(), double(StatusKb(pid, "VmHWM:")), "KiB");
  return status == 0 && ms.size() == 200;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && !strcmp(argv[1], "--answer")) return Answerer(atoi(argv[2]));
  const int port = FreeUdpPort();
  Process answerer;
  if (!answerer.Start({"/proc/self/exe", "--answer", std::to_string(port)}) ||
      !answerer.WaitForStdout("ready", Millis(5000)))
    return fprintf(stderr, "answerer did not start: %s\n", answerer.Stderr().c_str()), 1;
  BaresipPeer baresip;
  if (!baresip.Start("1201", true)) return fprintf(stderr, "baresip did not start\n"), 1;
  const bool a = Load("sipua", port, answerer.pid());
  const bool b = Load("baresip", baresip.sipPort(), baresip.pid());
  answerer.Stop();
  return a && b ? 0 : 1;
}
