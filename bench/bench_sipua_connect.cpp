// Time from ua_connect() to the INVITE arriving at a UDP socket on loopback,
// over 200 calls.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "figures.h"
#include "sipp.h"

int main() {
  TempDir dir("sipua-connect");
  dir.Write("config", "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) +
                          "\nrtp_ports 50000-59999\n");
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sin), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len) != 0)
    return 1;
  const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(ntohs(sin.sin_port));

  if (libre_init()) return 1;
  conf_path_set(dir.path().c_str());
  struct ua *ua = nullptr;
  int err = conf_configure();
  if (!err) err = baresip_init(conf_config());
  if (!err) err = ua_init("sipua-bench", true, false, false);
  if (!err) err = ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x");
  if (err) return 1;

  std::vector<double> us;
  char buf[8192];
  for (int i = 0; i < 200; ++i) {
    struct call *call = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    if (ua_connect(ua, &call, nullptr, uri.c_str(), VIDMODE_OFF)) return 1;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return 1;
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (recv(fd, buf, sizeof(buf), 0) < 0) return 1;
    ua_hangup(ua, call, 0, nullptr);
  }
  printf("# %zu calls\n", us.size());
  Figure("ua_connect_to_invite", us, "us");
  close(fd);
  ua_stop_all(true);
  ua_close();
  conf_close();
  baresip_close();
  libre_close();
  return 0;
}
