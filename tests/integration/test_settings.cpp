// Settings and per-flat account methods through the real bus and daemon:
// replies, rejected input, and values that survive a restart.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "daemon.h"
#include "ornix.h"

namespace {

std::string Text(const BusReply &r) { return r.ok ? r.text.value_or("<no text>") : "<" + r.error + ">"; }
std::string Result(bool ok) { return ok ? R"({"result":true})" : R"({"result":false})"; }

TEST(SettingsBus, ChangesSurviveARestartAndBadInputIsRefused) {
  Daemon d;
  d.config.store.push_back({"sip_sos_addr", "legacy-sos"});
  d.config.store.push_back({"doorHangupDelay", "3"});
  d.config.files.push_back({"/oem/sip_accounts.conf", R"({"12":["1201","1202"],"30":[],"7":["701"]})"});
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  EXPECT_EQ(Text(d.Call("GetSos")), R"({"sosRoom":"legacy-sos"})");
  EXPECT_EQ(Text(d.Call("GetDoorHangupDelay")), R"({"timeout":3,"sip":false})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts")), R"({"12":["1201","1202"],"30":[],"7":["701"]})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts", R"({"flat":5})")), R"({"5":["5"]})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts", R"({"flat":"12"})")), R"({"12":["1201","1202"],"30":[],"7":["701"]})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts", R"({"flat":30})")), R"({"30":["30"]})");
  EXPECT_NE(Text(d.Call("GetSipAccounts", R"({"flat":70000})")).find("404"), std::string::npos);

  const std::tuple<const char *, std::string, bool> calls[] = {  // method, argument, result
      {"SetSos", "{\"sosRoom\":\"" + std::string(120, 's') + "\"}", false},
      {"SetSos", R"({"sosRoom":"sos-202"})", true},
      {"SetDtmf", R"({"1":"#","2":"12"})", true},
      {"SetAssistant", R"({"enable":false})", true},
      {"SetDoorHangupDelay", R"({"timeout":8589934592})", false},
      {"SetDoorHangupDelay", R"({"timeout":7,"sip":true})", true},
      {"SetGateSettings",
       R"({"prefixSize":9,"flatNumberSize":3,"direct":{"mode":true,"rules":{"12":{"1-9":"127.0.0.1"}}}})", true},
      {"DeleteDtmf", "{}", true},
  };
  for (const auto &[method, arg, result] : calls) EXPECT_EQ(Text(d.Call(method, arg)), Result(result)) << method << arg;
  EXPECT_EQ(Text(d.Call("GetDtmf")), R"({"1":"1","2":"2"})");

  d.Terminate();
  ASSERT_GE(d.WaitExit(15000), 0);
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  EXPECT_EQ(Text(d.Call("GetSos")), R"({"sosRoom":"sos-202"})");
  EXPECT_EQ(Text(d.Call("GetDtmf")), R"({"1":"#","2":"2"})");
  EXPECT_EQ(Text(d.Call("GetAssistant")), R"({"enable":false,"online":true})");
  EXPECT_EQ(Text(d.Call("GetDoorHangupDelay")), R"({"timeout":7,"sip":true})");
  EXPECT_EQ(Text(d.Call("GetGateSettings")),
            R"({"direct":{"mode":true,"rules":{"12":{"1-9":"127.0.0.1"}}},"prefixSize":4,"flatNumberSize":3})");
}

}  // namespace
