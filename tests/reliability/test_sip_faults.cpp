// SIP-side faults and long runs of calls against the running daemon: raw
// datagrams and sipp peers on 127.0.0.1, panel-sim as the panel. Every call
// ends, the MCU is told once per call, and memory and descriptors hold; a short
// run under valgrind.
#include "sip/re_headers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "registered_daemon.h"

namespace {

// A sipp peer on 127.0.0.1:port (0: a free one), calling 127.0.0.1:target unless 0.
std::unique_ptr<Sipp> Peer(const std::string &scenario, std::vector<std::string> args = {}, int port = 0,
                           int target = 0, int calls = 1, Millis timeout = Millis(40000)) {
  auto peer = std::make_unique<Sipp>();
  SippRun run(scenario, target, std::move(args));
  run.localPort = port;
  run.calls = calls;
  run.timeout = timeout;
  return peer->Start(run) ? std::move(peer) : nullptr;
}

// The daemon at `level` with panel-sim; `accounts` is the accounts file.
void Configure(Daemon &d, const std::string &accounts, const char *level) {
  d.config.args = {level};
  d.config.files = {{"/oem/sip_accounts.conf", accounts}};
  d.config.panelSim = true;
}

// MCU commands named `method` so far, counted in panel-sim's raw log: parsing
// every record at each poll of a long run would load the machine.
int Sent(const Daemon &d, const std::string &method) {
  const std::string log = ReadFile(d.Panel()->LogPath()), needle = "\"method\":\"" + method + "\"";
  int n = 0;
  for (size_t at = log.find(needle); at != log.npos; at = log.find(needle, at + 1)) ++n;
  return n;
}
int Byes(const Daemon &d) { return Sent(d, "UartSendCommandBye") + Sent(d, "UartSendCommandByeWithState"); }


int EnvCount(const char *name, int fallback) {
  const int n = getenv(name) ? atoi(getenv(name)) : 0;
  return n >= 2 ? n : fallback;
}

struct Usage {
  long rssKb = 0;
  int fds = 0;
};

Usage Measure(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid), status = ReadFile(proc + "/status");
  const size_t at = status.find("VmRSS:");
  return {at == status.npos ? 0 : atol(status.c_str() + at + 6),
          int(std::distance(std::filesystem::directory_iterator(proc + "/fd"), {}))};
}

// Flat 12's callee hangs up after its DTMF; flat 13's waits for the panel.
class Soak : public RegisteredDaemon {
 public:
  static constexpr Millis kBound{1200000};
  std::unique_ptr<Sipp> leaving, staying;

  Soak() : RegisteredDaemon({.life = kBound}) {}
  bool Start(int calls, const std::vector<std::string> &wrapper = {}) {
    leaving = Peer("callee.xml", {"-set", "dtmf", "1", "-set", "hangup", "1"}, 0, 0, (calls + 1) / 2, kBound);
    staying = Peer("callee.xml", {"-set", "dtmf", "1"}, 0, 0, calls / 2, kBound);
    if (!leaving || !staying) return false;
    Configure(d, "{\"12\":[\"1201@127.0.0.1:" + std::to_string(leaving->port()) +
                     "\"],\"13\":[\"1301@127.0.0.1:" + std::to_string(staying->port()) + "\"]}",
              "--debug");
    d.config.wrapper = wrapper;
    return Setup() && d.Launch() && d.WaitStarted(wrapper.empty() ? 15000 : 90000) && d.WaitRegistered(30000);
  }

  // Call `i` (1-based): dial, the callee answers and opens the door, then
  // the callee (odd calls) or the panel (even calls) hangs up.
  bool Call(int i, Millis timeout) {
    uint8_t flat = i % 2 ? 12 : 13;
    if (!d.Panel()->SendEvent("UART_EV_TRYING_CALL", {flat, 0, 2}) ||
        !WaitFor([&] { return Sent(d, "UartSendCommandOpenByIDWithSource") >= i; }, timeout, Millis(5)))
      return false;
    if (flat == 13 && !d.Panel()->SendEvent("UART_EV_BYE", {})) return false;
    // A panel hang-up leaves IDLE first and tells the MCU after.
    return d.WaitState("IDLE", int(timeout.count())) &&
           WaitFor([&] { return Byes(d) >= i; }, timeout, Millis(5));
  }
};

}  // namespace

