// Device services library: store, journal, log lines, text and file helpers,
// against real files under a temporary root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
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

std::string Var(const char *key) {
  char *v = StoreGetVar(nullptr, "doralin", key);
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

// Runs `body` with fd 2 sent to a file; returns what was written there.
template <typename F>
std::string CaptureStderr(const TempDir &dir, F body) {
  std::string path = dir.Path("stderr.txt");
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int saved = dup(2);
  dup2(file, 2);
  close(file);
  body();
  dup2(saved, 2);
  close(saved);
  return ReadFile(path);
}

struct JournalRow {
  int level, code;
  std::string source, text, detail;
};

std::vector<JournalRow> Journal(const std::string &root) {
  std::vector<JournalRow> rows;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2((root + "/var/lib/ornix/store.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT level, code, source, text, ifnull(detail,'-') FROM journal ORDER BY id", -1,
                       &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW)
      rows.push_back({sqlite3_column_int(st, 0), sqlite3_column_int(st, 1),
                      reinterpret_cast<const char *>(sqlite3_column_text(st, 2)),
                      reinterpret_cast<const char *>(sqlite3_column_text(st, 3)),
                      reinterpret_cast<const char *>(sqlite3_column_text(st, 4))});
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return rows;
}

}  // namespace

TEST(PlatformStore, RoundTripLegacyTextAndRootSwitch) {
  Root root;
  EXPECT_EQ(Var("port"), "<null>");  // no file yet

  EXPECT_TRUE(SetJson("port", "5070"));
  EXPECT_TRUE(SetJson("domain", "\"домофон.local\""));
  EXPECT_TRUE(SetJson("directRules", "{\"b\":[1,2],\"a\":{\"x\":\"y\"}}"));
  EXPECT_TRUE(SetJson("port", "5080"));  // overwrite
  for (auto [key, json] : {std::pair{"port", "5080"}, {"domain", "\"домофон.local\""},
                           {"directRules", "{\"a\":{\"x\":\"y\"},\"b\":[1,2]}"}})
    EXPECT_EQ(Text(StoreGetVariable(nullptr, "doralin", key)), json);
  // Text reads: strings without quotes, other values as JSON text.
  EXPECT_EQ(Var("domain"), "домофон.local");
  EXPECT_EQ(Var("port"), "5080");
  // Sections are separate.
  EXPECT_EQ(Text(StoreGetVariable(nullptr, "other", "port")), "<null>");

  // Legacy plain text, including text that is not JSON.
  EXPECT_TRUE(StoreSetVar(nullptr, "doralin", "doralin_server", "sip.example:5070"));
  EXPECT_TRUE(StoreSetVar(nullptr, "doralin", "dtmf_1", "\"#"));
  EXPECT_EQ(Var("doralin_server"), "sip.example:5070");
  EXPECT_EQ(Var("dtmf_1"), "\"#");
  EXPECT_EQ(Text(StoreGetVariable(nullptr, "doralin", "doralin_server")), "\"sip.example:5070\"");

  EXPECT_TRUE(StoreDeleteVariable(nullptr, "doralin", "port"));
  EXPECT_EQ(Var("port"), "<null>");
  EXPECT_FALSE(StoreSetVariable(nullptr, "doralin", "port", nullptr));
  EXPECT_FALSE(StoreSetVariable(nullptr, "doralin", "", json_true()));

  // The root is read at each call: another root is another store.
  {
    TempDir other("platform2");
    ScopedEnv env("DORALIN_ROOT", other.path());
    EXPECT_EQ(Var("domain"), "<null>");
    EXPECT_TRUE(SetJson("domain", "\"b\""));
  }
  EXPECT_EQ(Var("domain"), "домофон.local");
}

// The second writer of ConcurrentThreadsAndProcess: this same program started
// again with PLATFORM_STORE_CHILD set writes its keys and ends before any test.
[[maybe_unused]] const bool g_storeChild = [] {
  const char *prefix = getenv("PLATFORM_STORE_CHILD");
  if (!prefix) return false;
  for (int i = 0; i < 100; ++i) {
    json_t *v = json_integer(i);
    int ok = StoreSetVariable(nullptr, "doralin", (std::string(prefix) + std::to_string(i)).c_str(), v);
    json_decref(v);
    if (!ok) _exit(1);
  }
  _exit(0);
}();

TEST(PlatformStore, ConcurrentThreadsAndProcess) {
  Root root;
  ASSERT_TRUE(SetJson("shared", "0"));
  Process child;
  ProcessOptions options;
  options.env = {"PLATFORM_STORE_CHILD=child", "DORALIN_ROOT=" + root.dir.path()};
  ASSERT_TRUE(child.Start({"/proc/self/exe"}, options));
  std::atomic<int> failures{0}, torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        // A long value: a torn write would show as a shorter or mixed one.
        std::string value(200 + i, static_cast<char>('a' + t));
        json_t *v = json_string(value.c_str());
        if (!StoreSetVariable(nullptr, "doralin", ("t" + std::to_string(t) + "_" + std::to_string(i)).c_str(), v))
          ++failures;
        json_decref(v);
        v = json_string(value.c_str());
        if (!StoreSetVariable(nullptr, "doralin", "shared", v)) ++failures;
        json_decref(v);
        std::string seen = Var("shared");
        if (seen.size() < 200 || seen.find_first_not_of(seen[0]) != std::string::npos) ++torn;
      }
    });
  for (auto &th : threads) th.join();
  ASSERT_TRUE(child.Wait(Millis(60000)));
  EXPECT_EQ(child.ExitCode(), 0) << child.Stdout();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 100; i += 33)
      EXPECT_EQ(Var(("t" + std::to_string(t) + "_" + std::to_string(i)).c_str()), std::string(200 + i, 'a' + t));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(Var(("child" + std::to_string(i)).c_str()), std::to_string(i));
}

