// The SIP library's config file (etc/baresip/config) checked for what can be
// told from its text alone: known keys, numbers in range, ports that fit.
// The daemon runs it before bringing SIP up, doralinctl without a daemon.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "ornix.h"

namespace {

enum Kind { kText, kBool, kNumber, kRange, kListen };

struct Key {
  const char *name;
  Kind kind;
  unsigned long min, max;
};

const Key kKeys[] = {
    {"sip_listen", kListen, 0, 0},          {"sip_uuid", kText, 0, 0},
    {"sip_certificate", kText, 0, 0},       {"sip_cafile", kText, 0, 0},
    {"sip_capath", kText, 0, 0},            {"sip_verify_server", kBool, 0, 0},
    {"sip_max_connections", kNumber, 1, 512}, {"sip_keepalive", kNumber, 0, 3600},
    {"sip_outbound", kBool, 0, 0},          {"sip_regint", kNumber, 60, 86400},
    {"sip_medianat", kText, 0, 0},          {"sip_stunserver", kText, 0, 0},
    {"call_local_timeout", kNumber, 0, 86400}, {"call_max_calls", kNumber, 0, 64},
    {"call_accept", kBool, 0, 0},           {"rtp_ports", kRange, 1, 65535},
    {"rtp_bandwidth", kRange, 0, 100000000}, {"rtp_timeout", kNumber, 0, 86400},
    {"rtp_latch", kBool, 0, 0},             {"rtcp_mux", kBool, 0, 0},
    {"rtp_stats", kBool, 0, 0},             {"audio_path", kText, 0, 0},
    {"audio_player", kText, 0, 0},          {"audio_source", kText, 0, 0},
    {"audio_alert", kText, 0, 0},           {"audio_buffer", kRange, 1, 2000},
    {"ausrc_srate", kNumber, 8000, 48000},  {"auplay_srate", kNumber, 8000, 48000},
    {"ausrc_channels", kNumber, 1, 2},      {"auplay_channels", kNumber, 1, 2},
    {"jitter_buffer_type", kText, 0, 0},    {"jitter_buffer_delay", kRange, 0, 1000},
    {"audio_jitter_buffer_type", kText, 0, 0}, {"audio_jitter_buffer_delay", kRange, 0, 1000},
    {"video_jitter_buffer_type", kText, 0, 0}, {"video_jitter_buffer_delay", kRange, 0, 1000},
    {"video_source", kText, 0, 0},          {"rtspsrc_url", kText, 0, 0},
    {"video_size", kText, 0, 0},            {"video_bitrate", kNumber, 0, 100000000},
    {"video_fps", kText, 0, 0},             {"net_interface", kText, 0, 0},
    {"dns_server", kText, 0, 0},            {"module", kText, 0, 0},
    {"module_tmp", kText, 0, 0},            {"module_app", kText, 0, 0},
    {"mediaenc_default", kText, 0, 0},      {"avformat_pass_through", kBool, 0, 0},
    {"avformat_rtsp_transport", kText, 0, 0},
    {"webrtc_aec_extended_filter", kBool, 0, 0}, {"webrtc_aec_delay", kNumber, 0, 500},
    {"speex_agc_level", kNumber, 1, 32768}, {"speex_denoise", kBool, 0, 0},
    {"speex_agc", kBool, 0, 0},             {"speex_vad", kBool, 0, 0},
    {"opus_bitrate", kNumber, 6000, 510000}, {"opus_samplerate", kNumber, 8000, 48000},
    {"opus_stereo", kBool, 0, 0},           {"opus_sprop_stereo", kBool, 0, 0},
    {"opus_cbr", kBool, 0, 0},              {"opus_inbandfec", kBool, 0, 0},
    {"opus_dtx", kBool, 0, 0},              {"opus_complexity", kNumber, 0, 10},
    {"opus_application", kText, 0, 0},      {"opus_packet_loss", kNumber, 0, 100},
};

bool Number(const std::string &text, unsigned long *value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  *value = strtoul(text.c_str(), nullptr, 10);
  return errno == 0;
}

// Why `value` does not fit `key`, or "" when it does.
std::string Problem(const Key &key, const std::string &value) {
  char why[160] = "";
  unsigned long a = 0, b = 0;
  switch (key.kind) {
    case kText:
      break;
    case kBool:
      if (value != "yes" && value != "no" && value != "true" && value != "false")
        snprintf(why, sizeof why, "'%s' is not yes or no", value.c_str());
      break;
    case kNumber:
      if (!Number(value, &a) || a < key.min || a > key.max)
        snprintf(why, sizeof why, "'%s' not in %lu-%lu", value.c_str(), key.min, key.max);
      break;
    case kRange: {
      const size_t dash = value.find('-');
      if (dash == std::string::npos || !Number(value.substr(0, dash), &a) || !Number(value.substr(dash + 1), &b) ||
          a > b || a < key.min || b > key.max)
        snprintf(why, sizeof why, "'%s' is not a range MIN-MAX within %lu-%lu", value.c_str(), key.min, key.max);
      break;
    }
    case kListen: {
      // ADDRESS[:PORT]; an IPv6 address with a port in brackets.
      const size_t colon = value.rfind(':'), bracket = value.rfind(']');
      const bool hasPort = colon != std::string::npos && (value[0] != '[' ? value.find(':') == colon
                                                                         : bracket != std::string::npos && colon > bracket);
      if (hasPort && (!Number(value.substr(colon + 1), &a) || a > 65535))
        snprintf(why, sizeof why, "port '%s' not in 0-65535", value.substr(colon + 1).c_str());
      break;
    }
  }
  return why;
}

}  // namespace

int SipConfigCheck(const char *path, SipConfigReport report, void *arg) {
  std::ifstream in(path);
  if (!in) {
    report(arg, true, std::string(path) + ": cannot be read: " + strerror(errno));
    return -1;
  }
  int errors = 0;
  std::set<std::string> unknown;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    const size_t end = line.find_first_of(" \t\r", start);
    const std::string name = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string value;
    if (end != std::string::npos) {
      const size_t v = line.find_first_not_of(" \t", end), e = line.find_last_not_of(" \t\r");
      if (v != std::string::npos && e >= v) value = line.substr(v, e - v + 1);
    }
    const Key *key = nullptr;
    for (const Key &k : kKeys)
      if (name == k.name) key = &k;
    const std::string at = std::string(path) + ":" + std::to_string(number) + ": ";
    if (!key) {
      // Once per key: a misspelling is worth one line, not one per use.
      if (unknown.insert(name).second) report(arg, false, at + name + ": unknown key, ignored");
      continue;
    }
    const std::string why = Problem(*key, value);
    if (!why.empty()) {
      report(arg, true, at + name + ": " + why);
      ++errors;
    }
  }
  return errors;
}