// One daemon (flat 12's account at a sipp callee) through every SIP-side fault:
// no registrar at start-up, then one answering 503, then one answering 200,
// which the next visitor's call reaches; during that call an INVITE flood and
// a forged BYE; the callee goes silent and the RTP timeout ends the call; then
// crafted datagrams; a restart; and a stop with the registrar gone. The
// password never reaches the logs, SIP messages among them.
TEST(SipFaults, RegistrarFaultsFloodSilentCalleeAndHostileInput) {
  const int port = FreeUdpPort(), handset = FreeUdpPort();
  Daemon d;
  d.UseServer(port);
  Configure(d, "{\"12\":[\"1201@127.0.0.1:" + std::to_string(handset) + "\"]}", "--trace");
  d.config.env = {{"SIPUA_LOG", "1"}};
  d.config.baresipExtra = "rtp_timeout\t\t4\n";  // the window for the flood below
  ASSERT_TRUE(d.Start() && d.WaitStarted());
  EXPECT_EQ(d.Call("GetSipRegisterStatus").bytes, std::vector<uint8_t>{0});  // answered while unregistered
  auto refusing = Peer("registrar.xml", {"-set", "unavailable", "1"}, port);
  ASSERT_TRUE(refusing);
  EXPECT_EQ(refusing->Wait(), 0) << refusing->Output();  // a retransmission reached it
  EXPECT_NE(d.WaitRegistration("\"code\":503", 10000), "");
  EXPECT_TRUE(d.HasLog("SIP registration failed (503"));
  EXPECT_FALSE(d.Registered());

  // Every registration (a new Call-ID) is a call of its own for sipp.
  auto registrar = Peer("registrar.xml", {}, port, 0, 9);
  auto flat = Peer("callee.xml", {}, handset);
  ASSERT_TRUE(registrar && flat && d.Panel()->SendEvent("UART_EV_TRYING_CALL", {12, 0, 2}));
  ASSERT_TRUE(d.WaitState("OUTGOING_SIP_ESTABLISHED"));
  EXPECT_TRUE(d.Registered());
  auto flood = Peer("caller.xml", {"-s", "13", "-r", "200"}, 0, d.SipPort(), 40);
  ASSERT_TRUE(flood);
  EXPECT_EQ(flood->Wait(), 0) << flood->Output();
  EXPECT_GE(std::ranges::count_if(SplitLines(flood->Output()), [](auto &l) { return l.starts_with("SIP/2.0 486"); }),
            40);  // every one busy
  // A BYE forged with the live call's Call-ID but not its tags.
  const std::string out = flat->Output();
  const size_t at = out.find("Call-ID: ") + 9;
  ASSERT_NE(at, 8u) << out;
  const std::string callId = out.substr(at, out.find_first_of("\r\n", at) - at);
  auto forged = Request("BYE", {{"Call-ID:", "Call-ID: " + callId}, {"To:", "To: <sip:12@127.0.0.1>;tag=forged"}});
  EXPECT_EQ(Exchange(d.SipPort(), forged, 3000).substr(0, 11), "SIP/2.0 481");
  EXPECT_EQ(d.CountLog("OUTGOING_SIP_ESTABLISHED -> IDLE"), 0);  // the call goes on
  EXPECT_EQ(flat->Wait(), 0) << flat->Output();                   // until the daemon's BYE
  ASSERT_TRUE(d.WaitState("IDLE"));
  EXPECT_TRUE(WaitFor([&] { return Byes(d) > 0; }, Millis(3000)));
  EXPECT_EQ(Byes(d), 1);

  struct Case {
    const char *what;
    std::string text;
    const char *answer;  // "" for none
  } cases[] = {
      {"garbage", std::string("\x01\x02 hello \xff\r\n\r\n"), ""},
      {"bad Via", Request("INVITE", {{"Via:", "Via: SIP/2.0/UDP ;;;branch"}}, kSdp), ""},
      {"no Via", Request("INVITE", {{"Via:", ""}}, kSdp), ""},
      {"no Call-ID", Request("INVITE", {{"Call-ID:", ""}}, kSdp), "SIP/2.0 400"},
      {"no CSeq", Request("INVITE", {{"CSeq:", ""}}, kSdp), "SIP/2.0 400"},
      {"CSeq of a BYE", Request("INVITE", {{"CSeq:", "CSeq: 1 BYE"}}, kSdp), "SIP/2.0 400"},
      {"60 KB header",
       Request("INVITE", {{"Max-Forwards:", "Max-Forwards: 70\r\nX-Big: " + std::string(60000, 'A')}}, kSdp), ""},
      {"long body promised", Request("INVITE", {{"Content-Length:", "Content-Length: 99999"}}, kSdp), "SIP/2.0 400"},
      {"negative Content-Length", Request("INVITE", {{"Content-Length:", "Content-Length: -999"}}, kSdp),
       "SIP/2.0 400"},
      {"Content-Length of 2^32", Request("INVITE", {{"Content-Length:", "Content-Length: 4294967296"}}, kSdp),
       "SIP/2.0 400"},
      {"unbalanced quote", Request("INVITE", {{"To:", "To: \"Mr. J. User <sip:12@127.0.0.1>"}}, kSdp), "SIP/2.0 400"},
      {"Request-URI in <>", Request("INVITE", {{"INVITE ", "INVITE <sip:12@127.0.0.1> SIP/2.0"}}, kSdp),
       "SIP/2.0 400"},
      {"Request-URI port", Request("INVITE", {{"INVITE ", "INVITE sip:12@127.0.0.1:99999999 SIP/2.0"}}, kSdp),
       "SIP/2.0 400"},
      {"Request-URI scheme", Request("INVITE", {{"INVITE ", "INVITE isbn:2983792873 SIP/2.0"}}, kSdp),
       "SIP/2.0 416"},
      {"Require on INVITE", Request("INVITE", {{"Max-Forwards:", "Require: nothing"}}, kSdp), "SIP/2.0 420"},
      // libre drops these itself: a start line with a space in its Request-URI
      // reads as a response, and an unknown SIP version is never answered 505.
      {"space in Request-URI", Request("INVITE", {{"INVITE ", "INVITE sip:12@127.0.0.1; lr SIP/2.0"}}, kSdp), ""},
      {"SIP/7.0", Request("INVITE", {{"INVITE ", "INVITE sip:12@127.0.0.1 SIP/7.0"}}, kSdp), ""},
      {"bad SDP", Request("INVITE", {}, "v=0\r\nm=audio x RTP/AVP\r\nc=IN IP4\r\n"), "SIP/2.0 400"},
      {"BYE for no dialog", Request("BYE", {{"To:", "To: <sip:12@127.0.0.1>;tag=none"}}), "SIP/2.0 481"},
      {"CANCEL for no call", Request("CANCEL"), "SIP/2.0 481"},
      {"stray answer", "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKx\r\n"
                       "From: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\nCall-ID: x\r\nCSeq: 1 INVITE\r\n\r\n", ""},
  };
  for (const Case &c : cases)
    EXPECT_EQ(Exchange(d.SipPort(), c.text, *c.answer ? 3000 : 300).substr(0, 11), c.answer) << c.what;
  EXPECT_EQ(Sent(d, "UartSendCommandCall"), 0);  // neither these nor the flood rang a flat
  EXPECT_TRUE(d.Registered());
  EXPECT_TRUE(d.Call("GetSipSettings").ok);  // it carries the password; the logs must not

  d.Terminate();
  EXPECT_NE(d.WaitExit(15000), -1);
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  EXPECT_TRUE(WaitFor([&] { return d.Registered(); }, Millis(8000), Millis(100))) << registrar->Output();
  // With the registrar gone the unregistration is never answered; the stop
  // still ends in an orderly way, well before the transaction would time out.
  registrar.reset();
  d.Terminate();
  EXPECT_EQ(d.WaitExit(15000), 1);
  EXPECT_TRUE(d.HasLog("closing by force"));
  EXPECT_TRUE(d.HasLog("J3 300 package/src/sip/sip"));  // the registration, in the journal
  EXPECT_EQ(d.CountLog("secret"), 0);                    // the SIP password, in no log
  EXPECT_TRUE(d.SanitizerReports().empty());
}

