// The config file as the daemon's deployment writes it.
#include <gtest/gtest.h>

#include "sipp.h"

namespace {

TEST(SipuaConfig, FileValuesUnknownKeysAndModules) {
  TempDir dir("sipuacfg");
  ASSERT_TRUE(dir.Write("config",
                        "# panel\n"
                        "sip_listen\t\t127.0.0.1:5099\n"
                        "rtp_ports 31000-31009\n"
                        "rtp_timeout 7\n"
                        "module_path /usr/lib/baresip/modules\n"
                        "module g711.so\n"
                        "module nosuchcodec.so\n"
                        "video_source rtspsrc,rtsp://127.0.0.1:554/ch1/trackID=0\n"
                        "rtspsrc_url rtsp://127.0.0.1:554/ch3/trackID=0\n"
                        "some_future_key with several words\n"));
  ASSERT_EQ(0, libre_init());
  conf_path_set(dir.path().c_str());
  ASSERT_EQ(0, conf_configure());
  const struct config *cfg = conf_config();
  ASSERT_NE(nullptr, cfg);
  EXPECT_STREQ("127.0.0.1:5099", cfg->sip.local);
  EXPECT_EQ(31000u, cfg->avt.rtp_ports.min);
  EXPECT_EQ(31009u, cfg->avt.rtp_ports.max);
  EXPECT_EQ(7u, cfg->avt.rtp_timeout);
  EXPECT_STREQ("rtsp://127.0.0.1:554/ch3/trackID=0", cfg->video.src_dev);
  EXPECT_EQ(0, conf_modules());  // the unknown module is skipped
  char path[256];
  ASSERT_EQ(0, conf_path_get(path, sizeof(path)));
  EXPECT_EQ(dir.path(), path);

  // A bad range keeps the defaults rather than a half-parsed value.
  ASSERT_TRUE(dir.Write("config", "rtp_ports 40000-30000\n"));
  ASSERT_EQ(0, conf_configure());
  EXPECT_EQ(10000u, conf_config()->avt.rtp_ports.min);
  EXPECT_EQ(20000u, conf_config()->avt.rtp_ports.max);
  conf_close();
  libre_close();

  // Numbering the daemon's dispatcher depends on.
  EXPECT_EQ(10, UA_EVENT_CALL_INCOMING);
  EXPECT_EQ(16, UA_EVENT_CALL_CLOSED);
  EXPECT_EQ(22, UA_EVENT_CALL_RTPESTAB);
  EXPECT_STREQ("CALL_DTMF_START", uag_event_str(UA_EVENT_CALL_DTMF_START));
  EXPECT_STREQ("?", uag_event_str(UA_EVENT_MAX));
}

}  // namespace