TEST(PlatformStore, UnwritableStoreFailsQuietly) {
  Root root;
  // The store's directory is taken by a plain file.
  ASSERT_TRUE(root.dir.Write("var/lib/ornix", "not a directory"));
  EXPECT_FALSE(SetJson("port", "5070"));
  EXPECT_FALSE(StoreSetVar(nullptr, "doralin", "dtmf_1", "1"));
  EXPECT_EQ(Var("port"), "<null>");
  EXPECT_EQ(Text(StoreGetVariable(nullptr, "doralin", "port")), "<null>");
  LogWriteMorvat(5, "x", 1, 0, "journal goes nowhere");  // must not fail or crash
}

TEST(PlatformLog, StderrLinesJournalAndLevels) {
  Root root;
  ScopedEnv copy("DORALIN_LOG_STDERR", "1");
  LogSetName("platform-test");
  LogSetLevel(3);
  std::string out = CaptureStderr(root.dir, [] {
    LogWrite(3, "package/src/sip/sip", 42, "registered %s:%d", "host", 5060);
    LogWrite(2, "package/src/sip/sip", 43, "below the level");
    errno = ENOENT;
    LogWrite(5, "a/b", 7, "open failed (%m)");
    LogWrite(4, "a/b", 8, "two\nlines");
    LogWriteMorvat(3, "package/main/talk", 9, MORVAT_TALK_STARTED, "[%lld] talk %u", 1700000000123LL, 12u);
    LogWriteMorvat2(3, "package/main/talk", 10, MORVAT_DOOR_DTMF, "[%lld] Open main door by DTMF", 5LL, 0,
                    "%s:%d", "1", 12);
    LogWriteMorvat2(3, "package/src/sip/sip", 11, MORVAT_SIP_REG_FAIL, "SIP registration failed (%s)",
                    "408 Timeout", 0, "%d", 408);
    LogWriteMorvat(1, "x", 12, 0, "trace not kept");
  });
  auto lines = SplitLines(out);
  ASSERT_EQ(lines.size(), 6u) << out;
  EXPECT_EQ(lines[0], "L3 package/src/sip/sip:42 registered host:5060");
  EXPECT_EQ(lines[1], std::string("L5 a/b:7 open failed (") + strerror(ENOENT) + ")");
  EXPECT_EQ(lines[2], "L4 a/b:8 two\\nlines");
  EXPECT_EQ(lines[3], "J3 701 package/main/talk:9 [1700000000123] talk 12");
  EXPECT_EQ(lines[4], "J3 106 package/main/talk:10 [5] Open main door by DTMF | 1:12");
  EXPECT_EQ(lines[5], "J3 301 package/src/sip/sip:11 SIP registration failed (408 Timeout) | 408");

  auto rows = Journal(root.dir.path());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].code, 701);
  EXPECT_EQ(rows[0].text, "[1700000000123] talk 12");
  EXPECT_EQ(rows[0].detail, "-");
  EXPECT_EQ(rows[1].source, "package/main/talk");
  EXPECT_EQ(rows[1].detail, "1:12");
  EXPECT_EQ(rows[2].detail, "408");

  // Trace level lets everything through; without the variable nothing is copied.
  LogSetLevel(1);
  {
    ScopedEnv off("DORALIN_LOG_STDERR", std::nullopt);
    EXPECT_EQ(CaptureStderr(root.dir, [] { LogWrite(5, "x", 1, "quiet"); }), "");
  }
  EXPECT_EQ(CaptureStderr(root.dir, [] { LogWrite(1, "x", 1, "trace"); }), "L1 x:1 trace\n");
  LogSetLevel(3);
}

