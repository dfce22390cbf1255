// The panel's media receive path under a stranger's flood: sipua as the
// panel in a process of its own, calling a sipp callee whose media socket is
// this program's; while the call runs, 127.0.0.2 sends 20,000 RTP packets a
// second to the panel's audio port. Figures: the panel's CPU time per second
// before and during the flood, and the audio the callee gets meanwhile
// (packets a second, gaps between them).
#include <sys/stat.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "audio.h"
#include "figures.h"
#include "rtp_peer.h"

namespace {

// utime + stime of a process, in ms.
double CpuMs(pid_t pid) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && in >> field; ++i)
    if (i >= 14) ticks += atof(field.c_str());
  return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

constexpr int kQuietS = 3, kFloodS = 5, kRate = 20000;

}  // namespace

int main() {
  TempDir dir("bench-rxflood");
  RtpPeer resident("127.0.0.1"), stranger("127.0.0.2");
  const std::string mport = std::to_string(LocalPort(resident.fd));
  SippRun run("callee_media.xml", 0, {"-key", "codec", "0", "-key", "rtpmap", "a=rtcp:" + mport, "-key", "mport",
                                      mport, "-key", "hold", "a=sendrecv", "-mi", "127.0.0.1"});
  run.timeout = Millis(60000);
  Sipp callee;
  if (!MakeTone(dir.Path("tone.wav"), 1000, 30) || !callee.Start(run)) return 1;
  dir.Write("config", "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) +
                          "\nrtp_ports 40000-49999\nrtp_timeout 0\nmodule aufile.so\naudio_source aufile," +
                          dir.Path("tone.wav") + "\naudio_player aufile," + dir.Path("heard.wav") + "\n");
  Process panel;
  const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(callee.port());
  if (!panel.Start({SIPUA_PANEL_BIN, dir.path(), uri, std::to_string(2 + kQuietS + kFloodS)}) ||
      !panel.WaitForStdout("established", Millis(10000)) ||
      !WaitFor([&] { return resident.Listen(20), !resident.heard.empty(); }, Millis(5000))) {
    fprintf(stderr, "bench_rxflood: the call did not come up\n%s\n", panel.Stderr().c_str());
    return 1;
  }
  stranger.panel = resident.panel;

  // One second a turn: CPU of the panel, and the callee's packets.
  std::vector<double> cpuQuiet, cpuFlood, pps, gaps;
  std::atomic<bool> flooding{false}, stop{false};
  std::atomic<long> sent{0};
  std::thread flood([&] {
    while (!flooding && !stop) std::this_thread::sleep_for(Millis(1));
    const std::vector<uint8_t> payload(160, 0xff);
    const auto t0 = std::chrono::steady_clock::now();
    for (long n = 0; !stop && n < long(kRate) * kFloodS; ++n) {
      if (n % 100 == 0) std::this_thread::sleep_until(t0 + std::chrono::microseconds(n * 1000000 / kRate));
      stranger.ssrc = uint32_t(n);
      stranger.Send(0, uint32_t(n * 160), payload);
      ++sent;
    }
  });
  double cpu = CpuMs(panel.pid());
  const double floodStart = RtpPeer::NowMs() + kQuietS * 1000;
  for (int s = 0; s < kQuietS + kFloodS; ++s) {
    if (s == kQuietS) flooding = true;
    const size_t before = resident.heard.size();
    resident.Listen(1000);
    const double now = CpuMs(panel.pid());
    (s < kQuietS ? cpuQuiet : cpuFlood).push_back(now - cpu);
    cpu = now;
    if (s >= kQuietS) pps.push_back(double(resident.heard.size() - before));
  }
  stop = true;
  flood.join();
  for (size_t i = 1; i < resident.heard.size(); ++i)
    if (resident.heard[i - 1] >= floodStart) gaps.push_back(resident.heard[i] - resident.heard[i - 1]);
  panel.Wait(Millis(10000));
  const std::string log = panel.Stderr();
  printf("# %ld packets from a stranger in %d s; the panel wrote %zu lines to stderr\n", sent.load(), kFloodS,
         size_t(std::count(log.begin(), log.end(), '\n')));
  Figure("panel_cpu_per_s_quiet", cpuQuiet, "ms");
  Figure("panel_cpu_per_s_flood_20kpps", cpuFlood, "ms");
  Figure("callee_rtp_per_s_during_flood", pps, "pkt/s");
  Figure("callee_rtp_gap_during_flood", gaps, "ms");
  return sent.load() == long(kRate) * kFloodS && !pps.empty() ? 0 : 1;
}
