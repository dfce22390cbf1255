// Call latencies of the daemon, end to end on loopback:
//   - "UART_EV_TRYING_CALL" sent on the bus -> first INVITE at the callee;
//   - DTMF INFO sent by the callee -> door command recorded by panel-sim.
// The callee is a minimal UDP SIP responder in this program, so both times
// are taken on CLOCK_MONOTONIC, the clock panel-sim stamps its records with.
//   bench_calls [calls=100]
#include <poll.h>

#include "registered_daemon.h"
#include "figures.h"
#include "panel_sim.h"

int main(int argc, char **argv) {
  const int calls = argc > 1 ? atoi(argv[1]) : 100;
  const int port = FreeUdpPort(), fd = BoundUdp(port);
  if (fd < 0) return fprintf(stderr, "no callee socket\n"), 1;
  // The next datagram starting with `start` within `ms`; its arrival time, or 0.
  auto receive = [&](const std::string &start, std::string *out, int ms) {
    char buf[8192];
    for (const double deadline = MonotonicMs() + ms; MonotonicMs() < deadline;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1) <= 0) continue;
      const double at = MonotonicMs();
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0 && std::string(buf, size_t(n)).rfind(start, 0) == 0) {
        out->assign(buf, size_t(n));
        return at;
      }
    }
    return 0.0;
  };
  auto header = [](const std::string &msg, const std::string &name) {
    size_t at = msg.find("\r\n" + name + ":");
    if (at == std::string::npos) return std::string();
    at = msg.find_first_not_of(' ', at + name.size() + 3);
    return msg.substr(at, msg.find("\r\n", at) - at);
  };
  const std::string me = std::to_string(port);
  RegisteredDaemon r;
  Daemon &d = r.d;
  d.config.panelSim = true;
  d.config.files = {{"/oem/sip_accounts.conf", "{\"12\":[\"bench@127.0.0.1:" + me + "\"]}"}};
  d.config.args = {"--debug"};
  if (!r.Setup()) return fprintf(stderr, "setup failed\n"), 1;
  const sockaddr_in daemon = Loopback(d.SipPort());
  if (!r.Launch()) return fprintf(stderr, "start failed\n"), 1;
  PanelSim &panel = *d.Panel();

  std::vector<double> toInvite, toHandler, toDoor;
  for (int i = 1; i <= calls; ++i) {
    const double t0 = MonotonicMs();
    if (!d.Signal("UART_EV_TRYING_CALL", std::vector<uint8_t>{12, 0, 2})) break;
    // The handler's line reaches the daemon's stderr late by the pipe and the
    // reader thread, well under a millisecond.
    std::string invite, ack;
    double arrival = 0, handler = 0;
    while (MonotonicMs() - t0 < 5000 && !arrival) {
      if (!handler && d.CountLog("Outgoing call start UART_TRYING_CALL") >= i) handler = MonotonicMs();
      arrival = receive("INVITE ", &invite, 1);
    }
    if (!arrival) break;
    toInvite.push_back(arrival - t0);
    toHandler.push_back((handler ? handler : arrival) - t0);

    // A message in this call's dialog: its start line, Via, From and To, CSeq and body.
    auto send = [&](const std::string &start, const std::string &via, const std::string &fromTo,
                    const std::string &cseq, const std::string &type, const std::string &body) {
      const std::string msg = start + "\r\nVia: " + via + fromTo + "\r\nCall-ID: " + header(invite, "Call-ID") +
                              "\r\nCSeq: " + cseq + "\r\nContact: <sip:bench@127.0.0.1:" + me +
                              ">\r\nMax-Forwards: 70\r\n" + (type.empty() ? "" : "Content-Type: " + type + "\r\n") +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
      sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr *>(&daemon), sizeof daemon);
    };
    const std::string from = header(invite, "From"), to = header(invite, "To") + ";tag=b" + std::to_string(i),
                      target = header(invite, "Contact");
    send("SIP/2.0 200 OK", header(invite, "Via"), "\r\nFrom: " + from + "\r\nTo: " + to, header(invite, "CSeq"),
         "application/sdp",
         "v=0\r\no=bench 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
             std::to_string(port + 1) +
             " RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n");
    if (!receive("ACK ", &ack, 5000)) break;
    const std::string uri = target.substr(1, target.find('>') - 1) + " SIP/2.0",
                      via = "SIP/2.0/UDP 127.0.0.1:" + me + ";branch=z9hG4bKbench" + std::to_string(i),
                      back = "\r\nFrom: " + to + "\r\nTo: " + from;
    const double t1 = MonotonicMs();
    send("INFO " + uri, via + "info", back, "1 INFO", "application/dtmf-relay", "Signal=1\r\nDuration=160\r\n");
    auto door = panel.WaitForCommand("UartSendCommandOpenByIDWithSource", Millis(5000), i);
    if (!door) break;
    toDoor.push_back(door->t - t1);
    send("BYE " + uri, via + "bye", back, "2 BYE", "", "");
    if (!d.WaitLog("Set state: OUTGOING_SIP_ESTABLISHED -> IDLE", 5000, i)) break;
  }
  printf("# %zu of %d calls measured; the bus loop pauses 35 ms per turn, so a signal waits\n"
         "# 0..35 ms of it; the DTMF path runs on the SIP loop and skips the bus loop\n",
         toDoor.size(), calls);
  Figure("trying_to_invite", toInvite, "ms");
  Figure("trying_to_handler", toHandler, "ms");
  Figure("dtmf_info_to_door_command", toDoor, "ms");
  return toDoor.size() == size_t(calls) ? 0 : 1;
}
