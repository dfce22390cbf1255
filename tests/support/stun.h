// A STUN binding responder (RFC 5389) on a thread, optionally inside the
// network namespace at `netns`: answers with the request's source, or with
// `mapTo` and the source port + 1000 to stand for a router. With `forge`, a
// stranger's socket first answers the same transaction naming 198.51.100.9.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "process.h"

class StunServer {
 public:
  struct Options {
    std::string ip = "127.0.0.1";
    int port = 0;  // 0: a free one
    std::string mapTo, netns;
    bool forge = false;
  };
  bool Start(const Options &o) {
    opt_ = o;
    port_ = o.port ? o.port : FreeUdpPort();
    thread_ = std::thread([this] { Serve(); });
    return WaitFor([this] { return ready_ != 0; }, Millis(5000)) && ready_ > 0;
  }
  ~StunServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }
  int answered() const { return answered_; }

 private:
  int Bound(int port) const {
    sockaddr_in a = Loopback(port);
    inet_pton(AF_INET, opt_.ip.c_str(), &a.sin_addr);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
  }
  static void Answer(int fd, const uint8_t *req, const sockaddr_in &to, in_addr addr, uint16_t port) {
    uint8_t r[32] = {0x01, 0x01, 0x00, 0x0c};
    memcpy(r + 4, req + 4, 16);  // cookie and transaction
    const uint8_t attr[6] = {0x00, 0x20, 0x00, 0x08, 0x00, 0x01};  // XOR-MAPPED-ADDRESS, IPv4
    const uint16_t xport = htons(port ^ 0x2112);
    const uint32_t xaddr = addr.s_addr ^ htonl(0x2112A442);
    memcpy(r + 20, attr, 6);
    memcpy(r + 26, &xport, 2);
    memcpy(r + 28, &xaddr, 4);
    sendto(fd, r, sizeof r, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }
  void Serve() {
    const int ns = opt_.netns.empty() ? -1 : open(opt_.netns.c_str(), O_RDONLY | O_CLOEXEC);
    const bool in = opt_.netns.empty() || (ns >= 0 && setns(ns, CLONE_NEWNET) == 0);
    if (ns >= 0) close(ns);
    const int fd = in ? Bound(port_) : -1, stranger = in ? Bound(0) : -1;
    ready_ = fd >= 0 && stranger >= 0 ? 1 : -1;
    // Ends with the object, or after ten minutes at the latest.
    for (int turn = 0; ready_ > 0 && !stop_ && turn < 6000; ++turn) {
      pollfd p{fd, POLLIN, 0};
      uint8_t req[548];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      if (poll(&p, 1, 100) != 1 ||
          recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&from), &len) < 20 ||
          req[0] != 0 || req[1] != 1 || memcmp(req + 4, "\x21\x12\xa4\x42", 4) != 0)
        continue;
      in_addr addr = from.sin_addr, fake{};
      uint16_t port = ntohs(from.sin_port);
      if (!opt_.mapTo.empty()) port = uint16_t(port + 1000 * inet_pton(AF_INET, opt_.mapTo.c_str(), &addr));
      if (opt_.forge && inet_pton(AF_INET, "198.51.100.9", &fake) == 1) Answer(stranger, req, from, fake, 9);
      Answer(fd, req, from, addr, port);
      ++answered_;
    }
    if (fd >= 0) close(fd);
    if (stranger >= 0) close(stranger);
  }

  Options opt_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<int> ready_{0}, answered_{0};
  std::atomic<bool> stop_{false};
};
