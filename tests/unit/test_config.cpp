// Settings load, store writers, camera channel rewrite, the settings handlers,
// direct dialing rules and the per-flat SIP accounts (the file at start-up and after changes,
// request validation, lookups racing with changes), against a real store and
// real files in a temporary root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "settings/accounts.h"
#include "settings/settings.h"
#include "settings/settings_methods.h"
#include "context/context.h"
#include "settings/direct.h"
#include "ornix.h"
#include "process.h"

namespace {

const char *const kConfig =
    "module_path\t/usr/lib/baresip/modules\n"
    "video_source\t\trtspsrc,rtspsrc_url\n"
    "rtspsrc_url\t\trtsp://127.0.0.1:554/ch1/trackID=0\n"
    "rtspsrc_url\t\trtsp://127.0.0.1:554/ch1/second\n";

// A temporary root with the store and files of the daemon.
class Settings : public ::testing::Test {
 protected:
  TempDir root{"doralin-config"};
  ScopedEnv rootEnv{"DORALIN_ROOT", root.path()};

  void SetUp() override {
    LogSetLevel(1);  // the trace lines format what was read too
    ASSERT_TRUE(root.Write("etc/baresip/config", kConfig));
  }
  bool Set(bool (*setter)(json_t *), const std::string &text) {
    JsonPtr arg(json_loads(text.c_str(), JSON_DECODE_ANY, nullptr));
    return setter(arg.get());
  }
  // Compact JSON with sorted keys ("<none>" for null); takes `v` over.
  std::string Dump(json_t *v) {
    char *text = v ? json_dumps(v, JSON_ENCODE_ANY | JSON_COMPACT | JSON_SORT_KEYS) : nullptr;
    std::string out = text ? text : "<none>";
    free(text);
    json_decref(v);
    return out;
  }
  // A JSON value, or plain text as the older keys hold it.
  void Put(const char *key, const std::string &text) {
    json_t *v = json_loads(text.c_str(), JSON_DECODE_ANY, nullptr);
    ASSERT_TRUE(StoreSetVariable(nullptr, "doralin", key, v ? v : (v = json_string(text.c_str())))) << key;
    json_decref(v);
  }
  std::string Stored(const char *key) { return Dump(StoreGetVariable(nullptr, "doralin", key)); }
  // The loaded server block as one text.
  std::string Server() {
    const ServerSettings &s = CallContext.server;
    return std::string(s.domain) + ":" + std::to_string(s.port) + " " + s.domainRegister + ":" +
           std::to_string(s.portRegister) + " " + s.username + (s.transportTcp ? " tcp" : "");
  }
};

// The defaults with nothing stored are seen by the handler test.
TEST_F(Settings, LoadLayersLegacyAndCurrentKeysAndRewritesTheChannel) {
  for (auto [key, text] : {std::pair{"doralin_server", "pbx.local:5070"}, {"doralin_login", "legacyuser"},
                           {"doralin_transport_tcp", "1"}, {"dtmf_1", "12"} /* two characters: ignored */,
                           {"dtmf_2", "#"}, {"assist_enable", "0"}})
    Put(key, text);
  LoadSettings();
  EXPECT_EQ(Server(), "pbx.local:5070 pbx.local:5070 legacyuser tcp");
  EXPECT_STREQ(CallContext.dtmf_1, "1");
  EXPECT_STREQ(CallContext.dtmf_2, "#");
  EXPECT_FALSE(CallContext.assistant.assistantEnable);

  // Current keys over the legacy ones; proxyPort is outside the load range, prefixSize cannot be a width.
  for (auto [key, text] : {std::pair{"doralin_server", "nocolon.local"}, {"port", "6000"},
                           {"domain", "\"current.local\""}, {"domainRegister", "\"reg.local\""},
                           {"proxyPort", "65535"}, {"prefixSize", "-3"}})
    Put(key, text);
  Put("username", "\"" + std::string(150, 'u') + "\"");
  LoadSettings();
  const std::string user(99, 'u');
  EXPECT_EQ(Server(), "current.local:6000 reg.local:6000 " + user + " tcp");
  EXPECT_EQ(CallContext.server.proxyPort, 5060u);
  EXPECT_EQ(CallContext.prefixSize, 4u);

  Put("portRegister", "7000");
  Put("videoStreamId", "12");  // no such channel: the file is left alone
  LoadSettings();
  EXPECT_EQ(Server(), "current.local:6000 reg.local:7000 " + user + " tcp");
  EXPECT_EQ(root.Read("etc/baresip/config"), kConfig);

  // "/ch" must be followed by the digit: the rewrite never eats a line end.
  const std::string noDigit = "rtspsrc_url rtsp://127.0.0.1/ch\nnext\n";
  ASSERT_TRUE(root.Write("etc/baresip/config", noDigit));
  EXPECT_FALSE(SetRtspChannel(3));
  EXPECT_EQ(root.Read("etc/baresip/config"), noDigit);
  const std::string longLine = "rtspsrc_url " + std::string(300, 'x') + "/ch7\n";
  ASSERT_TRUE(root.Write("etc/baresip/config", longLine));
  EXPECT_TRUE(SetRtspChannel(0));
  EXPECT_EQ(root.Read("etc/baresip/config"), "rtspsrc_url " + std::string(300, 'x') + "/ch0\n");
}

// Stored values at the edges of each kind's load range. The getters' replies:
// Doralinctl's settings dump and restore, BusInput's every Get* reply.
TEST_F(Settings, LoadRangesAtTheEdgesOfEachKind) {
  for (auto [key, value] : {std::pair{"port", "65534"}, {"portRegister", "1"}, {"proxyPort", "2"},
                            {"doorHangupDelay", "-2147483648"}, {"videoStreamId", "386"},
                            {"flatNumberSize", "9"}, {"prefixSize", "8"}, {"doorHangupOn", "1"}, {"sos", "5"},
                            {"isPlayAlarm", "true"}, {"textRunningLine", "\"line\""}})
    Put(key, value);
  LoadSettings();
  EXPECT_EQ(Server(), "sip.doralin.invalid:65534 sip.doralin.invalid:65534 username");
  EXPECT_EQ(CallContext.server.proxyPort, 2u);
  EXPECT_EQ(CallContext.doorHangupDelay, INT32_MIN);
  EXPECT_EQ(CallContext.videoStreamId, 130);  // the low 8 bits
  EXPECT_EQ(CallContext.flatNumberSize, 0u);  // a width the setter would refuse
  EXPECT_EQ(CallContext.prefixSize, 8u);
  EXPECT_FALSE(CallContext.doorHangupOn);  // flags and texts are taken by their JSON type only
  EXPECT_STREQ(CallContext.sos, "SOS");
  EXPECT_TRUE(CallContext.assistant.isPlayAlarm);
  EXPECT_STREQ(CallContext.assistant.textRunningLine, "line");
}

TEST_F(Settings, HandlersValidateBeforeAnyWriteAndSurviveStoreFailures) {
  LoadSettings();
  // Wrong types, ports out of range and over-long texts: BusInput.MalformedMethodsAndSignalsChangeNothing.
  CallContext.server.transportTcp = true;
  EXPECT_TRUE(Set(SetSipSettingsJson, R"({"remote":{"domain":"d.local"}})"));
  EXPECT_EQ(Server(), "d.local:5060 d.local:5060 username");
  EXPECT_EQ(Stored("domainRegister"), "\"d.local\"");
  EXPECT_EQ(Stored("transportTcp"), "false");
  EXPECT_EQ(Stored("port"), "<none>");  // unchanged keys are not written
  EXPECT_TRUE(CallContext.restartRequested);

  // Stream ids outside 0..2 are ignored; 2 rewrites the file and restarts.
  CallContext.restartRequested = false;
  EXPECT_TRUE(Set(SetSipSettingsJson, R"({"videoStreamId":3,"videoEnable":true})"));
  EXPECT_EQ(Stored("videoEnable"), "true");
  EXPECT_EQ(Stored("videoStreamId"), "<none>");
  EXPECT_TRUE(Set(SetSipSettingsJson, R"({"videoStreamId":2})"));
  EXPECT_EQ(CallContext.videoStreamId, 2);
  EXPECT_NE(root.Read("etc/baresip/config").find("/ch2/trackID"), std::string::npos);
  EXPECT_TRUE(CallContext.restartRequested);
  // A failed rewrite puts the old id back in the store.
  ASSERT_TRUE(root.Write("etc/baresip/config", "nothing here\n"));
  EXPECT_FALSE(Set(SetSipSettingsJson, R"({"videoStreamId":0})"));
  EXPECT_EQ(CallContext.videoStreamId, 2);
  EXPECT_EQ(Stored("videoStreamId"), "2");

  EXPECT_TRUE(Set(SetGateSettingsJson, R"({"direct":{"rules":[1]}})"));
  EXPECT_EQ(Stored("directRules"), "<none>");
  EXPECT_TRUE(Set(SetGateSettingsJson, R"({"prefixSize":4294967297})"));  // no wrap to 1
  EXPECT_EQ(CallContext.prefixSize, 4u);

  // The alarm's settings change in memory only once stored.
  AssistantRecord &a = CallContext.assistant;
  a.isPlayAlarm = false;
  ASSERT_TRUE(SaveAlarmSettings(true, "fire.wav", "Пожар") && SaveIsPlayAlarm(true));
  const std::string store = root.path() + "/var/lib/ornix/store.db";
  ASSERT_TRUE(unlink(store.c_str()) == 0 && root.Write("var/lib/ornix/store.db/taken", ""));  // no database can open
  EXPECT_FALSE(SaveAlarmSettings(false, "flood.wav", "Вода"));
  EXPECT_FALSE(SaveAlarmSettings(false, "fire.wav", "Пожар"));
  EXPECT_FALSE(SaveIsPlayAlarm(false));
  EXPECT_EQ(std::string(a.alarmFileName) + "|" + a.textRunningLine + "|" + std::to_string(a.onlyPanel) +
                std::to_string(a.isPlayAlarm),
            "fire.wav|Пожар|11");
}

// Direct dialing rules as stored (the trace lines format the matched range too).
TEST_F(Settings, DirectRulesPickTheServerAndHouseVideo) {
  const char *rules = R"({"12": {"video": true, "1-40": "a.local", "41-80": "b.local"},
            "13x": {"1-9": "x.local"},
            "14": {"video": 1, "0-0": "zero.local", "5-3": "rev.local", "1-2-3": "c.local",
                   "--7--9": "d.local", "20-30": 5},
            "16": {"65537-65538": "wrap.local"},
            "15": "not an object"})";
  const struct {
    const char *rules;
    unsigned house, apartment;
    const char *server;  // "" when none is found
    bool video;
  } cases[] = {
      {nullptr, 12, 1, "", false},  // nothing stored yet
      {"[1, 2]", 12, 1, "", false},
      {rules, 12, 41, "b.local", true},
      {rules, 12, 81, "", true},  // the house's flag even without a server
      {rules, 13, 1, "", false},
      {rules, 15, 1, "", false},
      {rules, 14, 0, "", false},  // 0-0 and 5-3 never match
      {rules, 14, 4, "", false},
      {rules, 14, 2, "c.local", false},  // video 1 is not a boolean; 1-2-3 is 1 to 2
      {rules, 14, 3, "", false},
      {rules, 14, 8, "d.local", false},
      {rules, 14, 25, "", false},  // a matching range that holds no text names no server
      // "65537-65538" is cut to 9 characters, "65537-655": 1 to 655.
      {rules, 16, 655, "wrap.local", false},
      {rules, 16, 656, "", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.house) + "/" + std::to_string(c.apartment));
    if (c.rules) Put("directRules", c.rules);
    char server[128] = "stale.local";  // old text in the buffer never counts as a found server
    bool video = true;
    EXPECT_EQ(GetDirectServer(c.house, c.apartment, server, sizeof server, &video), *c.server != '\0');
    EXPECT_STREQ(server, c.server);
    EXPECT_EQ(video, c.video);
  }
}

