// The daemon of the video benchmarks: registered at `regPort`, flat 12's one
// account at `calleePort`, the camera at `url` passed through.
#pragma once

#include <string>

#include "registered_daemon.h"

inline void VideoDaemonConfig(Daemon &d, int calleePort, const std::string &url) {
  d.config.panelSim = true;
  d.config.store.push_back({"videoEnable", "true"});
  d.config.files = {{"/oem/sip_accounts.conf", "{\"12\":[\"1201@127.0.0.1:" + std::to_string(calleePort) + "\"]}"}};
  d.config.args = {"--debug"};  // for the state lines
  d.config.rtspUrl = url;
  d.config.baresipExtra = "module avformat.so\navformat_pass_through yes\n";
}
