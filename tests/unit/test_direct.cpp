// Direct dialing rules read from a real store.
#include <gtest/gtest.h>

#include <string>

#include "context.h"
#include "direct/direct.h"
#include "ornix.h"
#include "process.h"

namespace {

class Direct : public ::testing::Test {
 protected:
  TempDir root{"doralin-direct"};
  ScopedEnv rootEnv{"DORALIN_ROOT", root.path()};
  ScopedEnv logEnv{"DORALIN_LOG_STDERR", "1"};

  void SetUp() override {
    LogSetLevel(1);
    CallContext.dbus = nullptr;
  }
  void Rules(const char *text) {
    json_t *v = json_loads(text, JSON_DECODE_ANY, nullptr);
    ASSERT_TRUE(v) << text;
    ASSERT_TRUE(StoreSetVariable(nullptr, "doralin", "directRules", v));
    json_decref(v);
  }
  struct Result {
    int found;
    std::string server;
    bool video;
    std::string log;
  };
  Result Find(unsigned house, unsigned apartment) {
    char server[128] = {0};
    bool video = true;
    testing::internal::CaptureStderr();
    int found = GetDirectServer(house, apartment, server, sizeof server, &video);
    return {found, server, video, testing::internal::GetCapturedStderr()};
  }
};

TEST_F(Direct, RangesPickTheServerAndHouseVideo) {
  Rules(R"({"12": {"video": true, "1-40": "a.local", "41-80": "b.local"},
            "13x": {"1-9": "x.local"},
            "14": {"video": 1, "0-0": "zero.local", "5-3": "rev.local", "1-2-3": "c.local",
                   "--7--9": "d.local", "20-30": 5},
            "16": {"65537-65538": "wrap.local"},
            "15": "not an object"})");
  const struct {
    unsigned house, apartment;
    int found;
    const char *server;
    bool video;
  } cases[] = {
      {12, 41, 1, "b.local", true}, {12, 81, 0, "", true},  // the house's flag even without a server
      {13, 1, 0, "", false},       {15, 1, 0, "", false},
      {14, 0, 0, "", false},       {14, 4, 0, "", false},   // 0-0 and 5-3 never match
      {14, 2, 1, "c.local", false},                         // video 1 is not a boolean
      {14, 3, 0, "", false},                                // 1-2-3 is 1 to 2
      {14, 8, 1, "d.local", false},
      {14, 25, 0, "", false},  // a matching range that holds no text names no server
      // "65537-65538" is cut to 9 characters, "65537-655": 1 to 655.
      {16, 1, 1, "wrap.local", false}, {16, 655, 1, "wrap.local", false}, {16, 656, 0, "", false}};
  for (const auto &c : cases) {
    Result r = Find(c.house, c.apartment);
    EXPECT_EQ(r.found, c.found) << c.house << "/" << c.apartment;
    EXPECT_EQ(r.server, c.server) << c.house << "/" << c.apartment;
    EXPECT_EQ(r.video, c.video) << c.house << "/" << c.apartment;
  }
  EXPECT_NE(Find(12, 41).log.find("[direct] GetDirectServer: range 41-80 matched, server=b.local video=1"),
            std::string::npos);
  EXPECT_NE(Find(12, 81).log.find("[direct] GetDirectServer: no server for apartment 81"), std::string::npos);
  std::string log = Find(13, 1).log;
  EXPECT_NE(log.find("[direct] GetDirectServer: no rules for house 13"), std::string::npos);
  EXPECT_NE(log.find("Ошибка при вызове, правило набора для номера дома не задано: 13"), std::string::npos);
}

TEST_F(Direct, MalformedOrMissingRules) {
  for (const char *rules : {(const char *)nullptr, "[1, 2]", "\"12\""}) {
    if (rules) Rules(rules);
    Result r = Find(12, 1);
    EXPECT_EQ(r.found, 0);
    EXPECT_NE(r.log.find("[direct] GetDirectServer: directRules is not an object"),
              std::string::npos);
    EXPECT_NE(r.log.find("Ошибка парсинга правил набора"), std::string::npos);
    EXPECT_NE(r.log.find("J5 0 package/src/direct/direct"), std::string::npos);
  }
  // A caller's buffer holding old text never counts as a found server.
  Rules(R"({"12": {"1-9": "a.local"}})");
  char server[128] = "stale.local";
  bool video = true;
  EXPECT_EQ(GetDirectServer(12, 50, server, sizeof server, &video), 0);
  EXPECT_STREQ(server, "");
}

}  // namespace
