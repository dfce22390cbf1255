// Call latencies of the daemon, end to end on loopback:
//   - "UART_EV_TRYING_CALL" sent on the bus -> first INVITE at the callee;
//   - DTMF INFO sent by the callee -> door command recorded by panel-sim.
// The callee is a minimal UDP SIP responder in this program, so both times
// are taken on CLOCK_MONOTONIC, the clock panel-sim stamps its records with.
//
// Usage: bench_calls [calls]   (default 100)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon.h"
#include "panel_sim.h"
#include "process.h"

namespace {

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

struct Callee {
  int fd = -1;
  int port = 0;
  sockaddr_in peer{};

  bool Open() {
    port = FreeUdpPort();
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(uint16_t(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0;
  }
  // Next datagram whose first line starts with `start`, within `ms`.
  bool Receive(const std::string &start, std::string *out, int ms) {
    double deadline = NowMs() + ms;
    char buf[8192];
    while (NowMs() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      socklen_t len = sizeof peer;
      ssize_t n = recvfrom(fd, buf, sizeof buf - 1, 0, reinterpret_cast<sockaddr *>(&peer), &len);
      if (n <= 0) continue;
      std::string msg(buf, size_t(n));
      if (msg.rfind(start, 0) == 0) {
        *out = msg;
        return true;
      }
    }
    return false;
  }
  // Like Receive, with the kernel's arrival time of the datagram (monotonic ms).
  bool ReceiveStamped(const std::string &start, std::string *out, double *arrival, int waitMs) {
    char buf[8192];
    char control[256];
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    iovec iov{buf, sizeof buf - 1};
    msghdr mh{};
    mh.msg_name = &peer;
    mh.msg_namelen = sizeof peer;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &mh, 0);
    if (n <= 0) return false;
    *arrival = NowMs();
    for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec at, real, mono;
        memcpy(&at, CMSG_DATA(c), sizeof at);
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        double offset = (double(real.tv_sec) - double(mono.tv_sec)) * 1000.0 +
                        (double(real.tv_nsec) - double(mono.tv_nsec)) / 1e6;
        *arrival = double(at.tv_sec) * 1000.0 + double(at.tv_nsec) / 1e6 - offset;
      }
    }
    std::string msg(buf, size_t(n));
    if (msg.rfind(start, 0) != 0) return false;
    *out = msg;
    return true;
  }
  void Send(const std::string &msg) {
    sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
  }
};

std::string Header(const std::string &msg, const std::string &name) {
  size_t at = msg.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  at += name.size() + 3;
  while (at < msg.size() && msg[at] == ' ') ++at;
  return msg.substr(at, msg.find("\r\n", at) - at);
}

