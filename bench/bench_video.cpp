// The camera's video at the callee, end to end on loopback, for doralin and,
// side by side, Debian's baresip 1.0.0 reading the same camera with its
// avformat module (which decodes the stream and encodes it again with
// avcodec's libx264; 1.0.0 has no pass-through):
//   - 200 OK sent by the callee -> first frame decoded at the callee;
//   - the camera's IDR -> that frame decoded at the callee (about 0 when the
//     first frame is the panel's copy of the camera's last picture group:
//     then the figure is the age of that group);
//   - a PLI sent by the callee half a second into the call -> the next
//     picture decodable by itself at the callee;
//   - the camera's later IDRs -> each decoded at the callee (the live
//     stream's delay);
//   - CPU time of the panel's process per minute of a call with video (and,
//     for doralin, of a call without);
//   - doralin's resident size and shared objects idle, before the first
//     call with video and after it (libavformat is loaded by that call).
// The camera (GStreamer's RTSP server) sends 320x240 at `fps` frames a
// second, an IDR every `gop` frames (25: 1 s at 25 fps). The callee is a sipp
// UAS that rings for `ring` ms, whose media go to a GStreamer decoder.
//   bench_video [calls=5] [gop=25] [ring=1500] [fps=25]
#include <chrono>
#include <filesystem>
#include <set>

#include "../tests/unit/test_wav_fixture.h"
#include "daemon.h"
#include "figures.h"
#include "video_daemon.h"
#include "video_peer.h"

namespace {

// CPU time of all threads of `pid` so far, in ms (schedstat counts ns).
double CpuMs(pid_t pid) {
  double ns = 0;
  std::error_code ec;
  for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
    ns += atof(ReadFile(task.path().string() + "/schedstat").c_str());
  return ns / 1e6;
}

// CPU ms per minute of `pid` over the next `ms`.
double CpuPerMinute(pid_t pid, int ms) {
  const double cpu = CpuMs(pid), t0 = MonotonicMs();
  WaitFor([] { return false; }, Millis(ms));
  return (CpuMs(pid) - cpu) * 60000 / (MonotonicMs() - t0);
}

// Shared objects mapped into `pid`.
double Objects(pid_t pid) {
  std::set<std::string> objects;
  for (const std::string &line : SplitLines(ReadFile("/proc/" + std::to_string(pid) + "/maps"))) {
    const size_t path = line.find('/');
    if (path != std::string::npos && line.find(".so", path) != std::string::npos) objects.insert(line.substr(path));
  }
  return double(objects.size());
}

struct Results {
  std::vector<double> toFrame, fromIdr, pliToKey, live, cpu;
};

struct Rig {
  int calls = 5, gop = 25, ring = 1500, fps = 25;
  int cameraPort = FreeTcpPort(), videoPort = FreeUdpPort(), audioPort = FreeUdpPort(), calleePort = FreeUdpPort();
  std::string url = "rtsp://127.0.0.1:" + std::to_string(cameraPort) + "/ch1/trackID=0";
  VideoPeer camera, media;

  // Calls to a video callee, each placed by `dial` and ended by `hangUp`; the
  // first one is held for a CPU window of the panel `pid`.
  bool Measure(pid_t pid, const std::function<bool(int)> &dial, const std::function<bool(int)> &hangUp, Results *r) {
    for (int i = 0; i < calls; ++i) {
      std::vector<std::string> args = media.SippArgs();
      args.insert(args.end(), {"-d", std::to_string(ring)});
      SippRun run("callee_media.xml", 0, args);
      run.localPort = calleePort;
      run.timeout = Millis(40000);
      Sipp callee;
      const size_t shown = media.Times("first=").size();
      if (!callee.Start(run) || !dial(i) ||
          !WaitFor([&] { return media.Times("first=").size() > shown; }, Millis(ring + 12000)))
        return fprintf(stderr, "no video at the callee (call %d)\n", i), false;
      const double frame = media.Times("first=").back();
      double ok = 0, idr = 0;
      for (const SippMessage &m : SippMessages(callee.File("_messages.log")))
        if (!ok && m.start.rfind("SIP/2.0 200 OK", 0) == 0) ok = m.ms;
      for (double t : camera.Times("idr="))
        if (t <= frame) idr = t;
      r->toFrame.push_back(frame - ok);
      r->fromIdr.push_back(frame - idr);
      const int heard = media.Audio();
      WaitFor([&] { return media.Audio() >= heard + 25; }, Millis(3000));
      const size_t keys = media.Times("key=").size();
      const double pli = double(std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::system_clock::now().time_since_epoch()).count()) / 1000;
      if (media.Pli() && WaitFor([&] { return media.Times("key=").size() > keys; }, Millis(12000)))
        r->pliToKey.push_back(media.Times("key=").back() - pli);
      if (i == 0) r->cpu.push_back(CpuPerMinute(pid, 8000));
      // Live IDRs a second after the PLI's replay: the camera's frame to
      // its picture at the callee.
      const std::vector<double> decoded = media.Times("key=");
      for (double t : camera.Times("idr="))
        if (t > pli + 1000)
          for (double k : decoded)
            if (k >= t && k - t < 1000) {
              r->live.push_back(k - t);
              break;
            }
      if (!hangUp(i) || callee.Wait() != 0) return fprintf(stderr, "call %d did not end\n", i), false;
      WaitFor([] { return false; }, Millis(700));  // a pause the decoder reports as one
    }
    return true;
  }

