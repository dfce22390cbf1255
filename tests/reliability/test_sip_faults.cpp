// Hostile SIP input and SIP-side faults against the running daemon: raw
// datagrams and sipp peers on 127.0.0.1, panel-sim as the panel.
#include "sip/re_headers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "sipp.h"

namespace {

// `scenario` is relative to tests/.
std::unique_ptr<Sipp> Peer(const std::string &scenario, int target = 0, int port = 0,
                           std::vector<std::string> args = {}, int calls = 1) {
  auto peer = std::make_unique<Sipp>();
  SippRun run("../../" + scenario, target);
  run.localPort = port;
  run.calls = calls;
  run.args = std::move(args);
  run.timeout = Millis(40000);
  return peer->Start(run) ? std::move(peer) : nullptr;
}

const char kRegistrar[] = "integration/scenarios_calls/registrar.xml";

struct Rig {
  Daemon d;
  std::unique_ptr<PanelSim> panel;
  ~Rig() {
    if (d.Running()) {
      d.Terminate();
      EXPECT_NE(d.WaitExit(15000), -1);
    }
    EXPECT_TRUE(d.SanitizerReports().empty());
    if (::testing::Test::HasFailure())
      for (auto &line : d.Logs()) fprintf(stderr, "daemon| %s\n", line.c_str());
  }
  // Registers at 127.0.0.1:registrar; flat 12's handset is 127.0.0.1:handset.
  bool Start(int registrar, int handset, const std::string &baresip = "") {
    const std::string port = std::to_string(registrar);
    d.config.args = {"--trace"};
    d.config.env = {{"SIPUA_LOG", "1"}};
    d.config.store = {{"domain", "\"127.0.0.1\""}, {"domainRegister", "\"127.0.0.1\""},
                      {"port", port},              {"portRegister", port},
                      {"username", "\"panel\""},   {"password", "\"secret\""},
                      {"videoEnable", "false"}};
    d.config.files = {{"/oem/sip_accounts.conf",
                       "{\"12\":[\"1201@127.0.0.1:" + std::to_string(handset) + "\"]}"}};
    d.config.baresipExtra = baresip;
    if (!d.Setup()) return false;
    panel = std::make_unique<PanelSim>(d.BusAddress());
    return panel->Start() && d.Launch() && d.WaitStarted();
  }
  bool Registered() {
    BusReply r = d.Call("GetSipRegisterStatus");
    return r.ok && r.bytes == std::vector<uint8_t>{1};
  }
  bool WaitRegistered() { return WaitFor([&] { return Registered(); }, Millis(8000), Millis(100)); }
  bool Dial() { return panel->SendEvent("UART_EV_TRYING_CALL", {12, 0, 2}); }
  int Byes() const {
    return panel->Count("UartSendCommandBye") + panel->Count("UartSendCommandByeWithState");
  }
};

// Sends one datagram ("$P" stands for the sender's port) to the daemon; the
// status line of its first answer other than 100 within `ms`, "" when none.
std::string Exchange(int port, std::string text, int ms) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (fd < 0 || bind(fd, (sockaddr *)&sin, len) || getsockname(fd, (sockaddr *)&sin, &len))
    return "socket failed";
  for (size_t at; (at = text.find("$P")) != std::string::npos;)
    text.replace(at, 2, std::to_string(ntohs(sin.sin_port)));
  sin.sin_port = htons(uint16_t(port));
  sendto(fd, text.data(), text.size(), 0, (sockaddr *)&sin, sizeof sin);
  std::string answer;
  pollfd p{fd, POLLIN, 0};
  for (int i = 0; i < 4 && answer.empty() && poll(&p, 1, ms) == 1; ++i) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    std::string line(buf, size_t(n > 0 ? n : 0));
    line = line.substr(0, line.find("\r\n"));
    if (line.rfind("SIP/2.0 100", 0) != 0) answer = line;
  }
  close(fd);
  return answer;
}

