// Input the agent must read right or refuse: bad input from the network
// (answered per RFC 3261 or dropped, never a crash, a leak or a call left
// half-open), and the config file as the daemon's deployment writes it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sipp.h"

TEST(SipuaMalformed, BadRequestsAndHeaderValuesRefusedAgentStaysUp) {
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start());
  struct ua *ua = nullptr;
  ASSERT_EQ(0, loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1;auth_pass=x"); }));
  // The only call that gets through (the one with the huge header) is refused.
  loop.onEvent = [](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_INCOMING) ua_hangup(e.ua, e.call, 486, "Busy\r\nX-Injected: 1");
  };
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  const sockaddr_in to = Loopback(loop.sipPort());
  for (const std::string &junk :
       {std::string("GARBAGE\r\n\r\n"), std::string(3000, '\xff'),
        std::string("INVITE sip:1@127.0.0.1 SIP/2.0\r\nContent-Length: 99999\r\n\r\nv=0"),
        std::string("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 1.2.3.4;branch=z9hG4bKx\r\n"
                    "CSeq: 1 INVITE\r\nCall-ID: none\r\nFrom: <sip:a@b>;tag=1\r\nTo: <sip:c@d>\r\n\r\n")})
    sendto(fd, junk.data(), junk.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  close(fd);

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

  // Header values that would break the message are refused as well.
  struct list hdrs;
  list_init(&hdrs);
  for (const auto &[name, value] : {std::pair{"X-A", "1\r\nVia: evil"}, {"X A", "1"}, {"X-A:", "1"}, {"", "1"}})
    EXPECT_NE(0, custom_hdrs_add(&hdrs, name, "%s", value)) << name;
  EXPECT_EQ(0u, list_count(&hdrs));
  EXPECT_EQ(0, custom_hdrs_add(&hdrs, "X-Ornix-AccountsList", "%s", "[\"1201\"]"));
  list_flush(&hdrs);
}

TEST(SipuaConfig, FileValuesAndUnknownKeys) {
  TempDir dir("sipuacfg");
  ASSERT_TRUE(dir.Write("config",
                        "# panel\n"
                        "sip_listen\t\t127.0.0.1:5099\n"
                        "rtp_ports 31000-31009\n"
                        "rtp_timeout 7\n"
                        "video_source rtspsrc,rtsp://127.0.0.1:554/ch1/trackID=0\n"
                        "rtspsrc_url rtsp://127.0.0.1:554/ch3/trackID=0\n"
                        "some_future_key with several words\n"));
  ASSERT_EQ(0, libre_init());
  conf_path_set(dir.path().c_str());
  ASSERT_EQ(0, conf_configure());
  const struct config *cfg = conf_config();
  EXPECT_STREQ("127.0.0.1:5099", cfg->sip.local);
  EXPECT_EQ(31000u, cfg->avt.rtp_ports.min);
  EXPECT_EQ(31009u, cfg->avt.rtp_ports.max);
  EXPECT_EQ(7u, cfg->avt.rtp_timeout);
  EXPECT_STREQ("rtsp://127.0.0.1:554/ch3/trackID=0", cfg->video.src_dev);

  // A bad range keeps the defaults rather than a half-parsed value.
  ASSERT_TRUE(dir.Write("config", "rtp_ports 40000-30000\n"));
  ASSERT_EQ(0, conf_configure());
  EXPECT_EQ(10000u, conf_config()->avt.rtp_ports.min);
  EXPECT_EQ(20000u, conf_config()->avt.rtp_ports.max);
  conf_close();
  libre_close();
}
