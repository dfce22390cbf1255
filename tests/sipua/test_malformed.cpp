// Bad input from the network: answered per RFC 3261 or dropped, never a
// crash, a leak or a call left half-open.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sipp.h"

namespace {

void SendRaw(int port, const std::string &data) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
  close(fd);
}

TEST(SipuaMalformed, BadRequestsAnsweredAndAgentStaysUp) {
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start());
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x"); }));
  // The only call that gets through (the one with the huge header) is refused.
  loop.onEvent = [](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_INCOMING) ua_hangup(e.ua, e.call, 486, "Busy\r\nX-Injected: 1");
  };

  for (const std::string &junk :
       {std::string("GARBAGE\r\n\r\n"), std::string(3000, '\xff'),
        std::string("INVITE sip:1@127.0.0.1 SIP/2.0\r\nContent-Length: 99999\r\n\r\nv=0"),
        std::string("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 1.2.3.4;branch=z9hG4bKx\r\n"
                    "CSeq: 1 INVITE\r\nCall-ID: none\r\nFrom: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\n\r\n")})
    SendRaw(loop.sipPort(), junk);

  std::string out;
  SippRun bad("uac_malformed.xml", loop.sipPort());
  bad.args = {"-s", "12", "-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort())};
  EXPECT_EQ(0, Sipp::Run(bad, &out)) << out;
  // The reason text could not smuggle a header into the response.
  EXPECT_EQ(std::string::npos, out.find("X-Injected")) << out;
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_INCOMING));
  EXPECT_EQ(1, loop.Count(UA_EVENT_CALL_CLOSED));
  EXPECT_EQ(0u, loop.Locked([&] { return list_count(ua_calls(ua)); }));

  EXPECT_EQ(0, Sipp::Run(SippRun("uac_options.xml", loop.sipPort()), &out)) << out;
}

TEST(SipuaMalformed, HeaderValuesThatWouldBreakTheMessageAreRefused) {
  struct list hdrs;
  list_init(&hdrs);
  EXPECT_NE(0, custom_hdrs_add(&hdrs, "X-A", "%s", "1\r\nVia: evil"));
  EXPECT_NE(0, custom_hdrs_add(&hdrs, "X A", "%s", "1"));
  EXPECT_NE(0, custom_hdrs_add(&hdrs, "X-A:", "%s", "1"));
  EXPECT_NE(0, custom_hdrs_add(&hdrs, "", "%s", "1"));
  EXPECT_EQ(0u, list_count(&hdrs));
  EXPECT_EQ(0, custom_hdrs_add(&hdrs, "X-Ornix-AccountsList", "%s", "[\"1201\"]"));
  ASSERT_EQ(1u, list_count(&hdrs));
  list_flush(&hdrs);
}

}  // namespace
