// Incoming calls from sipp gate panels to one agent: answered (the video
// offered refused), refused, cancelled, offered late. A hold: SipuaAudio.
#include <gtest/gtest.h>

#include "sipp.h"

TEST(SipuaIncoming, AnsweredRefusedCancelledAndReofferedCalls) {
  struct Case {
    const char *scenario;
    std::vector<std::string> flags;
    uint16_t code;       // the call's final status; 200: answered
    const char *reason;  // set: refused by the agent in the event handler
    bool later;          // answered from this thread, else in the event handler
  };
  const Case cases[] = {{"caller.xml", {"-set", "keys", "1"}, 200, nullptr, true},
                        {"caller.xml", {}, 404, "Not Found", false},
                        {"caller.xml", {"-set", "cancel", "1", "-d", "200"}, 487, nullptr, false},
                        {"caller_offerless.xml", {}, 200, nullptr, false}};
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("rtp_ports 30000-39999\n"));
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1:5060;auth_pass=x"); }));
  const Case *k = nullptr;
  uint16_t closedCode = 0;
  std::vector<std::string> keys;
  loop.onEvent = [&](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_INCOMING) {
      struct list hdrs;
      list_init(&hdrs);
      EXPECT_EQ(0, custom_hdrs_add(&hdrs, "X-Ornix-AccountsList", "%s", "1201,sip:1202@10.0.0.2"));
      EXPECT_EQ(0, call_set_custom_hdrs(e.call, &hdrs));
      list_flush(&hdrs);
      if (!k->later && k->code == 200) ua_answer(e.ua, e.call, VIDMODE_OFF);
      if (k->reason) ua_hangup(e.ua, e.call, k->code, k->reason);
    }
    if (e.ev == UA_EVENT_CALL_CLOSED) closedCode = call_scode(e.call);
    if (e.ev == UA_EVENT_CALL_DTMF_START) keys.push_back(e.prm);
  };
  for (const Case &kase : cases) {
    loop.Locked([&] { return k = &kase; });  // read by the handler on the loop thread
    const int incoming = loop.Count(UA_EVENT_CALL_INCOMING), closed = loop.Count(UA_EVENT_CALL_CLOSED),
              established = loop.Count(UA_EVENT_CALL_ESTABLISHED);
    SippRun run(k->scenario, loop.sipPort(), k->flags);
    run.args.insert(run.args.end(), {"-s", "1201", "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())});
    Sipp gate;
    ASSERT_TRUE(gate.Start(run));
    if (k->later) {  // as the panel does when the handset is taken
      ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_INCOMING, incoming + 1));
      ASSERT_EQ(0, loop.Locked([&] { return ua_answer(ua, nullptr, VIDMODE_OFF); }));
    }
    ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED, closed + 1, Millis(15000))) << k->scenario;
    EXPECT_EQ(0, gate.Wait()) << gate.Output();
    EXPECT_EQ(closed + 1, loop.Count(UA_EVENT_CALL_CLOSED)) << k->scenario;
    EXPECT_EQ(established + (k->code == 200), loop.Count(UA_EVENT_CALL_ESTABLISHED)) << k->scenario;
    EXPECT_EQ(0u, loop.Locked([&] { return list_count(ua_calls(ua)); })) << k->scenario;
    EXPECT_EQ(k->code, closedCode) << k->scenario;
    if (!k->later && !k->reason) continue;
    // The header rides on the 180, or on the refusal, which comes without a 180.
    const std::string log = gate.Output(), ringing = "SIP/2.0 180 Ringing",
                      status = k->reason ? "SIP/2.0 " + std::to_string(k->code) + " " + k->reason : ringing;
    EXPECT_NE(std::string::npos, log.find(status)) << log;
    EXPECT_EQ(k->later, log.find(ringing) != std::string::npos) << status;
    EXPECT_EQ(k->later, log.find("m=video 0 ") != std::string::npos) << log;  // answered without video
    EXPECT_NE(std::string::npos, log.find("X-Ornix-AccountsList: 1201,sip:1202@10.0.0.2", log.find(status)));
  }
  // Only the first gate sent a key; answering is the agent's own act and
  // raises no ANSWERED.
  EXPECT_EQ((std::vector<std::string>{"7"}), keys);
  EXPECT_EQ(0, loop.Count(UA_EVENT_CALL_ANSWERED));
}
