// Device services library: store, journal, log lines, text and file helpers,
// against real files under a temporary root.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ornix.h"
#include "process.h"

namespace {

struct Root {
  TempDir dir{"platform"};
  ScopedEnv env{"DORALIN_ROOT", dir.path()};
};

std::string Text(json_t *json) {
  char *s = json ? json_dumps(json, JSON_ENCODE_ANY | JSON_COMPACT | JSON_SORT_KEYS) : nullptr;
  std::string out = s ? s : "<null>";
  free(s);
  json_decref(json);
  return out;
}

std::string Var(const std::string &key) {
  char *v = StoreGetVar(nullptr, "doralin", key.c_str());
  std::string out = v ? v : "<null>";
  free(v);
  return out;
}

bool SetJson(const char *key, const char *json) {
  json_t *value = json_loads(json, JSON_DECODE_ANY, nullptr);
  int ok = StoreSetVariable(nullptr, "doralin", key, value);
  json_decref(value);
  return ok != 0;
}

// Writes (unless only checking) 100 long values under `prefix` and reads each
// back: the count of failed, lost or torn writes and failed reads.
int Keys(const std::string &prefix, bool write = true) {
  int bad = 0;
  for (int i = 0; i < 100; ++i) {
    const std::string key = prefix + std::to_string(i), value = key + std::string(200 + i, 'v');
    json_t *v = json_string(value.c_str());
    bad += (write && !StoreSetVariable(nullptr, "doralin", key.c_str(), v)) || Var(key) != value;
    json_decref(v);
  }
  return bad;
}

}  // namespace

TEST(PlatformStore, RoundTripLegacyTextAndUnwritableStore) {
  Root root;
  EXPECT_EQ(Var("port"), "<null>");  // no file yet
  const std::pair<const char *, const char *> values[] = {
      {"port", "5080"}, {"domain", "\"домофон.local\""}, {"directRules", "{\"a\":{\"x\":\"y\"},\"b\":[1,2]}"}};
  for (auto [key, json] : values) EXPECT_TRUE(SetJson(key, json));
  for (auto [key, json] : values) EXPECT_EQ(Text(StoreGetVariable(nullptr, "doralin", key)), json);
  EXPECT_EQ(Text(StoreGetVariable(nullptr, "other", "port")), "<null>");  // sections are separate

  // Legacy plain text, including text that is not JSON.
  EXPECT_TRUE(StoreSetVar(nullptr, "doralin", "doralin_server", "sip.example:5070"));
  EXPECT_TRUE(StoreSetVar(nullptr, "doralin", "dtmf_1", "\"#"));
  EXPECT_EQ(Var("dtmf_1"), "\"#");
  EXPECT_EQ(Text(StoreGetVariable(nullptr, "doralin", "doralin_server")), "\"sip.example:5070\"");

  EXPECT_TRUE(StoreDeleteVariable(nullptr, "doralin", "port"));
  EXPECT_EQ(Var("port"), "<null>");
  EXPECT_FALSE(StoreSetVariable(nullptr, "doralin", "port", nullptr));
  EXPECT_FALSE(StoreSetVariable(nullptr, "doralin", "", json_true()));

  // Another root whose store directory is taken by a plain file: writes fail, reads find nothing.
  Root broken;
  ASSERT_TRUE(broken.dir.Write("var/lib/ornix", "not a directory"));
  EXPECT_FALSE(SetJson("port", "5070"));
  EXPECT_FALSE(StoreSetVar(nullptr, "doralin", "dtmf_1", "1"));
  EXPECT_EQ(Text(StoreGetVariable(nullptr, "doralin", "port")), "<null>");
  LogWriteMorvat(5, "x", 1, 0, "journal goes nowhere");  // must not fail or crash
}

// The second writer of ConcurrentThreadsAndProcess: this same program started
// again with PLATFORM_STORE_CHILD set writes its keys and ends before any test.
[[maybe_unused]] const bool g_storeChild = [] {
  if (const char *prefix = getenv("PLATFORM_STORE_CHILD")) _exit(Keys(prefix) ? 1 : 0);
  return false;
}();

TEST(PlatformStore, ConcurrentThreadsAndProcess) {
  Root root;
  Process child;
  ProcessOptions options;
  options.env = {"PLATFORM_STORE_CHILD=child", "DORALIN_ROOT=" + root.dir.path()};
  ASSERT_TRUE(child.Start({"/proc/self/exe"}, options));
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { bad += Keys("t" + std::to_string(t) + "_"); });
  for (auto &th : threads) th.join();
  ASSERT_TRUE(child.Wait(Millis(60000)));
  EXPECT_EQ(child.ExitCode(), 0) << child.Stdout();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Keys("child", false), 0);
}

