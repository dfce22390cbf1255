// Incoming calls from a sipp gate panel: answered with keys, and refused.
#include <gtest/gtest.h>

#include "sipp.h"

namespace {

void SetAccountsHeader(struct call *call, const char *value) {
  struct list hdrs;
  list_init(&hdrs);
  ASSERT_EQ(0, custom_hdrs_add(&hdrs, "X-Ornix-AccountsList", "%s", value));
  ASSERT_EQ(0, call_set_custom_hdrs(call, &hdrs));
  list_flush(&hdrs);
}

struct Callee {
  SipuaLoop loop;
  struct ua *ua = nullptr;
  void Setup() {
    ASSERT_TRUE(loop.Start("rtp_ports 30000-39999\n"));
    ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1:5060;auth_pass=x"); }));
  }
  SippRun Gate(const std::string &scenario, const std::string &user) {
    SippRun run(scenario, loop.sipPort());
    run.args = {"-s", user, "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())};
    return run;
  }
};

TEST(SipuaIncoming, AnsweredWithHeaderAndKeysBothWays) {
  Callee c;
  c.Setup();
  std::string localUri;
  std::vector<std::string> keys;
  c.loop.onEvent = [&](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_INCOMING) {
      localUri = call_localuri(e.call);
      SetAccountsHeader(e.call, "1201,sip:1202@10.0.0.2");
    }
    if (e.ev == UA_EVENT_CALL_DTMF_START) keys.push_back(e.prm);
  };
  Sipp gate;
  ASSERT_TRUE(gate.Start(c.Gate("uac_answer.xml", "1201")));
  ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_INCOMING));
  // Answered later from this thread, as the panel does when the handset is taken.
  ASSERT_EQ(0, c.loop.Locked([&] { return ua_answer(c.ua, nullptr, VIDMODE_OFF); }));
  ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED));
  EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_ANSWERED));
  ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_RTPESTAB));
  ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_CLOSED, 1, Millis(15000)));
  EXPECT_EQ(0, gate.Wait()) << gate.Output();

  EXPECT_EQ("sip:1201@127.0.0.1:" + std::to_string(c.loop.sipPort()), localUri);
  EXPECT_EQ((std::vector<std::string>{"5", "7"}), keys);
  const std::string log = gate.Output();
  const size_t ringing = log.find("SIP/2.0 180 Ringing");
  ASSERT_NE(std::string::npos, ringing);
  EXPECT_NE(std::string::npos, log.find("X-Ornix-AccountsList: 1201,sip:1202@10.0.0.2", ringing));
  EXPECT_EQ(0u, c.loop.Locked([&] { return list_count(ua_calls(c.ua)); }));
}

TEST(SipuaIncoming, RejectedWithEachCode) {
  struct Case {
    uint16_t code;
    const char *reason;
    bool inHandler;
  };
  for (const Case &k : {Case{404, "Not Found", true}, Case{486, "Busy Here", true},
                        Case{603, "Decline", false}}) {
    Callee c;
    c.Setup();
    uint16_t closedCode = 0;
    c.loop.onEvent = [&](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_INCOMING) {
        SetAccountsHeader(e.call, "1201");
        if (k.inHandler) ua_hangup(e.ua, e.call, k.code, k.reason);
      }
      if (e.ev == UA_EVENT_CALL_CLOSED) closedCode = call_scode(e.call);
    };
    Sipp gate;
    ASSERT_TRUE(gate.Start(c.Gate("uac_reject.xml", "77")));
    ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_INCOMING));
    if (!k.inHandler) {
      c.loop.Locked([&] {
        ua_hangup(c.ua, static_cast<struct call *>(list_head(ua_calls(c.ua))->data), k.code,
                  k.reason);
        return 0;
      });
    }
    ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_CLOSED));
    EXPECT_EQ(0, gate.Wait()) << gate.Output();
    EXPECT_EQ(k.code, closedCode);
    const std::string log = gate.Output();
    const std::string status = "SIP/2.0 " + std::to_string(k.code) + " " + k.reason;
    EXPECT_NE(std::string::npos, log.find(status)) << log;
    // Rejected at once: no ringing; rejected later: the ringing carried the header.
    EXPECT_EQ(!k.inHandler, log.find("SIP/2.0 180 Ringing") != std::string::npos);
    EXPECT_NE(std::string::npos, log.find("X-Ornix-AccountsList: 1201", log.find(status)));
    EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_CLOSED));
    EXPECT_EQ(0, c.loop.Count(UA_EVENT_CALL_ESTABLISHED));
  }
}

TEST(SipuaIncoming, CancelledWhileRingingAndHoldDuringCall) {
  {
    Callee c;
    c.Setup();
    uint16_t code = 0;
    c.loop.onEvent = [&](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_CLOSED) code = call_scode(e.call);
    };
    Sipp gate;
    ASSERT_TRUE(gate.Start(c.Gate("uac_cancel.xml", "12")));
    ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_CLOSED));
    EXPECT_EQ(0, gate.Wait()) << gate.Output();
    EXPECT_EQ(487, code);
    EXPECT_EQ(0, c.loop.Count(UA_EVENT_CALL_ESTABLISHED));
    EXPECT_EQ(0u, c.loop.Locked([&] { return list_count(ua_calls(c.ua)); }));
  }
  {
    Callee c;
    c.Setup();
    c.loop.onEvent = [](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_INCOMING) ua_answer(e.ua, e.call, VIDMODE_OFF);
    };
    for (const char *scenario : {"uac_reinvite.xml", "uac_offerless.xml"}) {
      Sipp gate;
      const int closed = c.loop.Count(UA_EVENT_CALL_CLOSED);
      ASSERT_TRUE(gate.Start(c.Gate(scenario, "12")));
      ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_CLOSED, closed + 1)) << scenario;
      EXPECT_EQ(0, gate.Wait()) << gate.Output();
      EXPECT_EQ(closed + 1, c.loop.Count(UA_EVENT_CALL_ESTABLISHED)) << scenario;
    }
  }
}

TEST(SipuaIncoming, VanishedPeerEndsAfterRtpTimeout) {
  SipuaLoop loop;
  loop.onEvent = [](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_INCOMING) ua_answer(e.ua, e.call, VIDMODE_OFF);
  };
  ASSERT_TRUE(loop.Start("rtp_timeout 2\n"));
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x"); }));
  SippRun run("uac_silent.xml", loop.sipPort());
  run.args = {"-s", "12", "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())};
  Sipp gate;
  ASSERT_TRUE(gate.Start(run));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED, 1, Millis(8000)));
  EXPECT_EQ("RTP timeout", loop.Last(UA_EVENT_CALL_CLOSED).prm);
  EXPECT_EQ(0, loop.Count(UA_EVENT_CALL_RTPESTAB));
  EXPECT_EQ(0, gate.Wait()) << gate.Output();  // it got the BYE
}

}  // namespace