std::string ContactUri(const std::string &invite) {
  std::string c = Header(invite, "Contact");
  size_t lt = c.find('<'), gt = c.find('>');
  return lt != std::string::npos && gt != std::string::npos ? c.substr(lt + 1, gt - lt - 1) : c;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = size_t(q * double(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char **argv) {
  int calls = argc > 1 ? atoi(argv[1]) : 100;
  Callee callee;
  if (!callee.Open()) return fprintf(stderr, "no callee socket\n"), 1;

  // Registrar for the panel's main account.
  int regPort = FreeUdpPort();
  Process registrar;
  std::string scenario = std::string(DORALIN_SOURCE_DIR) + "/tests/integration/scenarios_calls/registrar.xml";
  if (!registrar.Start({"sipp", "-sf", scenario, "-i", "127.0.0.1", "-p", std::to_string(regPort),
                        "-m", "1", "-nostdin"}))
    return fprintf(stderr, "no registrar\n"), 1;

  Daemon d;
  std::string port = std::to_string(regPort);
  d.config.store = {{"domain", "\"127.0.0.1\""}, {"port", port}, {"portRegister", port},
                    {"username", "\"panel\""}, {"password", "\"secret\""}, {"videoEnable", "false"}};
  d.config.files = {{"/oem/sip_accounts.conf",
                     "{\"12\":[\"bench@127.0.0.1:" + std::to_string(callee.port) + "\"]}"}};
  d.config.args = {"--debug"};
  if (!d.Setup()) return fprintf(stderr, "setup failed\n"), 1;
  PanelSim panel(d.BusAddress());
  if (!panel.Start() || !d.Launch() || !d.WaitStarted()) return fprintf(stderr, "start failed\n"), 1;
  WaitFor([&] { return d.Call("GetSipRegisterStatus").bytes == std::vector<uint8_t>{1}; }, Millis(10000));

  std::vector<double> toInvite, toHandler, toDoor;
  for (int i = 1; i <= calls; ++i) {
    double t0 = NowMs();
    if (!d.Signal("UART_EV_TRYING_CALL", std::vector<uint8_t>{12, 0, 2})) break;
    // Until the INVITE arrives, also note when the handler's start line
    // shows up on the daemon's standard error (late by the pipe and the
    // reader thread, well under a millisecond).
    std::string invite;
    double arrival = 0, handler = 0;
    while (NowMs() - t0 < 5000 && invite.empty()) {
      if (!handler && d.CountLog("Outgoing call start UART_TRYING_CALL") >= i) handler = NowMs();
      callee.ReceiveStamped("INVITE ", &invite, &arrival, 1);
    }
    if (invite.empty()) {
      fprintf(stderr, "call %d: no INVITE\n", i);
      break;
    }
    if (!handler) handler = arrival;
    toInvite.push_back(arrival - t0);
    toHandler.push_back(handler - t0);

    std::string via = Header(invite, "Via"), from = Header(invite, "From"),
                to = Header(invite, "To") + ";tag=bench" + std::to_string(i),
                callId = Header(invite, "Call-ID"), cseq = Header(invite, "CSeq");
    std::string local = "<sip:bench@127.0.0.1:" + std::to_string(callee.port) + ">";
    std::string sdp = "v=0\r\no=bench 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                      "m=audio " + std::to_string(callee.port + 1) +
                      " RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
    callee.Send("SIP/2.0 200 OK\r\nVia: " + via + "\r\nFrom: " + from + "\r\nTo: " + to +
                "\r\nCall-ID: " + callId + "\r\nCSeq: " + cseq + "\r\nContact: " + local +
                "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                "\r\n\r\n" + sdp);
    std::string ack;
    if (!callee.Receive("ACK ", &ack, 5000)) {
      fprintf(stderr, "call %d: no ACK\n", i);
      break;
    }
    auto request = [&](const std::string &method, int n, const std::string &type,
                       const std::string &body) {
      std::string m = method + " " + ContactUri(invite) + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                      std::to_string(callee.port) + ";branch=z9hG4bKbench" + std::to_string(i) +
                      method + "\r\nFrom: " + to + "\r\nTo: " + from + "\r\nCall-ID: " + callId +
                      "\r\nCSeq: " + std::to_string(n) + " " + method + "\r\nContact: " + local +
                      "\r\nMax-Forwards: 70\r\n";
      if (!type.empty()) m += "Content-Type: " + type + "\r\n";
      callee.Send(m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    double t1 = NowMs();
    request("INFO", 1, "application/dtmf-relay", "Signal=1\r\nDuration=160\r\n");
    auto door = panel.WaitForCommand("UartSendCommandOpenByIDWithSource", Millis(5000), i);
    if (!door) {
      fprintf(stderr, "call %d: no door command\n", i);
      break;
    }
    toDoor.push_back(door->t - t1);
    request("BYE", 2, "", "");
    if (!d.WaitLog("Set state: OUTGOING_SIP_ESTABLISHED -> IDLE", 5000, i)) {
      fprintf(stderr, "call %d: not back to IDLE\n", i);
      break;
    }
  }
  d.Terminate();
  d.WaitExit(10000);
  registrar.Stop();

  printf("calls measured: %zu\n", toInvite.size());
  printf("UART_EV_TRYING_CALL -> INVITE at callee: median %.2f ms, p99 %.2f ms\n",
         Percentile(toInvite, 0.5), Percentile(toInvite, 0.99));
  printf("  of it, signal -> handler on the bus thread: median %.2f ms, p99 %.2f ms\n",
         Percentile(toHandler, 0.5), Percentile(toHandler, 0.99));
  printf("DTMF INFO from callee -> door command at panel-sim: median %.2f ms, p99 %.2f ms\n",
         Percentile(toDoor, 0.5), Percentile(toDoor, 0.99));
  printf("bus loop pause: 35 ms per turn; a signal waits 0..35 ms (17.5 ms on average) of it;\n"
         "the DTMF path runs on the SIP loop and does not pass the bus loop\n");
  return toInvite.size() == size_t(calls) ? 0 : 1;
}
