// Outgoing calls from one agent: to sipp callees (answered, busy, cancelled)
// and to Debian's baresip client (keys both ways); last, that client calling
// the agent. The cancelled call's account maps its media through STUN.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>

#include "sipp.h"
#include "stun.h"

// Over TLS: Calls.TlsOnlyCalleeHangsUpFirst.
TEST(SipuaOutgoing, AnsweredBusyCancelledAndWithBaresipBothWays) {
  const int mediaPort = FreeUdpPort();
  SippRun answering("callee.xml", 0, {"-mi", "127.0.0.1", "-mp", std::to_string(mediaPort), "-rtp_echo", "-key",
                                      "codec", "8", "-key", "rtpmap", "a=rtpmap:8 PCMA/8000"});
  Sipp answer, busy, cancel;
  ASSERT_TRUE(answer.Start(answering) && busy.Start(SippRun("callee.xml", 0, {"-set", "busy", "1"})) &&
              cancel.Start(SippRun("callee.xml", 0, {"-set", "ring", "1"})));
  BaresipPeer peer;
  ASSERT_TRUE(peer.Start("1201", true));
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("rtp_ports 20000-29999\nmodule stun.so\nmodule g722.so\nmodule opus.so\n"));
  StunServer stun;  // the router shows 192.0.2.1; a stranger races it
  ASSERT_TRUE(stun.Start({.mapTo = "192.0.2.1", .netns = "", .forge = true}));
  struct ua *ua = nullptr, *natUa = nullptr;
  const std::string aor = "sip:panel@127.0.0.1:" + std::to_string(busy.port()) + ";auth_pass=x";
  const std::string natAor = "sip:nat@127.0.0.1;medianat=stun;stunserver=stun:127.0.0.1:" +
                             std::to_string(stun.port()) + ";audio_codecs=opus/48000/2,PCMU,PCMA";
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, aor.c_str()) || ua_alloc(&natUa, natAor.c_str()); }));
  std::atomic<uint16_t> closedCode{0};
  std::atomic<bool> hangUpWhenRinging{false};
  loop.onEvent = [&](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_CLOSED) closedCode = call_scode(e.call);
    if (e.ev == UA_EVENT_CALL_RINGING && hangUpWhenRinging) ua_hangup(e.ua, e.call, 0, nullptr);
    if (e.ev == UA_EVENT_CALL_INCOMING) ua_answer(e.ua, e.call, VIDMODE_OFF);
  };
  struct ua *dialUa = ua;
  auto dial = [&](int port, enum vidmode vm, struct call **call) {
    const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(port);
    return loop.Locked([&] { return ua_connect(dialUa, call, nullptr, uri.c_str(), vm); });
  };

  struct call *call = nullptr;
  ASSERT_EQ(0, dial(answer.port(), VIDMODE_OFF, &call));
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_OUTGOING));  // reported inside ua_connect
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << answer.Output();
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_PROGRESS));  // the 183, which is no final status
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_RINGING));
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_ANSWERED));  // the callee's 200
  // Our silence comes back from the echoing peer.
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_RTPESTAB));
  sockaddr_in sin{};
  ASSERT_EQ(0, loop.Locked([&] { return call_get_raddress(&sin, sizeof(sin), call); }));
  EXPECT_EQ(mediaPort, ntohs(sin.sin_port));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), sin.sin_addr.s_addr);
  // The close is reported before ua_hangup returns, and the list is empty.
  loop.Locked([&] {
    ua_hangup(ua, call, 0, nullptr);
    EXPECT_EQ("Connection reset by user", loop.Last(UA_EVENT_CALL_CLOSED).prm);
    EXPECT_EQ(0u, list_count(ua_calls(ua)));
    ua_hangup(ua, call, 0, nullptr);  // stale handle: ignored
  });
  EXPECT_EQ(0, answer.Wait()) << answer.Output();
  EXPECT_EQ(200, closedCode.load());

  // A bare number goes to the account's domain, here the busy callee.
  ASSERT_EQ(0, loop.Locked([&] { return ua_connect(ua, nullptr, nullptr, "sip:1201", VIDMODE_OFF); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED, 2)) << busy.Output();
  EXPECT_EQ(486, closedCode.load());
  EXPECT_EQ("486 Busy Here", loop.Last(UA_EVENT_CALL_CLOSED).prm);
  EXPECT_EQ(0, busy.Wait()) << busy.Output();

  // Hung up from inside the ringing event of the same call.
  hangUpWhenRinging = true;
  dialUa = natUa;
  ASSERT_EQ(0, dial(cancel.port(), VIDMODE_ON, nullptr));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED, 3)) << cancel.Output();
  EXPECT_EQ(0, cancel.Wait()) << cancel.Output();
  EXPECT_EQ(2, loop.Count(UA_EVENT_CALL_PROGRESS));
  EXPECT_EQ(0, closedCode.load());
  EXPECT_EQ(3, loop.Count(UA_EVENT_CALL_CLOSED));
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_ESTABLISHED));
  EXPECT_EQ(0u, loop.Locked([&] { return list_count(ua_calls(ua)); }));
  // The offer carried the account's codecs in its order, telephone events at
  // each codec clock and a video line, each line with the server's mapping of
  // its RTP and RTCP ports.
  const std::string log = cancel.Output();
  for (const char *line : {" RTP/AVP 96 0 8 101 97\r\n", "a=rtpmap:96 opus/48000/2", "a=rtpmap:0 PCMU/8000",
                           "a=rtpmap:8 PCMA/8000", "a=rtpmap:101 telephone-event/8000",
                           "a=rtpmap:97 telephone-event/48000", "m=video ", "c=IN IP4 192.0.2.1\r\n", "a=rtcp:"})
    EXPECT_NE(std::string::npos, log.find(line)) << line << log;
  EXPECT_EQ(std::string::npos, log.find("198.51.100.9")) << log;
  EXPECT_EQ(4, stun.answered());
  for (const char *line : {"m=audio ", "m=video "}) {
    const size_t m = log.find(line);
    ASSERT_NE(std::string::npos, m) << line;
    const int port = std::stoi(log.substr(m + 8)), rtcp = std::stoi(log.substr(log.find("a=rtcp:", m) + 7));
    EXPECT_TRUE(port >= 21000 && port <= 30999) << port;
    EXPECT_EQ(port + 1, rtcp);
  }
  dialUa = ua;

  // Debian's baresip answers by itself: keys both ways over UDP.
  hangUpWhenRinging = false;
  ASSERT_EQ(0, dial(peer.sipPort(), VIDMODE_OFF, &call));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED, 2)) << peer.Output();
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_RTPESTAB, 2)) << peer.Output();
  // A key and its release at once, as the daemon opens the door from the handset.
  ASSERT_EQ(0, loop.Locked([&] { return call_send_digit(call, '5') || call_send_digit(call, KEYCODE_REL); }));
  ASSERT_TRUE(peer.WaitControl("CALL_DTMF_START", Millis(3000)));
  ASSERT_TRUE(peer.WaitControl("CALL_DTMF_END", Millis(3000)));
  ASSERT_TRUE(peer.Type("7"));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_DTMF_START, 1, Millis(3000)));
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_DTMF_START));
  EXPECT_EQ("7", loop.Last(UA_EVENT_CALL_DTMF_START).prm);
  loop.Locked([&] { ua_hangup(ua, call, 0, nullptr); });
  EXPECT_TRUE(peer.WaitControl("CALL_CLOSED", Millis(3000)));

  // baresip calls in, the agent answers, baresip hangs up.
  ASSERT_TRUE(peer.Command("dial", "sip:1201@127.0.0.1:" + std::to_string(loop.sipPort())));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED, 3)) << peer.Output();
  EXPECT_EQ(0u, loop.Last(UA_EVENT_CALL_INCOMING).prm.find("sip:1201@127.0.0.1"));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_RTPESTAB, 3));
  ASSERT_TRUE(peer.Command("hangup"));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED, 5));
  EXPECT_EQ("Connection reset by peer", loop.Last(UA_EVENT_CALL_CLOSED).prm);
  EXPECT_EQ(0u, loop.Locked([&] { return list_count(ua_calls(ua)); }));
}