class Accounts : public Settings {
 protected:
  void SetUp() override {
    Settings::SetUp();
    ASSERT_TRUE(root.Write("oem/sip_accounts.conf", R"({"7":["701"],"12":["1201","1202"]})"));
    LoadAccounts();
  }
  void TearDown() override { FreeAccounts(); }
  std::string File() { return root.Read("oem/sip_accounts.conf"); }
};

TEST_F(Accounts, InvalidRequestsChangesAndUnreadableFiles) {
  const std::string before = File();
  // Six accounts and accounts of other types are sent by the bus tests.
  const std::string refused[] = {"[1]", R"({"0":["100"]})", R"({"abc":["100"]})", R"({"12":"1201"})",
                                 "{\"12\":[\"" + std::string(31, 'a') + "\"]}", R"({"12":["1201","1201"]})",
                                 // A bad member late in the request: the good ones before it stay out too.
                                 R"({"30":["3001"],"99999999999999999999":["x"],"31":"y"})"};
  for (const std::string &request : refused) EXPECT_FALSE(Set(SetSipAccounts, request)) << request;
  EXPECT_FALSE(Set(DeleteSipAccounts, "{}"));
  EXPECT_EQ(File(), before);
  EXPECT_EQ(CountFlatAccounts(30), 0);
  EXPECT_EQ(Dump(GetFlatAccounts(12)), R"(["1201","1202"])");

  // Changes merge into the list and rewrite the file whole.
  const std::string thirty(30, 'b');
  EXPECT_TRUE(Set(SetSipAccounts, "{\"12\":[\"1\",\"2\",\"3\",\"4\",\"" + thirty + "\"],\"5\":[]}"));
  EXPECT_EQ(File(), "{\"12\":[\"1\",\"2\",\"3\",\"4\",\"" + thirty + "\"],\"5\":[],\"7\":[\"701\"]}");
  EXPECT_EQ(CountFlatAccounts(12), 5);
  EXPECT_FALSE(root.Read("oem/sip_accounts.conf.tmp").size());

  EXPECT_TRUE(Set(SetSipAccounts, R"({"12a":["x"]})"));  // leading number 12
  EXPECT_EQ(CountFlatAccounts(12), 5);

  // A flat without accounts: true, and the file is not touched.
  ASSERT_TRUE(root.Write("oem/sip_accounts.conf", "marker"));
  EXPECT_TRUE(Set(DeleteSipAccounts, R"({"flat":99})"));
  EXPECT_EQ(File(), "marker");
  EXPECT_TRUE(Set(DeleteSipAccounts, R"({"flat":12})"));
  EXPECT_EQ(File(), R"({"12a":["x"],"5":[],"7":["701"]})");

  // A failed write answers false and changes nothing: memory follows the file.
  ASSERT_TRUE(root.Write("oem/sip_accounts.conf.tmp/blocker", "x"));  // tmp name taken
  EXPECT_FALSE(Set(SetSipAccounts, R"({"8":["801"]})"));
  EXPECT_FALSE(Set(DeleteSipAccounts, R"({"flat":7})"));
  EXPECT_FALSE(Set(DeleteSipAccounts, R"({"flat":null})"));
  EXPECT_EQ(CountFlatAccounts(8), 0);
  EXPECT_EQ(Dump(AccountsSnapshot()), R"({"12a":["x"],"5":[],"7":["701"]})");
  EXPECT_EQ(File(), R"({"12a":["x"],"5":[],"7":["701"]})");

  // A file that does not hold an object is kept aside.
  for (const char *content : {"[\"12\"]", "{\"12\": [\"1201\""}) {
    ASSERT_TRUE(root.Write("oem/sip_accounts.conf", content));
    LoadAccounts();
    EXPECT_EQ(Dump(AccountsSnapshot()), "{}");
    EXPECT_EQ(root.Read("oem/sip_accounts.conf.bad"), content);
    EXPECT_EQ(File(), "");
  }
  LoadAccounts();  // missing file: empty list, nothing renamed
  EXPECT_EQ(root.Read("oem/sip_accounts.conf.bad"), "{\"12\": [\"1201\"");
}

TEST_F(Accounts, LookupsNeverSeeAHalfChangedList) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    for (int i = 0; i < 200000 && !stop; i++) {
      json_t *list = GetFlatAccounts(12);
      size_t n = json_array_size(list);
      if (n != 2 && n != 5) bad++;  // either of the two lists the writer alternates between
      json_decref(list);
    }
  });
  for (int i = 0; i < 200; i++)
    EXPECT_TRUE(Set(SetSipAccounts, i % 2 ? R"({"12":["a","b"]})" : R"({"12":["a","b","c","d","e"]})"));
  stop = true;
  reader.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
