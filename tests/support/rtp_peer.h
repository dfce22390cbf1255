// A test's own RTP endpoint on loopback: the resident's media socket that a
// sipp callee's SDP names, or a stranger's.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "process.h"

// A socket of the test on `ip` that speaks RTP (PCMU, telephone events) and
// RTCP to the panel, and notes when the panel's RTP reaches it and from where.
struct RtpPeer {
  static double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in panel{};
  uint16_t seq = 0;
  uint32_t ts = 0, ssrc = 0x5eed;
  std::vector<double> heard;  // arrival times of the panel's RTP

  explicit RtpPeer(const char *ip, int port = 0) {
    sockaddr_in sa = Loopback(port);
    inet_pton(AF_INET, ip, &sa.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  ~RtpPeer() { close(fd); }
  void Send(uint8_t pt, uint32_t t, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> b = {0x80, pt, uint8_t(seq >> 8), uint8_t(seq), uint8_t(t >> 24), uint8_t(t >> 16),
                              uint8_t(t >> 8), uint8_t(t), uint8_t(ssrc >> 24), uint8_t(ssrc >> 16),
                              uint8_t(ssrc >> 8), uint8_t(ssrc)};
    ++seq;
    b.insert(b.end(), payload.begin(), payload.end());
    sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&panel), sizeof panel);
  }
  // 20 ms of a tone in PCMU.
  void Tone(double hz) {
    std::vector<uint8_t> pcmu;
    for (uint32_t i = 0; i < 160; ++i) {
      const int s = int(16000 * std::sin(2 * M_PI * hz * (ts + i) / 8000));
      const int sign = s < 0 ? 0x80 : 0, v = std::min(std::abs(s), 32635) + 132;
      int exp = 7;
      while (exp > 0 && !(v & (0x80 << exp))) --exp;
      pcmu.push_back(uint8_t(~(sign | exp << 4 | ((v >> (exp + 3)) & 0x0f))));
    }
    Send(0, ts, pcmu);
    ts += 160;
  }
  // One press of `event` as RFC 4733 sends it: packets of one timestamp,
  // each an end or not, in the order given.
  void Press(uint8_t event, std::initializer_list<bool> ends) {
    for (bool end : ends) Send(101, ts, {event, uint8_t(end ? 0x8a : 0x0a), 0x03, 0x20});
  }
  // A receiver report (one block: libre takes none without) to the panel's RTCP port.
  void Rtcp() {
    uint8_t rr[32] = {0x81, 201, 0, 7, uint8_t(ssrc >> 24), uint8_t(ssrc >> 16), uint8_t(ssrc >> 8), uint8_t(ssrc)};
    sockaddr_in to = panel;
    to.sin_port = htons(uint16_t(ntohs(panel.sin_port) + 1));
    sendto(fd, rr, sizeof rr, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
  // Waits up to `ms` for the panel's RTP; the first names the panel's port.
  void Listen(int ms) {
    for (const double end = NowMs() + ms; NowMs() < end;) {
      pollfd p = {fd, POLLIN, 0};
      sockaddr_in from{};
      socklen_t len = sizeof from;
      uint8_t buf[512];
      if (poll(&p, 1, 5) != 1 || recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &len) < 12) continue;
      if (heard.empty()) panel = from;
      heard.push_back(NowMs());
    }
  }
};

inline int LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return ntohs(sa.sin_port);
}