// A request for flat 12 with header lines edited: {prefix, replacement}
// replaces the line starting with prefix ("" removes it), {"", line} adds one.
std::string Request(const std::string &method, const std::vector<std::pair<std::string, std::string>> &edits = {},
                    const std::string &body = "") {
  static int n = 0;
  const std::string id = std::to_string(++n);
  std::vector<std::string> lines = {
      method + " sip:12@127.0.0.1 SIP/2.0", "Via: SIP/2.0/UDP 127.0.0.1:$P;branch=z9hG4bKh" + id,
      "From: <sip:gate@127.0.0.1>;tag=f" + id, "To: <sip:12@127.0.0.1>", "Call-ID: hostile" + id,
      "CSeq: 1 " + method, "Contact: <sip:gate@127.0.0.1:$P>", "Max-Forwards: 70"};
  if (!body.empty()) lines.push_back("Content-Type: application/sdp");
  lines.push_back("Content-Length: " + std::to_string(body.size()));
  for (auto &[prefix, line] : edits) {
    if (prefix.empty()) lines.insert(lines.end() - 1, line);
    for (auto &l : lines)
      if (!prefix.empty() && l.rfind(prefix, 0) == 0) l = line;
  }
  std::string text;
  for (auto &l : lines)
    if (!l.empty()) text += l + "\r\n";
  return text + "\r\n" + body;
}

const char kSdp[] = "v=0\r\no=gate 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                    "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

}  // namespace

TEST(SipFaults, HostileInputAndAnInviteFloodLeaveTheCallAndTheDaemonAlone) {
  auto registrar = Peer(kRegistrar, 0, 0, {}, 9);
  ASSERT_TRUE(registrar);
  const int handset = FreeUdpPort();
  Rig rig;
  ASSERT_TRUE(rig.Start(registrar->port(), handset));
  ASSERT_TRUE(rig.WaitRegistered());
  struct Case {
    const char *what;
    std::string text;
    const char *answer;  // start of the status line, "" for none
  } cases[] = {
      {"garbage", std::string("\x01\x02 hello \xff\r\n\r\n"), ""},
      {"bad Via", Request("INVITE", {{"Via:", "Via: SIP/2.0/UDP ;;;branch"}}, kSdp), ""},
      {"no Via", Request("INVITE", {{"Via:", ""}}, kSdp), ""},
      {"no Call-ID", Request("INVITE", {{"Call-ID:", ""}}, kSdp), "SIP/2.0 400"},
      {"no CSeq", Request("INVITE", {{"CSeq:", ""}}, kSdp), "SIP/2.0 400"},
      {"CSeq of a BYE", Request("INVITE", {{"CSeq:", "CSeq: 1 BYE"}}, kSdp), "SIP/2.0 400"},
      {"60 KB header", Request("INVITE", {{"", "X-Big: " + std::string(60000, 'A')}}, kSdp), ""},
      {"long body promised", Request("INVITE", {{"Content-Length:", "Content-Length: 99999"}}, kSdp), "SIP/2.0 400"},
      {"bad SDP", Request("INVITE", {}, "v=0\r\nm=audio x RTP/AVP\r\nc=IN IP4\r\n"), "SIP/2.0 400"},
      {"BYE for no dialog", Request("BYE", {{"To:", "To: <sip:12@127.0.0.1>;tag=none"}}), "SIP/2.0 481"},
      {"CANCEL for no call", Request("CANCEL"), "SIP/2.0 481"},
      {"stray answer", "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKx\r\n"
                       "From: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\nCall-ID: x\r\nCSeq: 1 INVITE\r\n\r\n", ""},
  };
  for (const Case &c : cases) {
    const std::string answer = Exchange(rig.d.SipPort(), c.text, *c.answer ? 3000 : 300);
    EXPECT_EQ(answer.substr(0, *c.answer ? strlen(c.answer) : answer.npos), c.answer) << c.what;
  }
  EXPECT_EQ(rig.panel->Count("UartSendCommandCall"), 0);
  EXPECT_FALSE(rig.d.HasLog("INCOMING_DIALING"));

  // A normal call, and forty callers at once while it is up: each is busy.
  // The call goes on to the callee's BYE, after four seconds.
  auto flat = Peer("reliability/scenarios/callee_bye_later.xml", 0, handset);
  ASSERT_TRUE(flat && rig.Dial());
  ASSERT_TRUE(rig.d.WaitLog("-> OUTGOING_SIP_ESTABLISHED"));
  auto flood = Peer("integration/scenarios_calls/caller_rejected_486.xml", rig.d.SipPort(), 0,
                    {"-s", "13", "-r", "200"}, 40);
  ASSERT_TRUE(flood);
  EXPECT_EQ(flood->Wait(), 0) << flood->Output();
  // A BYE forged with the live call's Call-ID but not its tags.
  const std::string out = flat->Output();
  const size_t at = out.find("Call-ID: ") + 9;
  ASSERT_NE(at, 8u) << out;
  const std::string callId = out.substr(at, out.find_first_of("\r\n", at) - at);
  EXPECT_EQ(Exchange(rig.d.SipPort(), Request("BYE", {{"Call-ID:", "Call-ID: " + callId},
                                                      {"To:", "To: <sip:12@127.0.0.1>;tag=forged"}}),
                     3000).substr(0, 11), "SIP/2.0 481");
  EXPECT_EQ(flat->Wait(), 0) << flat->Output();  // its BYE ended the call
  ASSERT_TRUE(rig.d.WaitLog("OUTGOING_SIP_ESTABLISHED -> IDLE"));
  EXPECT_TRUE(WaitFor([&] { return rig.Byes() > 0; }, Millis(3000)));
  EXPECT_EQ(rig.Byes(), 1);
  EXPECT_EQ(rig.panel->Count("UartSendCommandCall"), 0);
  EXPECT_TRUE(rig.Registered());
}

