// The SIP engine in-process against sipp peers on 127.0.0.1: a refused
// address, and call placement (parallel legs, service addresses, gate dial
// strings, the UA of each leg, the outbound proxy).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/accounts.h"
#include "context.h"
#include "ornix.h"
#include "process.h"
#include "sip/bracket.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"
#include "sipp.h"

namespace {

// Outbound proxy: registers the main UA and rings an INVITE routed through it.
const char kProxy[] = R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="proxy">
  <recv request="REGISTER" optional="true" next="reg"/>
  <recv request="INVITE"/>
  <send next="end"><![CDATA[
SIP/2.0 180 Ringing
[last_Via:]
[last_From:]
[last_To:];tag=[pid]prx[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
  <label id="reg"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]prx[call_number]
[last_Call-ID:]
[last_CSeq:]
[last_Contact:];expires=3600
Content-Length: 0

]]></send>
  <label id="end"/>
</scenario>
)";

// Lines of the messages a sipp peer exchanged that start with `prefix`.
std::vector<std::string> Lines(const Sipp &peer, const std::string &prefix) {
  std::vector<std::string> out;
  for (const std::string &line : SplitLines(peer.Output()))
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  return out;
}

// Request URIs of the INVITEs a sipp peer received, in order.
std::vector<std::string> Invites(const Sipp &peer) {
  std::vector<std::string> out;
  for (const std::string &line : Lines(peer, "INVITE sip:")) out.push_back(line.substr(7, line.find(' ', 7) - 7));
  return out;
}

void Tick(void *arg) {
  // Keeps the loop turning so work queued from other threads is picked up.
  tmr_start(static_cast<struct tmr *>(arg), 20, Tick, arg);
}

// The engine brought up on a temporary config directory, its loop on a thread.
struct Engine {
  TempDir dir{"sip-engine"};
  ScopedEnv root{"DORALIN_ROOT", dir.path()};
  std::thread loop;
  struct tmr tick;

  Engine() {
    CallContext = CallContextRecord{};
    ServerSettings &s = CallContext.server;
    snprintf(s.username, sizeof s.username, "flat12");
    snprintf(s.password, sizeof s.password, "secret");
    snprintf(s.domainRegister, sizeof s.domainRegister, "127.0.0.1");
    snprintf(s.domain, sizeof s.domain, "127.0.0.1");
    s.transportUdp = true;
    CallContext.prefixSize = 4;
    tmr_init(&tick);
  }
  ~Engine() { Stop(); }

  bool Init() {
    const int sip = FreeUdpPort(), rtp = FreeUdpPort();
    dir.Write("baresip/config", "sip_listen 127.0.0.1:" + std::to_string(sip) + "\nrtp_ports " +
                                    std::to_string(rtp) + "-" + std::to_string(rtp + 40) + "\n");
    SipSetConfigPath(dir.Path("baresip").c_str());
    return SipInit([](struct ua *, enum ua_event ev, struct call *, const char *prm, void *) {
             SipRegistrationEvent(ev, prm);
           }) == 0;
  }
  // Registers with CallContext.server and runs the loop.
  bool Run() {
    if (!Init() || SipRegister(&CallContext.server) != 0) return false;
    {
      SipThreadBracket bracket;
      tmr_start(&tick, 20, Tick, &tick);
    }
    loop = std::thread([] { SipRun(); });
    return WaitFor([] { return SipLoopRunning(); }, Millis(2000));
  }
  void Stop() {
    if (!loop.joinable()) return;
    {
      SipThreadBracket bracket;
      tmr_cancel(&tick);
      ua_stop_all(true);
      re_cancel();
    }
    loop.join();
  }
};

}  // namespace

TEST(SipEngine, RefusedAddressClosesTheLibraryAndTheNextAttemptReopensIt) {
  // An address the library refuses fails the attempt and closes the library;
  // the next attempt brings it up again instead of working on a closed one.
  LogSetLevel(1);
  Engine engine;
  ASSERT_TRUE(engine.Init());
  CallContext.server.username[0] = '\0';  // an address without user part
  EXPECT_EQ(SipRegister(&CallContext.server), 1);
  EXPECT_FALSE(SipLibraryUp());
  snprintf(CallContext.server.username, sizeof CallContext.server.username, "panel");
  CallContext.server.portRegister = FreeUdpPort();
  EXPECT_EQ(SipRegister(&CallContext.server), 0);
  EXPECT_TRUE(SipLibraryUp());
  EXPECT_NE(UaDefault(), nullptr);
  SipClose(1);
  SipClose(0);  // closing twice is harmless
  EXPECT_FALSE(SipLibraryUp());
}

