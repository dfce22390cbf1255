// tests/support/video_peer.py as a child process: an RTSP camera on 127.0.0.1
// (25 frames a second, an IDR every 25), a hostile one, or the callee's
// media (H.264 decoded, audio counted, DTMF sent back to the panel).
#pragma once

#include <algorithm>
#include <cstdlib>

#include "process.h"

class VideoPeer {
 public:
  // Serves the test picture at each mount path (e.g. "/ch1/trackID=0").
  // `hd`: 1920x1080 at 4 Mbit/s; `gop`: frames from an IDR to the next;
  // `kind`: words among "high" (High profile), "mjpeg" (not H.264),
  // "digest=USER:PASS" (credentials asked for); `fps`: frames a second.
  bool StartCamera(int port, const std::vector<std::string> &paths, bool hd = false, int gop = 0,
                   const std::string &kind = "", int fps = 25) {
    std::vector<std::string> args = {"camera", std::to_string(port), "--gop=" + std::to_string(gop ? gop : 25),
                                     "--fps=" + std::to_string(fps)};
    if (hd) args.push_back("--1080p");
    for (size_t at = 0; at < kind.size();) {
      const size_t end = std::min(kind.find(' ', at), kind.size());
      args.push_back("--" + kind.substr(at, end - at));
      at = end + 1;
    }
    args.insert(args.end(), paths.begin(), paths.end());
    return Start(args);
  }
  // The camera that is not to be trusted (see video_peer.py).
  bool StartHostile(int port, bool endlessHeaders = false) {
    std::vector<std::string> args = {"hostile", std::to_string(port)};
    if (endlessHeaders) args.push_back("headers");
    return Start(args);
  }
  bool WaitOutput(const std::string &needle, int ms) { return proc_.WaitForStdout(needle, Millis(ms)); }
  bool StartCallee(int videoPort, int audioPort) {
    callee_ = {"-key", "mport", std::to_string(audioPort), "-key", "rtpmap",
               "a=rtpmap:0 PCMU/8000\r\nm=video " + std::to_string(videoPort) +
                   " RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1"};
    return Start({"callee", std::to_string(videoPort), std::to_string(audioPort)});
  }
  // For callee_media.xml: a callee whose media come here, which re-offers
  // the video with `direction` 3 s after the answer.
  std::vector<std::string> SippArgs(const std::string &direction = "sendrecv") const {
    std::vector<std::string> args = callee_;
    args.insert(args.end(), {"-key", "hold", "a=" + direction});
    return args;
  }
  bool Stop() { return proc_.Stop(Millis(3000)); }
  bool Dtmf(char key) { return proc_.WriteStdin(std::string("dtmf ") + key + "\n"); }
  // A picture loss indication to the panel, from the callee's RTCP port.
  bool Pli() { return proc_.WriteStdin("pli\n"); }
  // A full intra request (RFC 5104), likewise.
  bool Fir() { return proc_.WriteStdin("fir\n"); }
  std::string Output() const { return proc_.Stdout() + proc_.Stderr(); }

  // Output lines that start with `prefix` ("describe /ch2", "closed").
  int Count(const std::string &prefix) const { return int(Times(prefix).size()); }
  // The numbers after `key` on the lines that start with it ("first=", "idr=").
  std::vector<double> Times(const std::string &key) const {
    std::vector<double> out;
    for (const std::string &line : SplitLines(proc_.Stdout()))
      if (line.starts_with(key)) out.push_back(atof(line.c_str() + key.size()));
    return out;
  }
  // From the callee's last "frames=N audio=M" line.
  int Frames() const { return Last("frames="); }
  int Audio() const { return Last("audio="); }
  int Keys() const { return Last("keys="); }

 private:
  bool Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/python3", DORALIN_SOURCE_DIR "/tests/support/video_peer.py"});
    return proc_.Start(args, {.stdinPipe = true}) && proc_.WaitForStdout("ready", Millis(15000));
  }
  int Last(const std::string &key) const {
    const std::string out = proc_.Stdout();
    const size_t at = out.rfind(key);
    return at == std::string::npos ? 0 : atoi(out.c_str() + at + key.size());
  }

  Process proc_;
  std::vector<std::string> callee_;
};
