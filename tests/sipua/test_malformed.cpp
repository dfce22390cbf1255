// Input the agent must read right or refuse: bad input from the network
// (answered per RFC 3261 or dropped, never a crash, a leak or a call left
// half-open, each refused call logged once), and a config value it must
// refuse.
#include <gtest/gtest.h>

#include "sipp.h"

TEST(SipuaMalformed, BadRequestsAndHeaderValuesRefusedAgentStaysUp) {
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("module g722.so\nmodule opus.so\n"));  // G.729 is still unknown
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x"); }));
  // The only call that gets through (the one with the big header) is refused.
  loop.onEvent = [](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_INCOMING) ua_hangup(e.ua, e.call, 486, "Busy\r\nX-Injected: 1");
  };
  const std::string noDialog = "To: <sip:12@127.0.0.1>;tag=nosuchdialog",
                    g729 = "v=0\r\no=gate 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                           "m=audio 40000 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";
  // A rejected call that is never ACKed holds its place for a while: the call
  // that gets through comes first. The reason could not smuggle a header in.
  // A bad SDP and a BYE outside a dialog: SipFaults.RegistrarFaultsFloodSilentCalleeAndHostileInput.
  const std::pair<std::string, const char *> cases[] = {
      {Request("INVITE", {{"INVITE", "INVITE sip:12@127.0.0.1:" + std::to_string(loop.sipPort()) + " SIP/2.0"},
                          {"Max-Forwards:", "Max-Forwards: 70\r\nX-Big: " + std::string(6000, 'A')}}, kSdp),
       "SIP/2.0 486"},
      {Request("INVITE", {}, g729), "SIP/2.0 488"},
      // Media at a host name, or IPv6 at an IPv4 panel: nowhere to send to.
      {Request("INVITE", {}, std::string(kSdp).replace(std::string(kSdp).find("127.0.0.1\r\nt="), 9, "gate.local")),
       "SIP/2.0 488 Not Acceptable Here"},
      {Request("INVITE", {}, std::string(kSdp) + "c=IN IP6 ::1\r\n"), "SIP/2.0 488 Not Acceptable Here"},
      {Request("INVITE", {{"Content-Type:", "Content-Type: text/plain"}}, "hello\r\n"), "SIP/2.0 415"},
      {Request("INFO", {{"To:", noDialog}, {"Content-Type:", "Content-Type: application/dtmf-relay"}}, "Signal=1\r\n"),
       "SIP/2.0 481"},
      {Request("OPTIONS"), "SIP/2.0 200"}};
  testing::internal::CaptureStderr();
  for (const auto &[request, answer] : cases) {
    const std::string got = Exchange(loop.sipPort(), request, 3000);
    EXPECT_TRUE(got.starts_with(answer) && got.find("X-Injected") == std::string::npos) << request << got;
  }
  // A host repeating a refusal gets no more lines within the minute, only counts.
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(Exchange(loop.sipPort(), Request("INVITE", {}, g729), 3000).starts_with("SIP/2.0 488"));
  struct sipua_counters counts;
  sipua_counters_get(&counts);
  EXPECT_EQ(10u, counts.refusals_unlogged);
  // Each refused INVITE is one line with its caller, status and reason.
  const std::string err = testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (size_t at = err.find("ua: INVITE from sip:"); at != std::string::npos; at = err.find("ua: INVITE from sip:", at + 1))
    ++lines;
  EXPECT_EQ(5u, lines) << err;
  for (const char *text : {" refused: 486 Busy", " refused: 488 Not Acceptable Here (no audio codec in common)",
                           " refused: 488 Not Acceptable Here (media address", " refused: 415 Unsupported Media Type"})
    EXPECT_NE(std::string::npos, err.find(text)) << text << err;
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_INCOMING));
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_CLOSED));
  EXPECT_EQ(0u, loop.Locked([&] { return list_count(ua_calls(ua)); }));

  // Header values that would break the message are refused as well.
  struct list hdrs;
  list_init(&hdrs);
  for (const auto &[name, value] : {std::pair{"X-A", "1\r\nVia: evil"}, {"X A", "1"}, {"X-A:", "1"}, {"", "1"}})
    EXPECT_NE(0, custom_hdrs_add(&hdrs, name, "%s", value)) << name;
  EXPECT_EQ(0u, list_count(&hdrs));
  EXPECT_EQ(0, custom_hdrs_add(&hdrs, "X-Ornix-AccountsList", "%s", "[\"1201\"]"));
  list_flush(&hdrs);
}

// The values themselves are read by every test that starts an agent or the daemon.
TEST(SipuaConfig, BadPortRangeKeepsTheDefaults) {
  TempDir dir("sipuacfg");
  ASSERT_TRUE(dir.Write("config", "rtp_ports 40000-30000\nsome_future_key with several words\n"));
  ASSERT_EQ(0, libre_init());
  conf_path_set(dir.path().c_str());
  ASSERT_EQ(0, conf_configure());
  EXPECT_EQ(10000u, conf_config()->avt.rtp_ports.min);
  EXPECT_EQ(20000u, conf_config()->avt.rtp_ports.max);
  conf_close();
  libre_close();
}