// Memory is read once the SIP layer's 32-second hold of finished transactions
// has filled (at least 40 s and 50 calls in); descriptors after 50 calls.
// Calls start at a steady pace, so that hold covers as many calls at the end
// as at the first reading, however the machine's load changes meanwhile.
TEST(Soak, ConsecutiveCallsEndCleanlyAndHoldMemoryAndDescriptors) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer reports a leak or a bad access at any count, and the
  // resident size is not compared there; descriptors need only 50 calls.
  const int calls = EnvCount("DORALIN_SOAK_CALLS", 200);
#else
  const int calls = EnvCount("DORALIN_SOAK_CALLS", 1000);
#endif
  Soak s;
  ASSERT_TRUE(s.Start(calls));
  Usage at50, settled;
  int settledAt = 0;
  auto begin = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(); };
  auto lastStart = begin;
  for (int i = 1; i <= calls; ++i) {
    std::this_thread::sleep_until(lastStart + Millis(100));
    lastStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.Call(i, Millis(10000))) << "call " << i;
    if (i == std::min(50, calls)) at50 = Measure(s.d.Pid());
    if (!settledAt && ((i >= 50 && elapsed() >= 40) || i == calls)) settled = Measure(s.d.Pid()), settledAt = i;
  }
  const double seconds = elapsed();
  const Usage last = Measure(s.d.Pid());
  EXPECT_EQ(s.leaving->Wait(), 0) << s.leaving->Output().substr(0, 4000);
  EXPECT_EQ(s.staying->Wait(), 0) << s.staying->Output().substr(0, 4000);
  EXPECT_EQ(Byes(s.d), calls);
  EXPECT_EQ(Sent(s.d, "UartSendCommandOpenByIDWithSource"), calls);
  EXPECT_EQ(last.fds, at50.fds);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Under a sanitizer the resident size is mostly the sanitizer's own.
  EXPECT_LE(last.rssKb, settled.rssKb + 1024);
