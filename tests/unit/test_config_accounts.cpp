// Per-flat SIP accounts: the file at start-up and after changes, request
// validation, lookups, and lookups racing with changes.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "config/accounts.h"
#include "context.h"
#include "ornix.h"
#include "process.h"

namespace {

class Accounts : public ::testing::Test {
 protected:
  TempDir root{"doralin-accounts"};
  ScopedEnv rootEnv{"DORALIN_ROOT", root.path()};
  ScopedEnv logEnv{"DORALIN_LOG_STDERR", "1"};

  void SetUp() override {
    LogSetLevel(1);
    CallContext.dbus = nullptr;
    ASSERT_TRUE(root.Write("oem/sip_accounts.conf", R"({"7":["701"],"12":["1201","1202"]})"));
    LoadAccounts();
  }
  void TearDown() override { FreeAccounts(); }

  std::string File() { return root.Read("oem/sip_accounts.conf"); }
  // Runs a setter on a JSON text, returning its result and the captured log.
  bool Run(bool (*setter)(json_t *), const std::string &text, std::string *log = nullptr) {
    json_t *arg = json_loads(text.c_str(), JSON_DECODE_ANY, nullptr);
    testing::internal::CaptureStderr();
    bool ok = setter(arg);
    std::string err = testing::internal::GetCapturedStderr();
    if (log) *log = err;
    json_decref(arg);
    return ok;
  }
  std::string Dump(json_t *v) {
    char *text = json_dumps(v, JSON_COMPACT | JSON_SORT_KEYS);
    std::string out = text ? text : "";
    free(text);
    json_decref(v);
    return out;
  }
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
    EXPECT_FALSE(Run(SetSipAccounts, c.request, &log)) << c.request;
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
  EXPECT_FALSE(Run(DeleteSipAccounts, R"({"flat":"12"})", &log));
  EXPECT_NE(log.find("Ошибка удаления SIP аккаунтов. Неверный формат JSON: \"12\""),
            std::string::npos);
  EXPECT_FALSE(Run(DeleteSipAccounts, "{}"));
  EXPECT_FALSE(DeleteSipAccounts(nullptr));
  EXPECT_EQ(File(), before);
}

TEST_F(Accounts, ChangesMergeAndRewriteTheFileWhole) {
  const std::string thirty(30, 'b');
  EXPECT_TRUE(Run(SetSipAccounts, "{\"12\":[\"1\",\"2\",\"3\",\"4\",\"" + thirty + "\"],\"5\":[]}"));
  EXPECT_EQ(File(), "{\"12\":[\"1\",\"2\",\"3\",\"4\",\"" + thirty + "\"],\"5\":[],\"7\":[\"701\"]}");
  EXPECT_EQ(CountFlatAccounts(12), 5);
  EXPECT_EQ(CountFlatAccounts(5), 0);
  EXPECT_EQ(Dump(GetFlatAccounts(5)), R"(["5"])");
  EXPECT_EQ(Dump(GetFlatAccounts(7)), R"(["701"])");
  EXPECT_FALSE(root.Read("oem/sip_accounts.conf.tmp").size());

  EXPECT_TRUE(Run(SetSipAccounts, R"({"12a":["x"]})"));  // leading number 12
  EXPECT_EQ(CountFlatAccounts(12), 5);

  // A flat without accounts: true, and the file is not touched.
  ASSERT_TRUE(root.Write("oem/sip_accounts.conf", "marker"));
  EXPECT_TRUE(Run(DeleteSipAccounts, R"({"flat":99})"));
  EXPECT_EQ(File(), "marker");
  EXPECT_TRUE(Run(DeleteSipAccounts, R"({"flat":12})"));
  EXPECT_EQ(File(), R"({"12a":["x"],"5":[],"7":["701"]})");
  EXPECT_TRUE(Run(DeleteSipAccounts, R"({"flat":null})"));
  EXPECT_EQ(File(), "{}");
  EXPECT_EQ(Dump(AccountsSnapshot()), "{}");

  // A failed write keeps the change in memory and answers false.
  ASSERT_TRUE(root.Write("oem/sip_accounts.conf.tmp/blocker", "x"));  // tmp name taken
  std::string log;
  EXPECT_FALSE(Run(SetSipAccounts, R"({"8":["801"]})", &log));
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
    ASSERT_TRUE(Run(SetSipAccounts, i % 2 ? R"({"12":["a","b"]})"
                                          : R"({"12":["a","b","c","d","e"]})"));
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
