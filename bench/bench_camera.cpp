// The SIP loop and the daemon's memory while the camera streams, end to end
// on loopback: the daemon calls a sipp callee whose media go to a GStreamer
// decoder, and a raw client sends OPTIONS to the daemon every 20 ms and
// times each answer.
//   - OPTIONS answer with the daemon idle, and during a video call from a
//     1920x1080 camera at 4 Mbit/s (GStreamer's RTSP server with x264enc);
//   - the daemon's resident size during that call (samples) and its peak;
//   - OPTIONS answer and peak size while a hostile camera sends a 2 GB reply
//     body, then ten 10 MB units and a 300 MB fragment on a second stream;
//   - CPU time of the daemon over a 12 s call whose camera never ends its
//     reply headers.
#include <unistd.h>

#include "daemon.h"
#include "figures.h"
#include "video_daemon.h"
#include "video_peer.h"

namespace {

// User and system time of `pid` so far, in ms, threads that ended included.
double CpuMs(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::vector<std::string> f;  // from field 3 (state) on
  for (size_t at = end + 2, next; at < stat.size(); at = next + 1) {
    next = stat.find(' ', at);
    if (next == std::string::npos) next = stat.size();
    f.push_back(stat.substr(at, next - at));
  }
  return f.size() > 12 ? (atof(f[11].c_str()) + atof(f[12].c_str())) * 1000 / double(sysconf(_SC_CLK_TCK)) : 0;
}

// OPTIONS round trips in ms, one every 20 ms, until `done` or `most` of them.
std::vector<double> Probe(int sipPort, size_t most, const std::function<bool()> &done = [] { return false; }) {
  std::vector<double> ms;
  while (ms.size() < most && !done()) {
    const double t0 = MonotonicMs();
    if (Exchange(sipPort, Request("OPTIONS"), 5000).empty()) return {};
    ms.push_back(MonotonicMs() - t0);
    WaitFor([] { return false; }, Millis(20));
  }
  return ms;
}

}  // namespace

int main() {
  const int cameraPort = FreeTcpPort(), videoPort = FreeUdpPort(), audioPort = FreeUdpPort(),
            calleePort = FreeUdpPort();
  VideoPeer media;
  if (!media.StartCallee(videoPort, audioPort)) return fprintf(stderr, "callee did not start\n"), 1;
  RegisteredDaemon r;
  Daemon &d = r.d;
  VideoDaemonConfig(d, calleePort, "rtsp://127.0.0.1:" + std::to_string(cameraPort) + "/ch1/trackID=0");
  if (!r.Start()) return fprintf(stderr, "daemon did not start\n"), 1;
  int calls = 0;
  std::unique_ptr<Sipp> callee;
  auto dial = [&] {
    SippRun run("callee_media.xml", 0, media.SippArgs());
    run.localPort = calleePort;
    callee = std::make_unique<Sipp>();
    return callee->Start(run) && d.Signal("UART_EV_TRYING_CALL", std::vector<uint8_t>{12, 0, 2}) &&
           d.WaitLog("-> OUTGOING_SIP_ESTABLISHED", 10000, ++calls);
  };
  auto hangUp = [&] {
    return d.Signal("UART_EV_BYE", std::vector<uint8_t>{}) && d.WaitLog("-> IDLE", 10000, calls) &&
           callee->Wait() == 0;
  };

  const std::vector<double> idle = Probe(d.SipPort(), 100);

  // The 1080p camera: 8 s of a call once the picture is at the callee.
  std::vector<double> hd, rss;
  {
    VideoPeer camera;
    if (!camera.StartCamera(cameraPort, {"/ch1/trackID=0"}, true) || !dial() ||
        !WaitFor([&] { return media.Frames() > 0; }, Millis(15000)))
      return fprintf(stderr, "no 1080p video at the callee\n"), 1;
    const int frames = media.Frames();
    const double t0 = MonotonicMs();
    hd = Probe(d.SipPort(), 400, [&] {
      if (int(rss.size()) < int((MonotonicMs() - t0) / 500)) rss.push_back(double(StatusKb(d.Pid(), "VmRSS:")) / 1024);
      return MonotonicMs() - t0 > 8000;
    });
    printf("# 1080p: %.1f frames/s decoded at the callee\n", (media.Frames() - frames) * 1000 / (MonotonicMs() - t0));
    if (!hangUp()) return fprintf(stderr, "1080p call did not end\n"), 1;
  }
  const double hdPeak = double(StatusKb(d.Pid(), "VmHWM:")) / 1024;

  std::vector<double> flood;
  {
    VideoPeer hostile;
    if (!hostile.StartHostile(cameraPort) || !dial() || !hostile.WaitOutput("play", 15000))
      return fprintf(stderr, "hostile camera not read\n"), 1;
    flood = Probe(d.SipPort(), 1000, [&] { return hostile.Count("flood done") > 0; });
    if (!hangUp()) return fprintf(stderr, "hostile call did not end\n"), 1;
  }
  const double floodPeak = double(StatusKb(d.Pid(), "VmHWM:")) / 1024;

  double headersCpu = 0;
  {
    VideoPeer headers;
    if (!headers.StartHostile(cameraPort, true) || !dial()) return fprintf(stderr, "headers call failed\n"), 1;
    const double cpu = CpuMs(d.Pid());
    WaitFor([] { return false; }, Millis(12000));
    headersCpu = CpuMs(d.Pid()) - cpu;
    if (!hangUp()) return fprintf(stderr, "headers call did not end\n"), 1;
  }
  if (idle.empty() || hd.empty() || flood.empty()) return fprintf(stderr, "an OPTIONS went unanswered\n"), 1;
  Figure("sip_options_answer_idle", idle, "ms");
  Figure("sip_options_answer_during_1080p_4mbit_video", hd, "ms");
  Figure("doralin_rss_during_1080p_video_call", rss, "MiB");
  Figure("doralin_peak_rss_after_1080p_video_call", {hdPeak}, "MiB");
  Figure("sip_options_answer_during_hostile_camera", flood, "ms");
  Figure("doralin_peak_rss_after_hostile_camera", {floodPeak}, "MiB");
  Figure("doralin_cpu_in_12s_call_camera_endless_reply_headers", {headersCpu}, "ms");
  return 0;
}
