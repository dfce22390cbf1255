#include "video_peer.h"

#include <cstdlib>

bool VideoPeer::Start(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/python3", DORALIN_SOURCE_DIR "/tests/support/video_peer.py"});
  return proc_.Start(args, {.stdinPipe = true}) && proc_.WaitForStdout("ready", Millis(15000));
}

bool VideoPeer::StartCamera(int port, const std::vector<std::string> &paths) {
  std::vector<std::string> args = {"camera", std::to_string(port)};
  args.insert(args.end(), paths.begin(), paths.end());
  return Start(args);
}

bool VideoPeer::StartCallee(int videoPort, int audioPort) {
  return Start({"callee", std::to_string(videoPort), std::to_string(audioPort)});
}

int VideoPeer::Count(const std::string &prefix) const {
  int n = 0;
  for (const std::string &line : SplitLines(proc_.Stdout())) n += line.starts_with(prefix);
  return n;
}

int VideoPeer::Last(const std::string &key) const {
  const std::string out = proc_.Stdout();
  const size_t at = out.rfind(key);
  return at == std::string::npos ? 0 : atoi(out.c_str() + at + key.size());
}

std::vector<double> VideoPeer::Times(const std::string &key) const {
  std::vector<double> out;
  for (const std::string &line : SplitLines(proc_.Stdout()))
    if (line.starts_with(key)) out.push_back(atof(line.c_str() + key.size()));
  return out;
}