TEST(PlatformLog, BootEnvironmentLevel) {
  Root root;
  EXPECT_EQ(UbootEnvGetLogLevel("doralin"), 3);  // no file
  ASSERT_TRUE(root.dir.Write("etc/fw_env", "bootdelay=1\nother_loglevel=5\ndoralin_loglevel=1\nbad_loglevel=9\n"));
  EXPECT_EQ(UbootEnvGetLogLevel("doralin"), 1);
  EXPECT_EQ(UbootEnvGetLogLevel("other"), 5);
  EXPECT_EQ(UbootEnvGetLogLevel("bad"), 3);
  EXPECT_EQ(UbootEnvGetLogLevel("missing"), 3);
}

TEST(PlatformUtils, Utf8To1251) {
  // "Привет, мир" in Windows-1251.
  std::string source = "Привет, мир";
  char buffer[100];
  int n = UtilsConvertUtf8StrIn1251(source.data(), buffer, sizeof buffer);
  const std::string expected = "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0";
  ASSERT_EQ(n, 11);
  EXPECT_EQ(std::string(buffer, n), expected);
  EXPECT_EQ(source.substr(0, n), expected);  // callers copy from the source text

  // Ёё, the euro sign and a character 1251 lacks (replaced), invalid bytes (dropped).
  std::string mixed = "Ёё€\xF0\x9F\x98\x80\xFFok";
  n = UtilsConvertUtf8StrIn1251(mixed.data(), buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), "\xA8\xB8\x88?ok");

  // A small buffer keeps whole characters and its terminating zero.
  std::string longer = "ДДДДДД";
  char small[4];
  n = UtilsConvertUtf8StrIn1251(longer.data(), small, sizeof small);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(std::string(small), "\xC4\xC4\xC4");
  EXPECT_EQ(longer.substr(0, 3), "\xC4\xC4\xC4");

  // A 100-byte buffer never takes more than 99 bytes.
  std::string many(300, 'x');
  n = UtilsConvertUtf8StrIn1251(many.data(), buffer, sizeof buffer);
  EXPECT_EQ(n, 99);
  std::string empty;
  EXPECT_EQ(UtilsConvertUtf8StrIn1251(empty.data(), buffer, sizeof buffer), 0);
  EXPECT_EQ(UtilsConvertUtf8StrIn1251(nullptr, buffer, sizeof buffer), 0);
  EXPECT_EQ(UtilsConvertUtf8StrIn1251(many.data(), buffer, 1), 0);
}

