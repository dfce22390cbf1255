// Direct dialing rules read from a real store.
#include <gtest/gtest.h>

#include <string>

#include "direct/direct.h"
#include "ornix.h"
#include "process.h"

TEST(Direct, RulesPickTheServerAndHouseVideo) {
  TempDir root{"doralin-direct"};
  ScopedEnv rootEnv{"DORALIN_ROOT", root.path()};
  LogSetLevel(1);  // the trace lines format the matched range too
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
    if (c.rules) {
      json_t *v = json_loads(c.rules, JSON_DECODE_ANY, nullptr);
      ASSERT_TRUE(v && StoreSetVariable(nullptr, "doralin", "directRules", v));
      json_decref(v);
    }
    char server[128] = "stale.local";  // old text in the buffer never counts as a found server
    bool video = true;
    EXPECT_EQ(GetDirectServer(c.house, c.apartment, server, sizeof server, &video), *c.server != '\0');
    EXPECT_STREQ(server, c.server);
    EXPECT_EQ(video, c.video);
  }
}
