// Outgoing calls from sipua to sipp callees: answered, busy, cancelled.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>

#include "sipp.h"

namespace {

struct Caller {
  SipuaLoop loop;
  struct ua *ua = nullptr;

  void Setup(int calleePort) {
    ASSERT_TRUE(loop.Start("rtp_ports 20000-29999\n"));
    const std::string aor = "sip:panel@127.0.0.1:" + std::to_string(calleePort) + ";auth_pass=x";
    ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, aor.c_str()); }));
  }
  int Dial(int port, enum vidmode vm, struct call **call) {
    const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(port);
    return loop.Locked([&] { return ua_connect(ua, call, nullptr, uri.c_str(), vm); });
  }
};

std::string HeaderValue(const struct list *hdrs, const char *name) {
  for (struct le *le = hdrs ? hdrs->head : nullptr; le; le = le->next) {
    auto *h = static_cast<struct sip_hdr *>(le->data);
    if (!pl_strcasecmp(&h->name, name)) return std::string(h->val.p, h->val.l);
  }
  return "";
}

TEST(SipuaOutgoing, AnsweredCallWithMediaThenLocalHangup) {
  const int mediaPort = FreeUdpPort();
  SippRun run("uas_answer.xml");
  run.args = {"-mi", "127.0.0.1", "-mp", std::to_string(mediaPort), "-rtp_echo"};
  Sipp callee;
  ASSERT_TRUE(callee.Start(run));
  Caller c;
  c.Setup(callee.port());
  std::string ringingHeader;
  c.loop.onEvent = [&](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_RINGING)
      ringingHeader = HeaderValue(call_get_custom_hdrs(e.call), "x-ornix-accountslist");
  };
  struct call *call = nullptr;
  ASSERT_EQ(0, c.Dial(callee.port(), VIDMODE_OFF, &call));
  ASSERT_NE(nullptr, call);
  EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_OUTGOING));  // reported inside ua_connect

  ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << callee.Output();
  EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_RINGING));
  EXPECT_EQ("1201,1202", ringingHeader);
  // Our silence comes back from the echoing peer.
  ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_RTPESTAB));

  sockaddr_in sin{};
  ASSERT_EQ(0, c.loop.Locked([&] { return call_get_raddress(&sin, sizeof(sin), call); }));
  EXPECT_EQ(AF_INET, sin.sin_family);
  EXPECT_EQ(mediaPort, ntohs(sin.sin_port));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), sin.sin_addr.s_addr);
  EXPECT_TRUE(c.loop.Locked([&] { return call_has_audio(call); }));
  EXPECT_EQ(200, c.loop.Locked([&] { return call_scode(call); }));

  // The close is reported before ua_hangup returns, and the list is empty.
  c.loop.Locked([&] {
    ua_hangup(c.ua, call, 0, nullptr);
    EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_CLOSED));
    EXPECT_EQ(0u, list_count(ua_calls(c.ua)));
    ua_hangup(c.ua, call, 0, nullptr);  // stale handle: ignored
    return 0;
  });
  EXPECT_EQ(0, callee.Wait()) << callee.Output();
  EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_CLOSED));
}

TEST(SipuaOutgoing, BusyCalleeAndCancelBeforeAnswer) {
  {
    Sipp callee;
    ASSERT_TRUE(callee.Start(SippRun("uas_busy.xml")));
    Caller c;
    c.Setup(callee.port());
    std::atomic<int> closedCode{0};
    c.loop.onEvent = [&](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_CLOSED) closedCode = call_scode(e.call);
    };
    // A bare number goes to the account's domain.
    ASSERT_EQ(0, c.loop.Locked([&] { return ua_connect(c.ua, nullptr, nullptr, "sip:1201", VIDMODE_OFF); }));
    ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_CLOSED)) << callee.Output();
    EXPECT_EQ(486, closedCode.load());
    EXPECT_EQ("486 Busy Here", c.loop.Last(UA_EVENT_CALL_CLOSED).prm);
    EXPECT_EQ(0, c.loop.Count(UA_EVENT_CALL_ESTABLISHED));
    EXPECT_EQ(0, callee.Wait()) << callee.Output();
  }
  {
    Sipp callee;
    ASSERT_TRUE(callee.Start(SippRun("uas_cancel.xml")));
    Caller c;
    c.Setup(callee.port());
    // Hang up from inside the ringing event of the same call.
    c.loop.onEvent = [&](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_RINGING) ua_hangup(e.ua, e.call, 0, nullptr);
    };
    ASSERT_EQ(0, c.Dial(callee.port(), VIDMODE_ON, nullptr));
    ASSERT_TRUE(c.loop.WaitEvent(UA_EVENT_CALL_CLOSED)) << callee.Output();
    EXPECT_EQ(0, callee.Wait()) << callee.Output();
    EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_PROGRESS));  // the 183
    EXPECT_EQ(1, c.loop.Count(UA_EVENT_CALL_CLOSED));
    EXPECT_EQ(0u, c.loop.Locked([&] { return list_count(ua_calls(c.ua)); }));
    // The offer carried both codecs, telephone events and a video line.
    const std::string log = callee.Output();
    EXPECT_NE(std::string::npos, log.find("a=rtpmap:0 PCMU/8000"));
    EXPECT_NE(std::string::npos, log.find("a=rtpmap:8 PCMA/8000"));
    EXPECT_NE(std::string::npos, log.find("telephone-event/8000"));
    EXPECT_NE(std::string::npos, log.find("m=video "));
    const size_t m = log.find("m=audio ");
    ASSERT_NE(std::string::npos, m);
    const int port = std::stoi(log.substr(m + 8));
    EXPECT_TRUE(port >= 20000 && port <= 29999) << port;
  }
}

}  // namespace