TEST(PlatformUtils, AddressPatterns) {
  const char *patterns[] = {".*@[a-zA-Z0-9.-]*:[0-9]{1,}", ".*@[a-zA-Z0-9.-]{1,}"};
  int index = 7;
  for (auto [text, at] : {std::pair{"100@10.0.0.7:5080", 0}, {"100@10.0.0.7", 1}, {"100@host:abc", 1}, {"100", -1}}) {
    EXPECT_EQ(UtilsCheckMatches(patterns, 2, text, &index), at >= 0) << text;
    EXPECT_EQ(index, at) << text;
  }
  const char *broken[] = {"(", "^a+$"};  // a pattern that does not compile is skipped
  EXPECT_TRUE(UtilsCheckMatches(broken, 2, "aaa", &index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(UtilsCheckMatches(patterns, 2, nullptr, &index));
}

TEST(PlatformUtils, MediaDirsFile) {
  Root root;
  const MediaInfoDir *entries = nullptr;
  EXPECT_EQ(GetMediaInfoDirs(&entries), 0);
  ASSERT_TRUE(root.dir.Write("etc/ornix/media_dirs",
                             "# type directory\n1 /oem/media/welcome/\n\n  2\t/oem/media/key_open  \n"
                             "x /bad\n3\n9 /" + std::string(300, 'd') + "\n"));
  ASSERT_EQ(GetMediaInfoDirs(&entries), 2);
  EXPECT_EQ(entries[0].type, 1);
  EXPECT_EQ(entries[0].dir, root.dir.path() + "/oem/media/welcome/");
  EXPECT_EQ(entries[1].type, 2);
  const std::string keyOpen = root.dir.path() + "/oem/media/key_open/";
  EXPECT_EQ(entries[1].dir, keyOpen);
  // An array handed out earlier stays readable after the file changes.
  const MediaInfoDir *old = entries;
  ASSERT_TRUE(root.dir.Write("etc/ornix/media_dirs", "9 /a/\n"));
  ASSERT_EQ(GetMediaInfoDirs(&entries), 1);
  EXPECT_EQ(entries[0].dir, root.dir.path() + "/a/");
  EXPECT_EQ(old[1].dir, keyOpen);
}

TEST(PlatformUtils, DatagramSockets) {
  Root root;
  int a = CreateUnixDgramSocket("/tmp/offline.sock", 0);
  int b = CreateUnixDgramSocket("/tmp/streamer.sock", SOCK_NONBLOCK);
  ASSERT_GE(a, 1);
  ASSERT_GE(b, 1);
  EXPECT_EQ(access(root.dir.Path("tmp/offline.sock").c_str(), F_OK), 0);
  EXPECT_EQ(SendToUnixDgramSocket(a, "pcm", 3, "/tmp/streamer.sock", 0), 3);
  char got[8] = {};
  EXPECT_EQ(recv(b, got, sizeof got, 0), 3);
  EXPECT_STREQ(got, "pcm");
  EXPECT_EQ(recv(b, got, sizeof got, 0), -1);  // non-blocking and empty
  EXPECT_LT(SendToUnixDgramSocket(a, "x", 1, "/tmp/nobody.sock", 0), 0);
  EXPECT_LT(CreateUnixDgramSocket(("/" + std::string(120, 'p')).c_str(), 0), 1);  // never cut short
  // A stale socket file from an earlier run does not stop a new bind.
  DestroyUnixSocket(b);
  EXPECT_NE(access(root.dir.Path("tmp/streamer.sock").c_str(), F_OK), 0);
  int again = CreateUnixDgramSocket("/tmp/offline.sock", 0);
  EXPECT_GE(again, 1);
  DestroyUnixSocket(again);
  close(a);
}