// No registrar at start-up, then one out of service, then one accepting:
// the daemon keeps serving, and the next visitor's call registers it again.
// A restart against the same registrar registers at once.
TEST(SipFaults, RegistrarDownFailingThenBackAndARestart) {
  const int port = FreeUdpPort(), handset = FreeUdpPort();
  Rig rig;
  ASSERT_TRUE(rig.Start(port, handset));
  EXPECT_TRUE(rig.d.Call("GetDtmf", "{}").ok);
  EXPECT_FALSE(rig.Registered());
  auto refusing = Peer("reliability/scenarios/registrar_503.xml", 0, port);
  ASSERT_TRUE(refusing);
  EXPECT_EQ(refusing->Wait(), 0) << refusing->Output();  // a retransmission reached it
  EXPECT_TRUE(rig.d.WaitLog("SIP registration failed (503"));
  EXPECT_FALSE(rig.Registered());
  // Every registration (a new Call-ID) is a call of its own for sipp.
  auto registrar = Peer(kRegistrar, 0, port, {}, 9);
  auto flat = Peer("reliability/scenarios/callee_bye_later.xml", 0, handset);
  ASSERT_TRUE(registrar && flat && rig.Dial());
  EXPECT_EQ(flat->Wait(), 0) << flat->Output();
  EXPECT_TRUE(rig.Registered());
  ASSERT_TRUE(rig.d.WaitLog("OUTGOING_SIP_ESTABLISHED -> IDLE"));

  rig.d.Terminate();
  EXPECT_NE(rig.d.WaitExit(15000), -1);
  ASSERT_TRUE(rig.d.Launch() && rig.d.WaitStarted());
  EXPECT_TRUE(rig.WaitRegistered()) << registrar->Output();
  // With the registrar gone the unregistration is never answered; the stop
  // still ends in an orderly way, well before the transaction would time out.
  registrar.reset();
  rig.d.Terminate();
  EXPECT_EQ(rig.d.WaitExit(15000), 1);
  EXPECT_TRUE(rig.d.HasLog("closing by force"));
}

// A callee that answers and then goes silent (no RTP, no BYE): the RTP
// timeout ends the call, the MCU is told once, the context is IDLE again.
TEST(SipFaults, SilentCalleeEndsOnTheRtpTimeout) {
  auto registrar = Peer(kRegistrar, 0, 0, {}, 9);
  const int handset = FreeUdpPort();
  Rig rig;
  ASSERT_TRUE(registrar && rig.Start(registrar->port(), handset, "rtp_timeout\t\t2\n"));
  ASSERT_TRUE(rig.WaitRegistered());
  auto flat = Peer("integration/scenarios_calls/callee_answer_wait_bye.xml", 0, handset);
  ASSERT_TRUE(flat && rig.Dial());
  ASSERT_TRUE(rig.d.WaitLog("-> OUTGOING_SIP_ESTABLISHED"));
  EXPECT_EQ(flat->Wait(), 0) << flat->Output();  // the daemon's BYE came
  ASSERT_TRUE(rig.d.WaitLog("OUTGOING_SIP_ESTABLISHED -> IDLE"));
  EXPECT_TRUE(WaitFor([&] { return rig.Byes() > 0; }, Millis(3000)));
  EXPECT_EQ(rig.Byes(), 1);
}