TEST(PlatformLog, StderrLinesJournalLevelsAndBootEnvironment) {
  Root root;
  ScopedEnv copy("DORALIN_LOG_STDERR", "1");
  LogSetLevel(3);
  testing::internal::CaptureStderr();
  LogWrite(3, "package/src/sip/sip", 42, "registered %s:%d", "host", 5060);
  LogWrite(2, "package/src/sip/sip", 43, "below the level");
  errno = ENOENT;
  LogWrite(5, "a/b", 7, "open failed (%m)");
  LogWrite(4, "a/b", 8, "two\nlines");
  LogWriteMorvat(3, "package/main/talk", 9, MORVAT_TALK_STARTED, "[%lld] talk %u", 1700000000123LL, 12u);
  LogWriteMorvat2(3, "package/main/talk", 10, MORVAT_DOOR_DTMF, "[%lld] Open main door by DTMF", 5LL, 0, "%s:%d",
                  "1", 12);
  LogWriteMorvat(1, "x", 12, 0, "trace not kept");
  EXPECT_EQ(SplitLines(testing::internal::GetCapturedStderr()),
            (std::vector<std::string>{"L3 package/src/sip/sip:42 registered host:5060",
                                      std::string("L5 a/b:7 open failed (") + strerror(ENOENT) + ")",
                                      "L4 a/b:8 two\\nlines", "J3 701 package/main/talk:9 [1700000000123] talk 12",
                                      "J3 106 package/main/talk:10 [5] Open main door by DTMF | 1:12"}));
  // The journal's rows, oldest first: no trace record, the detail in its own column.
  sqlite3 *db = nullptr;
  sqlite3_stmt *rows = nullptr;
  ASSERT_EQ(sqlite3_open_v2(root.dir.Path("var/lib/ornix/store.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_prepare_v2(db, "SELECT group_concat(level||' '||code||' '||source||' '||text||' '||ifnull(detail,'-'), '|') "
                     "FROM (SELECT * FROM journal ORDER BY id)", -1, &rows, nullptr);
  ASSERT_EQ(sqlite3_step(rows), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(rows, 0)),
               "3 701 package/main/talk [1700000000123] talk 12 -|3 106 package/main/talk [5] Open main door by DTMF 1:12");
  sqlite3_finalize(rows);
  sqlite3_close(db);

  EXPECT_EQ(UbootEnvGetLogLevel("doralin"), 3);  // no file
  ASSERT_TRUE(root.dir.Write("etc/fw_env", "bootdelay=1\nother_loglevel=5\ndoralin_loglevel=1\nbad_loglevel=9\n"));
  for (auto [name, level] : {std::pair{"doralin", 1}, {"other", 5}, {"bad", 3}, {"missing", 3}})
    EXPECT_EQ(UbootEnvGetLogLevel(name), level) << name;
}

TEST(PlatformUtils, Utf8To1251AndPatterns) {
  const struct {
    std::string in;
    int size;
    std::string out;
  } cases[] = {
      // Ёё, the euro sign, a character 1251 lacks (replaced), an invalid byte (dropped).
      {"Ёё€\xF0\x9F\x98\x80\xFFok", 100, "\xA8\xB8\x88?ok"},
      {"ДДДДДД", 4, "\xC4\xC4\xC4"},  // whole characters and the terminating zero
      {std::string(300, 'x'), 100, std::string(99, 'x')},
      {"x", 1, ""}};
  for (auto c : cases) {
    char buffer[101];
    memset(buffer, '#', sizeof buffer);
    int n = UtilsConvertUtf8StrIn1251(c.in.data(), buffer, c.size);
    EXPECT_EQ(n, static_cast<int>(c.out.size())) << c.out;
    EXPECT_EQ(std::string(buffer), c.out);
    EXPECT_EQ(buffer[c.size], '#');  // nothing written past the size given
    EXPECT_EQ(c.in.substr(0, n), c.out);  // callers copy from the source text
  }
  char buffer[8];
  EXPECT_EQ(UtilsConvertUtf8StrIn1251(nullptr, buffer, sizeof buffer), 0);

  // The service call's own patterns are checked with its addresses; here a
  // pattern that does not compile is skipped.
  const char *broken[] = {"(", "^a+$"};
  int index = 7;
  EXPECT_TRUE(UtilsCheckMatches(broken, 2, "aaa", &index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(UtilsCheckMatches(broken, 2, nullptr, &index));
}

TEST(PlatformUtils, MediaDirsFileAndSocketPath) {
  Root root;
  const MediaInfoDir *entries = nullptr, *old = nullptr;
  EXPECT_EQ(GetMediaInfoDirs(&entries), 0);
  ASSERT_TRUE(root.dir.Write("etc/ornix/media_dirs",
                             "# type directory\n1 /oem/media/welcome/\n\n  2\t/oem/media/key_open  \nx /bad\n3\n9 /" +
                                 std::string(300, 'd') + "\n"));
  ASSERT_EQ(GetMediaInfoDirs(&old), 2);
  const std::string keyOpen = root.dir.path() + "/oem/media/key_open/";
  EXPECT_EQ(old[1].type, 2);
  EXPECT_EQ(old[1].dir, keyOpen);
  // An array handed out earlier stays readable after the file changes.
  ASSERT_TRUE(root.dir.Write("etc/ornix/media_dirs", "9 /a/\n"));
  ASSERT_EQ(GetMediaInfoDirs(&entries), 1);  // a new list: the phrases test checks its content
  EXPECT_EQ(old[1].dir, keyOpen);

  // Binding over a file a killed daemon left and sending are checked by the daemon's restarts and playback.
  EXPECT_LT(CreateUnixDgramSocket(("/" + std::string(120, 'p')).c_str(), 0), 1);  // never cut short
}
