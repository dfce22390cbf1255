// The SIP engine in-process against sipp peers on 127.0.0.1: a refused
// address, call placement (service addresses, gate dial strings, the UA of
// each leg, the outbound proxy) and the account's address.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sip/re_headers.h"  // before jansson: both name JSON_STRING
#include "context/context.h"
#include "ornix.h"
#include "process.h"
#include "sip/bracket.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"
#include "sipp.h"

namespace {

// The request URIs of the INVITEs a sipp peer got.
std::vector<std::string> Invites(const Sipp &peer) {
  std::vector<std::string> out;
  for (const std::string &line : SplitLines(peer.Output()))
    if (line.starts_with("INVITE ")) out.push_back(line.substr(7, line.find(' ', 7) - 7));
  return out;
}

// The engine brought up on a temporary config directory, its loop on a thread.
struct Engine {
  TempDir dir{"sip-engine"};
  ScopedEnv root{"DORALIN_ROOT", dir.path()};
  std::thread loop;

  Engine() {
    LogSetLevel(1);
    CallContext = CallContextRecord{};
    ServerSettings &s = CallContext.server;
    snprintf(s.username, sizeof s.username, "flat12");
    snprintf(s.password, sizeof s.password, "secret");
    snprintf(s.domainRegister, sizeof s.domainRegister, "127.0.0.1");
    snprintf(s.domain, sizeof s.domain, "127.0.0.1");
    s.transportUdp = true;
    s.portRegister = static_cast<uint32_t>(FreeUdpPort());  // nobody registers there
    CallContext.prefixSize = 4;
    const int sip = FreeUdpPort(), rtp = FreeUdpPort();
    dir.Write("baresip/config", "sip_listen 127.0.0.1:" + std::to_string(sip) + "\nrtp_ports " +
                                    std::to_string(rtp) + "-" + std::to_string(rtp + 40) + "\n");
    SipSetConfigPath(dir.Path("baresip").c_str());
  }
  ~Engine() { Stop(); }

  // Brings the library up, registers with CallContext.server and runs the loop.
  bool Start() {
    static const SipCallEvents noCalls{};  // registration only
    if (SipInit(&noCalls) != 0 || !SipRegister(&CallContext.server)) return false;
    loop = std::thread([] { SipRun(); });
    return WaitFor([] { return SipLoopRunning(); }, Millis(2000));
  }
  void Stop() {
    if (!loop.joinable()) return;
    {
      SipThreadBracket bracket;
      ua_stop_all(true);
      re_cancel();
    }
    loop.join();
  }
};

}  // namespace

// The parallel legs to a flat's accounts: Calls.OutgoingCallsEndEveryWay; an
// address the library refuses: SipDaemon.RefusedAccountSettingsEndAfterFiveAttempts.
TEST(SipEngine, ServiceAddressesAndGateCalls) {
  Engine engine;
  Sipp callee;
  SippRun run("callee.xml", 0, {"-set", "ring", "1"});
  run.calls = 4;
  ASSERT_TRUE(callee.Start(run));
  const int port = callee.port();
  const std::string at = "@127.0.0.1:" + std::to_string(port);
  CallContext.server.port = static_cast<uint32_t>(port);
  snprintf(CallContext.sos, sizeof CallContext.sos, "911%s", at.c_str());
  snprintf(CallContext.concierge, sizeof CallContext.concierge, "300");
  snprintf(CallContext.flat0, sizeof CallContext.flat0, "777");

  ASSERT_TRUE(engine.Start());

  // Service addresses of SOS, CONCIERGE and the custom flat, without video;
  // then a backend gate call's dial string.
  MakeCallByType(SOS, CUSTOM_NUMBER_FLAT);
  MakeCallByType(CONCIERGE, CUSTOM_NUMBER_FLAT);
  MakeCallByType(COMMON, CUSTOM_NUMBER_FLAT);
  SetFlat(34);
  CallContext.flatNumberSize = 3;
  MakeGateCall("127.0.0.1", port, 12);
  ASSERT_TRUE(WaitFor([&] { return Invites(callee).size() == 4; }, Millis(10000))) << callee.Output();
  std::vector<std::string> uris = Invites(callee);
  EXPECT_EQ(std::set<std::string>(uris.begin(), uris.end()),
            (std::set<std::string>{"sip:911" + at, "sip:300" + at, "sip:777" + at, "sip:0012034" + at}));
  EXPECT_EQ(callee.Output().find("m=video"), std::string::npos);
  EXPECT_TRUE(HangupAnotherCalls(nullptr));
  EXPECT_EQ(callee.Wait(), 0) << callee.Output();
  engine.Stop();  // the loop's end closes the library; closing again is harmless
  SipClose(0);
  EXPECT_FALSE(SipLibraryUp());
}

// Direct gate call with an outbound proxy: the panel leg goes around the proxy
// on the second UA, the parallel leg to the flat's account through it.
TEST(SipEngine, DirectGateLegsWithOutboundProxy) {
  Engine engine;
  Sipp proxy;
  SippRun run("registrar.xml");  // it rings every INVITE
  ASSERT_TRUE(proxy.Start(run));
  ServerSettings &s = CallContext.server;
  s.proxyEnable = true;
  s.proxyPort = static_cast<uint32_t>(proxy.port());
  snprintf(s.proxyDomain, sizeof s.proxyDomain, "127.0.0.1");
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(WaitFor([] { return CallContext.registerStatus; }, Millis(10000)));
  ASSERT_NE(CallContext.secondUa, nullptr);
  {
    SipThreadBracket bracket;
    EXPECT_NE(account_outbound(ua_account(UaDefault()), 0), nullptr);
    EXPECT_EQ(account_outbound(ua_account(CallContext.secondUa), 0), nullptr);
  }

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
  // Entries that are not account strings are skipped.
  const std::string account = "1201@127.0.0.1:" + std::to_string(FreeUdpPort());  // behind the proxy
  json_t *numbers = json_pack("[s, i, s]", account.c_str(), 5, "");
  MakeSimpleCallByJsonNumbers(numbers, 3);
  json_decref(numbers);
  ASSERT_TRUE(WaitFor([&] { return Invites(proxy).size() == 1; }, Millis(10000)));
  EXPECT_EQ(Invites(proxy)[0], "sip:" + account);
  {
    SipThreadBracket bracket;
    EXPECT_EQ(CountCallsOnUa(UaDefault(), nullptr), 1);
    EXPECT_EQ(CountAllCalls(), 2);
    EXPECT_TRUE(HangupAnotherCalls(CallContext.currentCall));
    EXPECT_EQ(CountAllCalls(), 1);
    CallContext.currentCall = nullptr;
    EXPECT_TRUE(HangupAnotherCalls(nullptr));
  }

  // An over-long password and domain (their last bytes stay 0) cut the
  // account's address at the buffer's end; the masked form keeps what follows
  // the password.
  memset(s.password, 'p', sizeof s.password - 1);
  memset(s.domainRegister, 'd', sizeof s.domainRegister - 1);
  char aor[256], masked[256];
  SipBuildAor(&s, true, aor, sizeof aor);
  EXPECT_EQ(strlen(aor), sizeof aor - 1);
  SipMaskAor(aor, masked, sizeof masked);
  const std::string m = masked;
  EXPECT_EQ(m.substr(m.find("auth_pass="), 23), "auth_pass=***;outbound=");
}
