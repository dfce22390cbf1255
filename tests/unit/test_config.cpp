// Settings load, store writers, camera channel rewrite, the settings handlers
// and the per-flat SIP accounts (the file at start-up and after changes,
// request validation, lookups racing with changes), against a real store and
// real files in a temporary root.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "config/accounts.h"
#include "config/settings.h"
#include "config/settings_methods.h"
#include "context.h"
#include "ornix.h"
#include "process.h"

namespace {

const char *const kConfig =
    "module_path\t/usr/lib/baresip/modules\n"
    "video_source\t\trtspsrc,rtspsrc_url\n"
    "rtspsrc_url\t\trtsp://127.0.0.1:554/ch1/trackID=0\n"
    "rtspsrc_url\t\trtsp://127.0.0.1:554/ch1/second\n";

// A temporary root with the store and files of the daemon; setters run with
// their log captured.
class ConfigRoot : public ::testing::Test {
 protected:
  TempDir root{"doralin-config"};
  ScopedEnv rootEnv{"DORALIN_ROOT", root.path()};
  ScopedEnv logEnv{"DORALIN_LOG_STDERR", "1"};

  void SetUp() override {
    LogSetLevel(1);
    CallContext.dbus = nullptr;
  }
  bool Set(bool (*setter)(json_t *), const std::string &text, std::string *log = nullptr) {
    json_t *arg = json_loads(text.c_str(), JSON_DECODE_ANY, nullptr);
    testing::internal::CaptureStderr();
    bool ok = setter(arg);
    std::string err = testing::internal::GetCapturedStderr();
    if (log) *log = err;
    json_decref(arg);
    return ok;
  }
  // Compact JSON with sorted keys ("<none>" for null); takes `v` over.
  std::string Dump(json_t *v) {
    char *text = v ? json_dumps(v, JSON_ENCODE_ANY | JSON_COMPACT | JSON_SORT_KEYS) : nullptr;
    std::string out = text ? text : "<none>";
    free(text);
    json_decref(v);
    return out;
  }
};

class Settings : public ConfigRoot {
 protected:
  void SetUp() override {
    ConfigRoot::SetUp();
    ASSERT_TRUE(root.Write("etc/baresip/config", kConfig));
  }
  // A JSON value, or plain text as the older keys hold it.
  void Put(const char *key, const char *jsonText, bool text = false) {
    json_t *v = text ? nullptr : json_loads(jsonText, JSON_DECODE_ANY, nullptr);
    ASSERT_TRUE(StoreSetVariable(nullptr, "doralin", key, v ? v : (v = json_string(jsonText)))) << key;
    json_decref(v);
  }
  std::string Stored(const char *key) { return Dump(StoreGetVariable(nullptr, "doralin", key)); }
  std::string Load() {
    testing::internal::CaptureStderr();
    LoadSettings();
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(Settings, LoadLayersDefaultsLegacyAndCurrentKeys) {
  Load();
  EXPECT_EQ(CallContext.server.port, 5060u);
  EXPECT_EQ(std::string(CallContext.configPath), root.path() + "/etc/baresip");

  for (auto [key, text] : {std::pair{"doralin_server", "pbx.local:5070"}, {"doralin_login", "legacyuser"},
                           {"doralin_transport_tcp", "1"}, {"dtmf_1", "12"} /* two characters: ignored */,
                           {"dtmf_2", "#"}, {"assist_enable", "0"}})
    Put(key, text, true);
  Load();
  EXPECT_STREQ(CallContext.server.domain, "pbx.local");
  EXPECT_STREQ(CallContext.server.domainRegister, "pbx.local");
  EXPECT_EQ(CallContext.server.port, 5070u);
  EXPECT_EQ(CallContext.server.portRegister, 5070u);
  EXPECT_STREQ(CallContext.server.username, "legacyuser");
  EXPECT_TRUE(CallContext.server.transportTcp);
  EXPECT_STREQ(CallContext.dtmf_1, "1");
  EXPECT_STREQ(CallContext.dtmf_2, "#");
  EXPECT_FALSE(CallContext.assistant.assistantEnable);

  Put("doralin_server", "nocolon.local", true);
  Put("port", "6000");
  Put("domain", "\"current.local\"");
  Put("domainRegister", "\"reg.local\"");
  Put("proxyPort", "65535");  // outside the load range
  const std::string longName = "\"" + std::string(150, 'u') + "\"";
  Put("username", longName.c_str());
  Put("prefixSize", "-3");   // cannot be a width
  Put("doorHangupDelay", "12");
  Put("directMode", "true");
  Put("videoEnable", "1");   // not a boolean
  Load();
  EXPECT_EQ(CallContext.server.port, 6000u);
  EXPECT_EQ(CallContext.server.portRegister, 6000u);
  EXPECT_STREQ(CallContext.server.domain, "current.local");
  EXPECT_STREQ(CallContext.server.domainRegister, "reg.local");
  EXPECT_EQ(CallContext.server.proxyPort, 5060u);
  EXPECT_EQ(strlen(CallContext.server.username), 99u);
  EXPECT_EQ(CallContext.prefixSize, 4u);
  EXPECT_EQ(CallContext.doorHangupDelay, 12);
  EXPECT_TRUE(CallContext.enableDirect);
  EXPECT_TRUE(CallContext.videoEnabled);

  Put("portRegister", "7000");
  Load();
  EXPECT_EQ(CallContext.server.port, 6000u);
  EXPECT_EQ(CallContext.server.portRegister, 7000u);
}

TEST_F(Settings, StreamIdRewritesOnlyTheChannelDigit) {
  Put("videoStreamId", "2");
  Load();
  std::string expected = kConfig;
  expected[expected.find("/ch1") + 3] = '2';
  EXPECT_EQ(root.Read("etc/baresip/config"), expected);

  Put("videoStreamId", "12");
  std::string log = Load();
  EXPECT_NE(log.find("Wrong RTSP channel: 12"), std::string::npos);
  EXPECT_NE(log.find("J5 0 package/src/config/settings"), std::string::npos);
  EXPECT_NE(log.find("Can not set videoStreamId in baresip config!"), std::string::npos);
  EXPECT_EQ(root.Read("etc/baresip/config"), expected);

  // "/ch" must be followed by the digit: the rewrite never eats a line end.
  const std::string noDigit = "rtspsrc_url rtsp://127.0.0.1/ch\nnext\n";
  ASSERT_TRUE(root.Write("etc/baresip/config", noDigit));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SetRtspChannel(3));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("rtspsrc_url string not found in config!"),
            std::string::npos);
  EXPECT_EQ(root.Read("etc/baresip/config"), noDigit);

