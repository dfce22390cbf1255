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

#include "daemon.h"
#include "figures.h"
#include "panel_sim.h"

namespace {

struct Callee {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int port = FreeUdpPort();
  sockaddr_in peer{};

  bool Open() {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(uint16_t(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0;
  }
  // Next datagram starting with `start` within `ms`; its arrival time, or 0.
  double Receive(const std::string &start, std::string *out, int ms) {
    const double deadline = MonotonicMs() + ms;
    char buf[8192];
    for (pollfd p{fd, POLLIN, 0}; MonotonicMs() < deadline;) {
      if (poll(&p, 1, 1) <= 0) continue;
      const double at = MonotonicMs();
      socklen_t len = sizeof peer;
      ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&peer), &len);
      if (n > 0 && std::string(buf, size_t(n)).rfind(start, 0) == 0) {
        out->assign(buf, size_t(n));
        return at;
      }
    }
    return 0;
  }
  void Send(const std::string &msg) {
    sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
  }
};

std::string Header(const std::string &msg, const std::string &name) {
  size_t at = msg.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  at = msg.find_first_not_of(' ', at + name.size() + 3);
  return msg.substr(at, msg.find("\r\n", at) - at);
}

}  // namespace

int main(int argc, char **argv) {
  const int calls = argc > 1 ? atoi(argv[1]) : 100;
  Callee callee;
  if (!callee.Open()) return fprintf(stderr, "no callee socket\n"), 1;
  const std::string regPort = std::to_string(FreeUdpPort()), me = std::to_string(callee.port);
  Process registrar;  // for the panel's main account
  if (!registrar.Start({"sipp", "-sf", DORALIN_SOURCE_DIR "/tests/integration/scenarios_calls/registrar.xml",
                        "-i", "127.0.0.1", "-p", regPort, "-m", "1", "-nostdin"}))
    return fprintf(stderr, "no registrar\n"), 1;
  Daemon d;
  d.config.store = {{"domain", "\"127.0.0.1\""}, {"port", regPort}, {"portRegister", regPort},
                    {"username", "\"panel\""}, {"password", "\"secret\""}, {"videoEnable", "false"}};
  d.config.files = {{"/oem/sip_accounts.conf", "{\"12\":[\"bench@127.0.0.1:" + me + "\"]}"}};
  d.config.args = {"--debug"};
  if (!d.Setup()) return fprintf(stderr, "setup failed\n"), 1;
  PanelSim panel(d.BusAddress());
  if (!panel.Start() || !d.Launch() || !d.WaitStarted()) return fprintf(stderr, "start failed\n"), 1;
  WaitFor([&] { return d.Call("GetSipRegisterStatus").bytes == std::vector<uint8_t>{1}; }, Millis(10000));

  std::vector<double> toInvite, toHandler, toDoor;
  for (int i = 1; i <= calls; ++i) {
    const double t0 = MonotonicMs();
    if (!d.Signal("UART_EV_TRYING_CALL", std::vector<uint8_t>{12, 0, 2})) break;
    // Also note when the handler's line reaches the daemon's stderr (late by
    // the pipe and the reader thread, well under a millisecond).
    std::string invite;
    double arrival = 0, handler = 0;
    while (MonotonicMs() - t0 < 5000 && !arrival) {
      if (!handler && d.CountLog("Outgoing call start UART_TRYING_CALL") >= i) handler = MonotonicMs();
      arrival = callee.Receive("INVITE ", &invite, 1);
    }
    if (!arrival) break;
    toInvite.push_back(arrival - t0);
    toHandler.push_back((handler ? handler : arrival) - t0);

    const std::string from = Header(invite, "From"), to = Header(invite, "To") + ";tag=b" + std::to_string(i),
                      callId = "\r\nCall-ID: " + Header(invite, "Call-ID"),
                      contact = "\r\nContact: <sip:bench@127.0.0.1:" + me + ">";
    const std::string sdp = "v=0\r\no=bench 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=audio " + std::to_string(callee.port + 1) +
                            " RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
    callee.Send("SIP/2.0 200 OK\r\nVia: " + Header(invite, "Via") + "\r\nFrom: " + from + "\r\nTo: " + to +
                callId + "\r\nCSeq: " + Header(invite, "CSeq") + contact +
                "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                "\r\n\r\n" + sdp);
    std::string ack;
    if (!callee.Receive("ACK ", &ack, 5000)) break;
    const std::string target = Header(invite, "Contact");
    auto request = [&](const std::string &method, int n, const std::string &body) {
      callee.Send(method + " " + target.substr(1, target.find('>') - 1) +
                  " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + me + ";branch=z9hG4bKbench" + std::to_string(i) +
                  method + "\r\nFrom: " + to + "\r\nTo: " + from + callId + "\r\nCSeq: " + std::to_string(n) +
                  " " + method + contact + "\r\nMax-Forwards: 70\r\n" +
                  (body.empty() ? "" : "Content-Type: application/dtmf-relay\r\n") +
                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    const double t1 = MonotonicMs();
    request("INFO", 1, "Signal=1\r\nDuration=160\r\n");
    auto door = panel.WaitForCommand("UartSendCommandOpenByIDWithSource", Millis(5000), i);
    if (!door) break;
    toDoor.push_back(door->t - t1);
    request("BYE", 2, "");
    if (!d.WaitLog("Set state: OUTGOING_SIP_ESTABLISHED -> IDLE", 5000, i)) break;
  }
  d.Terminate();
  d.WaitExit(10000);
  registrar.Stop();
  printf("# %zu of %d calls measured; the bus loop pauses 35 ms per turn, so a signal waits\n"
         "# 0..35 ms of it; the DTMF path runs on the SIP loop and skips the bus loop\n",
         toDoor.size(), calls);
  Figure("trying_to_invite", toInvite, "ms");
  Figure("trying_to_handler", toHandler, "ms");
  Figure("dtmf_info_to_door_command", toDoor, "ms");
  return toDoor.size() == size_t(calls) ? 0 : 1;
}