TEST(SipEngine, PlacesParallelLegsServiceAddressesAndGateCalls) {
  LogSetLevel(1);
  Engine engine;
  Sipp callee;
  SippRun run("uas_cancel.xml");
  run.calls = 7;
  ASSERT_TRUE(callee.Start(run));
  const int port = callee.port();
  const std::string at = "@127.0.0.1:" + std::to_string(port);
  engine.dir.Write("oem/sip_accounts.conf",
                   "{\"12\":[\"1201" + at + "\",\"1202" + at + "\",\"1203" + at + "\"]}");
  LoadAccounts();
  CallContext.server.portRegister = FreeUdpPort();  // nobody registers there
  CallContext.server.port = static_cast<uint32_t>(port);
  CallContext.videoEnabled = true;
  snprintf(CallContext.sos, sizeof CallContext.sos, "911%s", at.c_str());
  snprintf(CallContext.concierge, sizeof CallContext.concierge, "300");
  snprintf(CallContext.flat0, sizeof CallContext.flat0, "777");
  ASSERT_TRUE(engine.Run());

  // A flat with three accounts: three INVITEs at once, with video.
  MakeCallByType(COMMON, 12);
  ASSERT_TRUE(WaitFor([&] { return Invites(callee).size() == 3; }, Millis(10000))) << callee.Output();
  std::vector<std::string> uris = Invites(callee);
  EXPECT_EQ(std::set<std::string>(uris.begin(), uris.end()),
            (std::set<std::string>{"sip:1201" + at, "sip:1202" + at, "sip:1203" + at}));
  EXPECT_EQ(Lines(callee, "m=video").size(), 3u);
  {
    SipThreadBracket bracket;
    EXPECT_EQ(CountAllCalls(), 3);
    struct call *first = FindAnotherCall(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CountOtherCalls(first), 2);
    EXPECT_EQ(CountOtherCalls(nullptr), 0);
    EXPECT_EQ(HangupAnotherCalls(first), 1);
    EXPECT_EQ(CountAllCalls(), 1);
    EXPECT_EQ(FindAnotherCall(first), nullptr);
    EXPECT_EQ(HangupAnotherCalls(nullptr), 1);
    EXPECT_EQ(HangupAnotherCalls(nullptr), 0);
  }

  // Service addresses of SOS, CONCIERGE and the custom flat, without video;
  // then a backend gate call's dial string.
  CallContext.videoEnabled = false;
  MakeCallByType(SOS, CUSTOM_NUMBER_FLAT);
  MakeCallByType(CONCIERGE, CUSTOM_NUMBER_FLAT);
  MakeCallByType(COMMON, CUSTOM_NUMBER_FLAT);
  SetFlat(34);
  CallContext.flatNumberSize = 3;
  MakeGateCall("127.0.0.1", port, 12);
  ASSERT_TRUE(WaitFor([&] { return Invites(callee).size() == 7; }, Millis(10000)));
  uris = Invites(callee);
  EXPECT_EQ(std::set<std::string>(uris.begin() + 3, uris.end()),
            (std::set<std::string>{"sip:911" + at, "sip:300" + at, "sip:777" + at, "sip:0012034" + at}));
  EXPECT_EQ(Lines(callee, "m=video").size(), 3u);
  EXPECT_EQ(HangupAnotherCalls(nullptr), 1);
  EXPECT_EQ(callee.Wait(), 0) << callee.Output();

  // Direct gate call without proxy: the panel leg on the main UA at port 5060
  // whatever port was given, the parallel leg on the second UA.
  CallContext.fromGate = true;
  CallContext.enableDirect = true;
  SetupNoProxyUa(&CallContext.server);
  ASSERT_NE(CallContext.secondUa, nullptr);
  MakeGateCall("127.0.0.1", port, 12);
  {
    SipThreadBracket bracket;
    ASSERT_EQ(CountCallsOnUa(UaDefault(), nullptr), 1);
    CallContext.currentCall = FindOtherCallOnUa(UaDefault(), nullptr);
    EXPECT_STREQ(call_peeruri(CallContext.currentCall), "sip:34@127.0.0.1:5060");
  }
  json_t *numbers = json_pack("[s, i, s]", ("1201" + at).c_str(), 5, "");
  MakeSimpleCallByJsonNumbers(numbers, 3);
  json_decref(numbers);
  {
    SipThreadBracket bracket;
    EXPECT_EQ(CountCallsOnUa(CallContext.secondUa, nullptr), 1);
    EXPECT_EQ(CountAllCalls(), 2);
    EXPECT_EQ(HangupAnotherCalls(CallContext.currentCall), 1);
    EXPECT_EQ(CountCallsOnUa(CallContext.secondUa, nullptr), 0);
    CallContext.currentCall = nullptr;
    EXPECT_EQ(HangupAnotherCalls(nullptr), 1);
    EXPECT_EQ(CountAllCalls(), 0);
  }
  FreeAccounts();
}

