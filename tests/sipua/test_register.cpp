// Registration against a sipp registrar: digest challenge, refresh, refusal.
#include <gtest/gtest.h>

#include <atomic>

#include "sipp.h"

namespace {

std::string Aor(int port, const std::string &pass) {
  return "sip:flat12@127.0.0.1:" + std::to_string(port) + ";auth_pass=" + pass;
}

TEST(SipuaRegister, ChallengeThenRefresh) {
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start());
  Sipp registrar;
  ASSERT_TRUE(registrar.Start(SippRun("reg_challenge.xml")));

  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, Aor(registrar.port(), "secret").c_str()); }));
  ASSERT_EQ(ua, loop.Locked([] { return static_cast<struct ua *>(list_head(uag_list())->data); }));
  ASSERT_EQ(0, loop.Locked([&] { return ua_register(ua); }));

  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 1)) << registrar.Output();
  EXPECT_EQ(1, loop.Count(UA_EVENT_REGISTERING));
  EXPECT_EQ("200 OK", loop.Last(UA_EVENT_REGISTER_OK).prm);
  // The registrar granted 2 s: the refresh comes by itself.
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 2, Millis(6000)));
  EXPECT_EQ(0, loop.Count(UA_EVENT_REGISTER_FAIL));
  EXPECT_EQ(0, registrar.Wait()) << registrar.Output();

  loop.Locked([&] { ua_unregister(ua); return 0; });
  EXPECT_EQ(1, loop.Count(UA_EVENT_UNREGISTERING));
}

TEST(SipuaRegister, RefusedCredentialsAndBadAddresses) {
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start());
  Sipp registrar;
  ASSERT_TRUE(registrar.Start(SippRun("reg_reject.xml")));
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, Aor(registrar.port(), "wrong").c_str()); }));
  ASSERT_EQ(0, loop.Locked([&] { return ua_register(ua); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_FAIL, 1));
  EXPECT_EQ(0, loop.Last(UA_EVENT_REGISTER_FAIL).prm.rfind("401 ", 0)) << loop.Last(UA_EVENT_REGISTER_FAIL).prm;
  EXPECT_EQ(0, loop.Count(UA_EVENT_REGISTER_OK));
  EXPECT_EQ(0, registrar.Wait()) << registrar.Output();

  // Nobody listens at the proxy: a transport error, reported as 503.
  const std::string closed = "sip:flat12@127.0.0.1;auth_pass=x;outbound=sip:127.0.0.1:" +
                             std::to_string(FreeTcpPort()) + ";transport=tcp";
  struct ua *unreachable = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&unreachable, closed.c_str()); }));
  ASSERT_EQ(0, loop.Locked([&] { return ua_register(unreachable); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_FAIL, 2));
  EXPECT_EQ(0, loop.Last(UA_EVENT_REGISTER_FAIL).prm.rfind("503 ", 0)) << loop.Last(UA_EVENT_REGISTER_FAIL).prm;
  loop.Locked([&] { return mem_deref(unreachable); });

  // Addresses that do not parse are refused and leave the list alone.
  for (const char *bad : {"", "flat12@127.0.0.1", "sip:@127.0.0.1", "http://x",
                          "sip:a@127.0.0.1;outbound=sip:;transport=udp",
                          "sip:a@127.0.0.1;outbound=sip:p:5060;transport=carrier",
                          "sip:a@h\r\nVia: x"}) {
    struct ua *other = nullptr;
    EXPECT_NE(0, loop.Locked([&] { return ua_alloc(&other, bad); })) << bad;
  }
  EXPECT_EQ(1u, loop.Locked([] { return list_count(uag_list()); }));
}

TEST(SipuaRegister, ThroughOutboundProxyOverTcpThenOrderlyStop) {
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start());
  SippRun run("reg_challenge.xml");
  run.args = {"-t", "t1"};
  Sipp proxy;
  ASSERT_TRUE(proxy.Start(run));
  // The registrar's name does not resolve: everything must go to the proxy.
  const std::string aor = "sip:flat12@registrar.invalid:5070;auth_pass=secret;outbound=sip:127.0.0.1:" +
                          std::to_string(proxy.port()) + ";transport=tcp";
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, aor.c_str()); }));
  ASSERT_EQ(0, loop.Locked([&] { return ua_register(ua); }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 1)) << proxy.Output();
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_REGISTER_OK, 2, Millis(6000)));
  EXPECT_EQ(0, proxy.Wait()) << proxy.Output();
  const std::string log = proxy.Output();
  EXPECT_NE(std::string::npos, log.find("REGISTER sip:registrar.invalid:5070 SIP/2.0"));
  EXPECT_NE(std::string::npos, log.find("Via: SIP/2.0/TCP"));

  // An orderly stop ends with the exit handler, as a signal does in the daemon.
  static std::atomic<int> exits{0};
  loop.Locked([&] {
    uag_set_exit_handler([](void *) { ++exits; }, nullptr);
    ua_stop_all(false);
    return 0;
  });
  EXPECT_TRUE(WaitFor([] { return exits.load() > 0; }, Millis(5000)));
  EXPECT_EQ(0u, loop.Locked([] { return list_count(uag_list()); }));
}

}  // namespace
