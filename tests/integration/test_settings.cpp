// Settings and per-flat account methods through the real bus and daemon:
// replies, rejected input, and values that survive a restart.
#include <gtest/gtest.h>
#include <jansson.h>

#include <string>

#include "daemon.h"
#include "ornix.h"

namespace {

std::string Text(const BusReply &r) { return r.ok ? r.text.value_or("<no text>") : "<" + r.error + ">"; }

// The "result" member of a boolean reply: 1 true, 0 false, -1 anything else.
int Result(const BusReply &r) {
  json_t *v = r.text ? json_loads(r.text->c_str(), 0, nullptr) : nullptr;
  json_t *res = json_object_get(v, "result");
  int out = json_is_boolean(res) ? json_is_true(res) : -1;
  json_decref(v);
  return out;
}

TEST(SettingsBus, ChangesSurviveARestartAndBadInputIsRefused) {
  Daemon d;
  d.config.store.push_back({"sip_sos_addr", "legacy-sos"});
  d.config.store.push_back({"doorHangupDelay", "3"});
  d.config.files.push_back({"/oem/sip_accounts.conf", R"({"12":["1201","1202"],"7":["701"]})"});
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  EXPECT_EQ(Text(d.Call("GetSos")), R"({"sosRoom":"legacy-sos"})");
  EXPECT_EQ(Text(d.Call("GetDoorHangupDelay")), R"({"timeout":3,"sip":false})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts")), R"({"12":["1201","1202"],"7":["701"]})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts", R"({"flat":5})")), R"({"5":["5"]})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts", R"({"flat":"12"})")), R"({"12":["1201","1202"],"7":["701"]})");
  EXPECT_NE(Text(d.Call("GetSipAccounts", R"({"flat":70000})")).find("404"), std::string::npos);

  const struct {
    const char *method;
    std::string arg;
    int result;
  } calls[] = {
      {"SetSos", R"({"sosRoom":5})", 0},
      {"SetSos", "{\"sosRoom\":\"" + std::string(120, 's') + "\"}", 0},
      {"SetSos", R"({"sosRoom":"sos-202"})", 1},
      {"SetDtmf", R"({"1":"#","2":"12"})", 1},
      {"SetAssistant", R"({"enable":"yes"})", 0},
      {"SetAssistant", R"({"enable":false})", 1},
      {"SetDoorHangupDelay", R"({"timeout":8589934592})", 0},
      {"SetDoorHangupDelay", R"({"timeout":7,"sip":true})", 1},
      {"SetGateSettings", R"({"prefixSize":9,"flatNumberSize":3,"direct":{"mode":true,"rules":{"12":{"1-9":"a.local"}}}})", 1},
      {"SetSipAccounts", R"({"12":["1299"],"30":[]})", 1},
      {"DeleteSipAccounts", R"({"flat":7})", 1},
  };
  for (const auto &c : calls) EXPECT_EQ(Result(d.Call(c.method, c.arg)), c.result) << c.method << " " << c.arg;
  EXPECT_EQ(Result(d.Call("DeleteDtmf")), 1);
  EXPECT_EQ(Text(d.Call("GetDtmf")), R"({"1":"1","2":"2"})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts", R"({"flat":30})")), R"({"30":["30"]})");
  EXPECT_EQ(ReadFile(d.Path("/oem/sip_accounts.conf")), R"({"12":["1299"],"30":[]})");

  d.Terminate();
  ASSERT_GE(d.WaitExit(15000), 0);
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  EXPECT_EQ(Text(d.Call("GetSos")), R"({"sosRoom":"sos-202"})");
  EXPECT_EQ(Text(d.Call("GetDtmf")), R"({"1":"#","2":"2"})");
  EXPECT_EQ(Text(d.Call("GetAssistant")), R"({"enable":false,"online":true})");
  EXPECT_EQ(Text(d.Call("GetDoorHangupDelay")), R"({"timeout":7,"sip":true})");
  EXPECT_EQ(Text(d.Call("GetGateSettings")),
            R"({"direct":{"mode":true,"rules":{"12":{"1-9":"a.local"}}},"prefixSize":4,"flatNumberSize":3})");
  EXPECT_EQ(Text(d.Call("GetSipAccounts")), R"({"12":["1299"],"30":[]})");
}

}  // namespace
