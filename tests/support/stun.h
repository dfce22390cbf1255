// A STUN binding responder (RFC 5389) on a thread: answers each binding
// request with the address it came from, or with `mapTo` (IPv4, the source's
// port + 1000) to stand for a router. With `forge`, a second socket first
// answers the same transaction naming 198.51.100.9, as a stranger would.
// Optionally inside the network namespace at `netns` (the thread's own).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "process.h"

class StunServer {
 public:
  struct Options {
    std::string ip = "127.0.0.1";
    int port = 0;  // 0: a free one
    std::string mapTo;
    bool forge = false;
    std::string netns;  // "/run/netns/NAME"
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
  static int Bound(const std::string &ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  static void Answer(int fd, const uint8_t *req, const sockaddr_in &to, in_addr addr, uint16_t port) {
    uint8_t r[32] = {0x01, 0x01, 0x00, 0x0c};
    memcpy(r + 4, req + 4, 16);  // magic cookie and transaction id
    const uint8_t attr[4] = {0x00, 0x20, 0x00, 0x08};
    memcpy(r + 20, attr, 4);
    r[25] = 0x01;
    const uint16_t xport = htons(port ^ 0x2112);
    const uint32_t xaddr = addr.s_addr ^ htonl(0x2112A442);
    memcpy(r + 26, &xport, 2);
    memcpy(r + 28, &xaddr, 4);
    sendto(fd, r, sizeof r, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }
  void Serve() {
    if (!opt_.netns.empty()) {
      const int ns = open(opt_.netns.c_str(), O_RDONLY | O_CLOEXEC);
      const bool in = ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
      if (ns >= 0) close(ns);
      if (!in) {
        ready_ = -1;
        return;
      }
    }
    const int fd = Bound(opt_.ip, port_), stranger = Bound(opt_.ip, 0);
    ready_ = fd >= 0 && stranger >= 0 ? 1 : -1;
    // Ends with the object, and at the latest after ten minutes.
    for (int turn = 0; ready_ > 0 && !stop_ && turn < 6000; ++turn) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      uint8_t req[548];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n < 20 || req[0] != 0x00 || req[1] != 0x01 || memcmp(req + 4, "\x21\x12\xa4\x42", 4) != 0) continue;
      in_addr addr = from.sin_addr, fake{};
      uint16_t port = ntohs(from.sin_port);
      if (!opt_.mapTo.empty()) {
        inet_pton(AF_INET, opt_.mapTo.c_str(), &addr);
        port = uint16_t(port + 1000);
      }
      if (opt_.forge) {
        inet_pton(AF_INET, "198.51.100.9", &fake);
        Answer(stranger, req, from, fake, 9);
      }
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
