// Interop with Debian's baresip client on loopback, both directions, keys
// both ways.
#include <gtest/gtest.h>

#include "sipp.h"

namespace {

struct Panel {
  SipuaLoop loop;
  struct ua *ua = nullptr;
  std::vector<std::string> keys;
  void Setup() {
    loop.onEvent = [this](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_DTMF_START) keys.push_back(e.prm);
      if (e.ev == UA_EVENT_CALL_INCOMING) ua_answer(e.ua, e.call, VIDMODE_OFF);
    };
    ASSERT_TRUE(loop.Start("rtp_ports 40000-49999\n"));
    ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x"); }));
  }
};

TEST(SipuaInterop, CallToBaresipWithKeysBothWays) {
  BaresipPeer peer;
  ASSERT_TRUE(peer.Start("flat12", true));
  Panel p;
  p.Setup();
  struct call *call = nullptr;
  const std::string uri = "sip:flat12@127.0.0.1:" + std::to_string(peer.sipPort());
  ASSERT_EQ(0, p.loop.Locked([&] { return ua_connect(p.ua, &call, nullptr, uri.c_str(), VIDMODE_OFF); }));
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << peer.Output();
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_RTPESTAB)) << peer.Output();

  ASSERT_EQ(0, p.loop.Locked([&] { return call_send_digit(call, '5'); }));
  ASSERT_TRUE(peer.WaitControl("CALL_DTMF_START", Millis(3000)));
  ASSERT_EQ(0, p.loop.Locked([&] { return call_send_digit(call, KEYCODE_REL); }));
  ASSERT_TRUE(peer.WaitControl("CALL_DTMF_END", Millis(3000)));

  ASSERT_TRUE(peer.Type("7"));
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_DTMF_START, 1, Millis(3000)));
  EXPECT_EQ(std::vector<std::string>{"7"}, p.keys);

  p.loop.Locked([&] { ua_hangup(p.ua, call, 0, nullptr); return 0; });
  EXPECT_TRUE(peer.WaitControl("CALL_CLOSED", Millis(3000)));
}

TEST(SipuaInterop, CallFromBaresipAnsweredThenClosedByPeer) {
  BaresipPeer peer;
  ASSERT_TRUE(peer.Start("gate", false));
  Panel p;
  p.Setup();
  const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(p.loop.sipPort());
  ASSERT_NE("", peer.Command("dial", uri));
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << peer.Output();
  EXPECT_EQ(1, p.loop.Count(UA_EVENT_CALL_ANSWERED));
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_RTPESTAB));
  const UaEvent in = p.loop.Last(UA_EVENT_CALL_INCOMING);
  EXPECT_EQ(0u, in.prm.find("sip:gate@127.0.0.1"));
  ASSERT_TRUE(peer.Type("#"));
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_DTMF_START, 1, Millis(3000)));
  EXPECT_EQ(std::vector<std::string>{"#"}, p.keys);
  ASSERT_NE("", peer.Command("hangup", ""));
  ASSERT_TRUE(p.loop.WaitEvent(UA_EVENT_CALL_CLOSED));
  EXPECT_EQ(0u, p.loop.Locked([&] { return list_count(ua_calls(p.ua)); }));
}

TEST(SipuaInterop, CallToBaresipOverTls) {
  BaresipPeer peer;
  ASSERT_TRUE(peer.Start("flat12", true, true));
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("", true, true, true));
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x"); }));
  const std::string uri =
      "sip:flat12@127.0.0.1:" + std::to_string(peer.sipPort() + 1) + ";transport=tls";
  ASSERT_EQ(0, loop.Locked([&] { return ua_connect(ua, nullptr, nullptr, uri.c_str(), VIDMODE_OFF); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << peer.Output();
  // Port + 1 speaks only TLS: an established call proves the handshake.
  EXPECT_TRUE(peer.WaitOutput("Call established", Millis(3000)));
}

}  // namespace