  const std::string longLine = "rtspsrc_url " + std::string(300, 'x') + "/ch7\n";
  ASSERT_TRUE(root.Write("etc/baresip/config", longLine));
  EXPECT_TRUE(SetRtspChannel(0));
  EXPECT_EQ(root.Read("etc/baresip/config"), "rtspsrc_url " + std::string(300, 'x') + "/ch0\n");
}

TEST_F(Settings, ServerSettingsValidateBeforeAnyWrite) {
  Load();
  std::string log;
  const std::pair<std::string, const char *> bad[] = {
      {R"({"remote":{"domain":"a.local","port":0}})", "Неправильно указан port: 0"},
      {"{\"remote\":{\"domain\":\"" + std::string(300, 'd') + "\"}}", "Строка 'domain' должна быть не более 99 символов"},
      {R"({"remote":{"port":"5060"}})", "Поле 'port' не является целым числом"},
      {R"({"remote":{"domain":"b.local","proxy":{"enable":1}}})", "Поле 'proxy.enable' не является логическим типом"}};
  for (auto &[request, message] : bad) {
    EXPECT_FALSE(Set(SetSipSettingsJson, request, &log));
    EXPECT_NE(log.find(message), std::string::npos) << log;
  }
  EXPECT_EQ(Stored("domain"), "<none>");
  EXPECT_FALSE(CallContext.restartRequested);

  CallContext.server.transportTcp = true;
  EXPECT_TRUE(Set(SetSipSettingsJson, R"({"remote":{"domain":"d.local"}})"));
  EXPECT_STREQ(CallContext.server.domain, "d.local");
  EXPECT_STREQ(CallContext.server.domainRegister, "d.local");
  EXPECT_FALSE(CallContext.server.transportTcp);
  EXPECT_EQ(Stored("domainRegister"), "\"d.local\"");
  EXPECT_EQ(Stored("transportTcp"), "false");
  EXPECT_EQ(Stored("port"), "<none>");  // unchanged keys are not written
  EXPECT_TRUE(CallContext.restartRequested);

  JsonPtr reply(GetSipSettingsJson(nullptr));
  EXPECT_STREQ(json_string_value(json_object_get(json_object_get(reply.get(), "remote"), "domain")), "d.local");

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
}

TEST_F(Settings, GateSettingsAndStoreFailures) {
  Load();
  std::string log;
  EXPECT_TRUE(Set(SetGateSettingsJson, R"({"prefixSize":9,"direct":{"rules":[1]}})", &log));
  EXPECT_EQ(Stored("prefixSize"), "<none>");
  EXPECT_EQ(Stored("directRules"), "<none>");
  EXPECT_TRUE(Set(SetGateSettingsJson, R"({"prefixSize":4294967297})"));  // no wrap to 1
  EXPECT_EQ(CallContext.prefixSize, 4u);
  EXPECT_TRUE(Set(SetGateSettingsJson, R"({"prefixSize":2})"));

  // A store that cannot be opened: writers report false, memory keeps going.
  std::string db = root.Path("var/lib/ornix/store.db");
  ASSERT_EQ(rename(db.c_str(), (db + ".away").c_str()), 0);
  ASSERT_EQ(mkdir(db.c_str(), 0755), 0);
  EXPECT_TRUE(Set(SetGateSettingsJson, R"({"prefixSize":5})", &log));
  EXPECT_NE(log.find("Can't write gate settings to config"), std::string::npos);
  EXPECT_EQ(CallContext.prefixSize, 2u);
  EXPECT_FALSE(Set(SetSosJson, R"({"sosRoom":"101"})"));
  EXPECT_FALSE(Set(SetSipSettingsJson, R"({"remote":{"domain":"x.local"}})"));
  EXPECT_STRNE(CallContext.server.domain, "x.local");
  EXPECT_FALSE(SaveIsPlayAlarm(true));
  EXPECT_FALSE(SaveAlarmSettings(true, "alarm.wav", "text"));
}

class Accounts : public ConfigRoot {
 protected:
  void SetUp() override {
    ConfigRoot::SetUp();
    ASSERT_TRUE(root.Write("oem/sip_accounts.conf", R"({"7":["701"],"12":["1201","1202"]})"));
    LoadAccounts();
  }
  void TearDown() override { FreeAccounts(); }
  std::string File() { return root.Read("oem/sip_accounts.conf"); }
};

TEST_F(Accounts, InvalidRequestsChangeNothing) {
  const std::string before = File();
  const std::string six = R"({"12":["1","2","3","4","5","6"]})";
  const std::string longAcc = "{\"12\":[\"" + std::string(31, 'a') + "\"]}";
  const struct {
    std::string request;
    const char *message;
  } cases[] = {
      {"[1]", nullptr},
      {R"({"0":["100"]})", "Номер квартиры должен быть строковым представлением числа: 0"},
      {R"({"abc":["100"]})", "Номер квартиры должен быть строковым представлением числа: abc"},
      {R"({"12":"1201"})", "Список аккаунтов для квартиры 12 не является массивом"},
      {six, "Максимум аккаунтов доступных для сохранения на одну квартиру: 5. Для квартиры 12 "
            "задано 6"},
      {R"({"12":[1201]})", "Список аккаунтов для квартиры 12 должен состоять из строк"},
      {longAcc, "Длина поля sip аккаунта не должна быть больше 30 (Квартира 12)"},
      {R"({"12":["1201","1201"]})", "Список аккаунтов для квартиры 12 содержит дубликаты"},
      // A bad member late in the request: the good ones before it stay out too.
      {R"({"30":["3001"],"99999999999999999999":["x"],"31":"y"})",
       "Список аккаунтов для квартиры 31 не является массивом"},
  };
  for (const auto &c : cases) {
    std::string log;
    EXPECT_FALSE(Set(SetSipAccounts, c.request, &log)) << c.request;
    if (c.message) {
      EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
    EXPECT_NE(log.find("Неверный формат JSON со списком SIP аккаунтов"), std::string::npos);
  }
  EXPECT_FALSE(SetSipAccounts(nullptr));
  EXPECT_EQ(File(), before);
  EXPECT_EQ(CountFlatAccounts(30), 0);
  EXPECT_EQ(Dump(GetFlatAccounts(12)), R"(["1201","1202"])");

  std::string log;
  EXPECT_FALSE(Set(DeleteSipAccounts, R"({"flat":"12"})", &log));
  EXPECT_NE(log.find("Ошибка удаления SIP аккаунтов. Неверный формат JSON: \"12\""),
            std::string::npos);
  EXPECT_FALSE(Set(DeleteSipAccounts, "{}"));
  EXPECT_FALSE(DeleteSipAccounts(nullptr));
  EXPECT_EQ(File(), before);
}

TEST_F(Accounts, ChangesMergeAndRewriteTheFileWhole) {
  const std::string thirty(30, 'b');
  EXPECT_TRUE(Set(SetSipAccounts, "{\"12\":[\"1\",\"2\",\"3\",\"4\",\"" + thirty + "\"],\"5\":[]}"));
  EXPECT_EQ(File(), "{\"12\":[\"1\",\"2\",\"3\",\"4\",\"" + thirty + "\"],\"5\":[],\"7\":[\"701\"]}");
  EXPECT_EQ(CountFlatAccounts(12), 5);
  EXPECT_EQ(CountFlatAccounts(5), 0);
  EXPECT_EQ(Dump(GetFlatAccounts(5)), R"(["5"])");
  EXPECT_EQ(Dump(GetFlatAccounts(7)), R"(["701"])");
  EXPECT_FALSE(root.Read("oem/sip_accounts.conf.tmp").size());

  EXPECT_TRUE(Set(SetSipAccounts, R"({"12a":["x"]})"));  // leading number 12
  EXPECT_EQ(CountFlatAccounts(12), 5);

  // A flat without accounts: true, and the file is not touched.
  ASSERT_TRUE(root.Write("oem/sip_accounts.conf", "marker"));
  EXPECT_TRUE(Set(DeleteSipAccounts, R"({"flat":99})"));
  EXPECT_EQ(File(), "marker");
  EXPECT_TRUE(Set(DeleteSipAccounts, R"({"flat":12})"));
  EXPECT_EQ(File(), R"({"12a":["x"],"5":[],"7":["701"]})");
  EXPECT_TRUE(Set(DeleteSipAccounts, R"({"flat":null})"));
  EXPECT_EQ(File(), "{}");
  EXPECT_EQ(Dump(AccountsSnapshot()), "{}");

  // A failed write keeps the change in memory and answers false.
  ASSERT_TRUE(root.Write("oem/sip_accounts.conf.tmp/blocker", "x"));  // tmp name taken
  std::string log;
  EXPECT_FALSE(Set(SetSipAccounts, R"({"8":["801"]})", &log));
  EXPECT_NE(log.find("Ошибка сохранения SIP аккаунтов"), std::string::npos);
  EXPECT_EQ(CountFlatAccounts(8), 1);
  EXPECT_EQ(File(), "{}");
}

TEST_F(Accounts, UnreadableFileIsKeptAside) {
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
      // Either of the two lists the writer alternates between.
      if (n != 2 && n != 5) bad++;
      json_decref(list);
    }
  });
  for (int i = 0; i < 200; i++) {
    ASSERT_TRUE(Set(SetSipAccounts, i % 2 ? R"({"12":["a","b"]})"
                                          : R"({"12":["a","b","c","d","e"]})"));
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