  // The daemon, and the same call without video for what the pass-through adds.
  bool Doralin(Results *r, double *withoutVideo, std::vector<double> *idle) {
    RegisteredDaemon registered;
    Daemon &d = registered.d;
    VideoDaemonConfig(d, calleePort, url);
    if (!registered.Start()) return false;
    // Idle: resident MB and shared objects, before the first video call.
    WaitFor([] { return false; }, Millis(3000));  // the camera's profile asked for
    *idle = {double(StatusKb(d.Pid(), "VmRSS:")) / 1024, Objects(d.Pid())};
    auto call = [&](int) { return d.Signal("UART_EV_TRYING_CALL", std::vector<uint8_t>{12, 0, 2}); };
    auto bye = [&](int i) {
      return d.Signal("UART_EV_BYE", std::vector<uint8_t>{}) && d.WaitLog("-> IDLE", 10000, i + 1);
    };
    if (!Measure(d.Pid(), call, bye, r)) return false;
    WaitFor([] { return false; }, Millis(3000));  // the camera's session ends
    idle->insert(idle->end(), {double(StatusKb(d.Pid(), "VmRSS:")) / 1024, Objects(d.Pid())});
    Sipp plain;
    SippRun run("callee.xml");
    run.localPort = calleePort;
    if (d.Call("SetSipSettings", "{\"videoEnable\":false}").text != "{\"result\":true}" || !plain.Start(run) ||
        !call(0) || !d.WaitLog("-> OUTGOING_SIP_ESTABLISHED", 10000, calls + 1))
      return false;
    *withoutVideo = CpuPerMinute(d.Pid(), 8000);
    return bye(calls) && plain.Wait() == 0;
  }

  // Debian's baresip as the panel; its audio source must outlast the calls.
  bool Baresip(Results *r) {
    TempDir dir("bench-video");
    WavSpec silence;
    silence.data.assign(70 * 16000, 0);
    dir.Write("in.wav", MakeWav(silence));
    BaresipPeer baresip;
    baresip.extraConfig = "module avformat.so\nmodule avcodec.so\nvideo_source avformat," + url +
                          "\nvideo_size 320x240\nvideo_fps 25\nvideo_bitrate 500000\n"
                          "audio_source aufile," + dir.Path("in.wav") + "\n";
    if (!baresip.Start("panel", false, false))
      return false;
    const std::string target = "sip:1201@127.0.0.1:" + std::to_string(calleePort);
    return Measure(
        baresip.pid(), [&](int) { return baresip.Command("dial", target); },
        [&](int) { return baresip.Command("hangup"); }, r);
  }
};

void Print(const std::string &who, const Results &r) {
  Figure(who + "_200ok_to_first_frame", r.toFrame, "ms");
  Figure(who + "_idr_to_frame_at_callee", r.fromIdr, "ms");
  Figure(who + "_pli_to_next_key_picture", r.pliToKey, "ms");
  Figure(who + "_camera_idr_to_picture_live", r.live, "ms");
  Figure(who + "_cpu_per_minute_of_video_call", r.cpu, "ms");
}

}  // namespace

int main(int argc, char **argv) {
  Rig rig;
  if (argc > 1) rig.calls = atoi(argv[1]);
  if (argc > 2) rig.gop = atoi(argv[2]);
  if (argc > 3) rig.ring = atoi(argv[3]);
  if (argc > 4) rig.fps = atoi(argv[4]);
  if (!rig.camera.StartCamera(rig.cameraPort, {"/ch1/trackID=0"}, false, rig.gop, "", rig.fps) ||
      !rig.media.StartCallee(rig.videoPort, rig.audioPort))
    return fprintf(stderr, "camera or callee did not start\n"), 1;
  printf("# camera: 320x240, %d fps, an IDR every %d frames; the callee rings %d ms\n", rig.fps, rig.gop,
         rig.ring);
  Results doralin, baresip;
  double withoutVideo = 0;
  std::vector<double> idle;
  if (!rig.Doralin(&doralin, &withoutVideo, &idle)) return fprintf(stderr, "doralin: failed\n"), 1;
  if (!rig.Baresip(&baresip)) return fprintf(stderr, "baresip: failed\n"), 1;
  Print("doralin", doralin);
  Figure("doralin_cpu_per_minute_of_call_without_video", {withoutVideo}, "ms");
  Figure("doralin_rss_idle_before_video", {idle[0]}, "MB");
  Figure("doralin_shared_objects_idle_before_video", {idle[1]}, "");
  Figure("doralin_rss_idle_after_video", {idle[2]}, "MB");
  Figure("doralin_shared_objects_idle_after_video", {idle[3]}, "");
  Print("baresip_1.0.0", baresip);
  return 0;
}
