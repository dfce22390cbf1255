// tests/support/video_peer.py as a child process: an RTSP camera on
// 127.0.0.1, or the callee's media (H.264 decoded, audio counted, DTMF sent
// back to the panel).
#pragma once

#include "process.h"

class VideoPeer {
 public:
  // Serves the test picture at each mount path (e.g. "/ch1/trackID=0"):
  // 25 frames a second, an IDR every 25.
  bool StartCamera(int port, const std::vector<std::string> &paths);
  bool StartCallee(int videoPort, int audioPort);
  bool Stop() { return proc_.Stop(Millis(3000)); }

  // Output lines that start with `prefix` ("describe /ch2", "teardown", "closed").
  int Count(const std::string &prefix) const;
  // From the callee's last "frames=N audio=M" line.
  int Frames() const { return Last("frames="); }
  int Audio() const { return Last("audio="); }
  // The times of the "first=" or "idr=" lines, in order.
  std::vector<double> Times(const std::string &key) const;
  bool Dtmf(char key) { return proc_.WriteStdin(std::string("dtmf ") + key + "\n"); }
  std::string Output() const { return proc_.Stdout() + proc_.Stderr(); }
  pid_t pid() const { return proc_.pid(); }

 private:
  bool Start(std::vector<std::string> args);
  int Last(const std::string &key) const;

  Process proc_;
};