#endif
  printf("soak: %d calls in %.1f s (%.2f calls/s); VmRSS %ld kB at call 50, %ld kB at call %d, "
         "%ld kB at the end; fds %d -> %d\n", calls, seconds, calls / seconds, at50.rssKb,
         settled.rssKb, settledAt, last.rssKb, at50.fds, last.fds);
  s.d.Terminate();
  EXPECT_EQ(s.d.WaitExit(15000), 1);
  EXPECT_EQ(s.d.CountLog("Sanitizer"), 0);  // ASan, LSan, TSan reports
  EXPECT_EQ(s.d.CountLog("runtime error:"), 0);
}

TEST(Soak, ShortRunUnderValgrindLosesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind does not run sanitizer builds";
#endif
  const int calls = EnvCount("DORALIN_VALGRIND_CALLS", 20);
  Soak s;
  ASSERT_TRUE(s.Start(calls, {"valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
                              "--error-exitcode=99", "--num-callers=30"}));
  for (int i = 1; i <= calls; ++i) ASSERT_TRUE(s.Call(i, Millis(30000))) << "call " << i;
  s.d.Terminate();
  EXPECT_EQ(s.d.WaitExit(120000), 1);  // 99 on any memory error or definite leak
  EXPECT_EQ(s.d.CountLog("ERROR SUMMARY: 0 errors"), 1);  // definite leaks count as errors
  for (auto &line : s.d.Logs())
    if (line.find("lost:") != std::string::npos || line.find("heap usage:") != std::string::npos)
      printf("valgrind, %d calls: %s\n", calls, line.c_str());
}
