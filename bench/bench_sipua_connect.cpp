// Time from ua_connect() to the INVITE arriving at a UDP socket on loopback,
// over 200 calls.
#include <poll.h>

#include "figures.h"

int main() {
  const int port = FreeUdpPort(), fd = BoundUdp(port);
  SipuaAgent sipua(FreeUdpPort(), "sip:panel@127.0.0.1;auth_pass=x");
  if (fd < 0 || !sipua.ok) return 1;
  const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(port);
  std::vector<double> us;
  char buf[8192];
  for (int i = 0; i < 200; ++i) {
    struct call *call = nullptr;
    pollfd p{fd, POLLIN, 0};
    const double t0 = MonotonicMs();
    if (ua_connect(sipua.ua, &call, nullptr, uri.c_str(), VIDMODE_OFF) || poll(&p, 1, 1000) != 1) return 1;
    us.push_back((MonotonicMs() - t0) * 1e3);
    if (recv(fd, buf, sizeof buf, 0) < 0) return 1;
    ua_hangup(sipua.ua, call, 0, nullptr);
  }
  Figure("ua_connect_to_invite", us, "us");
  return 0;
}