TEST(SipEngine, DirectGateLegsWithOutboundProxy) {
  Engine engine;
  Sipp proxy;
  SippRun run(kProxy);
  run.calls = 2;
  ASSERT_TRUE(proxy.Start(run));
  ServerSettings &s = CallContext.server;
  s.portRegister = static_cast<uint32_t>(FreeUdpPort());
  s.proxyEnable = true;
  s.proxyPort = static_cast<uint32_t>(proxy.port());
  snprintf(s.proxyDomain, sizeof s.proxyDomain, "127.0.0.1");
  ASSERT_TRUE(engine.Run());
  // The REGISTER went to the proxy; the second UA exists and has no proxy.
  EXPECT_TRUE(WaitFor([] { return CallContext.registerStatus; }, Millis(10000)));
  ASSERT_NE(CallContext.secondUa, nullptr);
  {
    SipThreadBracket bracket;
    EXPECT_NE(account_outbound(ua_account(UaDefault()), 0), nullptr);
    EXPECT_EQ(account_outbound(ua_account(CallContext.secondUa), 0), nullptr);
  }

  // Panel leg around the proxy on the second UA; the parallel leg to the
  // flat's account on the main UA, through the proxy.
  CallContext.fromGate = true;
  CallContext.enableDirect = true;
  SetFlat(34);
  MakeGateCall("127.0.0.1", 7000, 12);
  {
    SipThreadBracket bracket;
    ASSERT_EQ(CountCallsOnUa(CallContext.secondUa, nullptr), 1);
    EXPECT_EQ(CountCallsOnUa(UaDefault(), nullptr), 0);
    CallContext.currentCall = FindOtherCallOnUa(CallContext.secondUa, nullptr);
    EXPECT_STREQ(call_peeruri(CallContext.currentCall), "sip:34@127.0.0.1:5060");
  }
  const std::string account = "1201@127.0.0.1:" + std::to_string(FreeUdpPort());  // behind the proxy
  EXPECT_EQ(MakeCallByAddress(account.c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return Invites(proxy).size() == 1; }, Millis(10000)));
  EXPECT_EQ(Invites(proxy)[0], "sip:" + account);
  EXPECT_EQ(proxy.Wait(), 0) << proxy.Output();
  {
    SipThreadBracket bracket;
    EXPECT_EQ(CountCallsOnUa(UaDefault(), nullptr), 1);
    EXPECT_EQ(CountAllCalls(), 2);
    EXPECT_EQ(HangupAnotherCalls(CallContext.currentCall), 1);
    EXPECT_EQ(CountAllCalls(), 1);
    CallContext.currentCall = nullptr;
    EXPECT_EQ(HangupAnotherCalls(nullptr), 1);
  }
}

TEST(SipEngine, AccountAddressesAndTheirMaskedForm) {
  ServerSettings s{};
  snprintf(s.username, sizeof s.username, "flat12");
  snprintf(s.domainRegister, sizeof s.domainRegister, "reg.example");
  snprintf(s.password, sizeof s.password, "pw");
  snprintf(s.proxyDomain, sizeof s.proxyDomain, "proxy.example");
  s.portRegister = 5061;
  s.proxyPort = 5070;
  char aor[256], masked[256];
  const std::string plain = "sip:flat12@reg.example:5061;auth_pass=pw";
  struct Case {
    bool proxy, udp, tls, withProxy;
    std::string aor;
  } cases[] = {
      {false, true, false, true, plain},
      {true, true, false, true, plain + ";outbound=sip:proxy.example:5070;transport=udp"},
      {true, false, true, true, plain + ";outbound=sip:proxy.example:5070;transport=tcp"},
      {true, true, false, false, plain},
  };
  for (const Case &c : cases) {
    s.proxyEnable = c.proxy;
    s.transportUdp = c.udp;
    s.transportTls = c.tls;
    SipBuildAor(&s, c.withProxy, aor, sizeof aor);
    EXPECT_EQ(aor, c.aor);
  }
  SipMaskAor("sip:a@b;auth_pass=x;outbound=sip:c", masked, sizeof masked);
  EXPECT_STREQ(masked, "sip:a@b;auth_pass=***;outbound=sip:c");

  // An over-long password cuts the address at the buffer's end.
  memset(s.password, 'p', sizeof s.password - 1);
  s.password[sizeof s.password - 1] = '\0';
  memset(s.domainRegister, 'd', sizeof s.domainRegister - 1);
  s.domainRegister[sizeof s.domainRegister - 1] = '\0';
  SipBuildAor(&s, true, aor, sizeof aor);
  EXPECT_EQ(strlen(aor), sizeof aor - 1);
  SipMaskAor(aor, masked, sizeof masked);
  const std::string m = masked;
  EXPECT_EQ(m.substr(m.find("auth_pass="), 23), "auth_pass=***;outbound=");
}
