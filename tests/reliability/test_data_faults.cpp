// Settings and per-flat accounts when the daemon is killed in the middle of
// writes and when their filesystems are full: a value comes back as the old or
// the new one, the accounts file always parses, and a full disk is refused
// without losing what was stored.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <sstream>
#include <thread>

#include "daemon.h"
#include "ornix.h"

namespace {

// Compact text with sorted keys of `member` ("a/b"; whole when empty) of a
// JSON text; "<none>" when there is no such member (or no reply at all).
std::string Pick(const std::string &text, const std::string &member = "") {
  json_t *root = json_loads(text.c_str(), JSON_DECODE_ANY, nullptr), *v = root;
  std::istringstream path(member);
  for (std::string key; v && std::getline(path, key, '/');) v = json_object_get(v, key.c_str());
  char *out = v ? json_dumps(v, JSON_ENCODE_ANY | JSON_COMPACT | JSON_SORT_KEYS) : nullptr;
  std::string result = out ? out : "<none>";
  free(out);
  json_decref(root);
  return result;
}

std::string Ask(Daemon &d, const char *method, std::optional<std::string> arg = {}, const std::string &member = "") {
  return method ? Pick(d.Call(method, arg).text.value_or(""), member) : "";
}

// The written values: setter, getter and where the getter reports the value.
const struct {
  const char *set, *get, *member;
} kKinds[] = {{"SetSos", "GetSos", "sosRoom"},
              {"SetDtmf", "GetDtmf", "1"},
              {"SetSipSettings", "GetSipSettings", "remote/port"},
              {"SetSipAccounts", "GetSipAccounts", ""}};

// Write number n: the value it sets (compact JSON) and its request.
std::pair<std::string, std::string> Nth(int n) {
  std::string s = std::to_string(n), v, list = "{";
  if (n % 4 == 0) return {v = "\"sos-" + s + "\"", "{\"sosRoom\":" + v + "}"};
  if (n % 4 == 1) return {v = std::string("\"") + "0123456789*#"[n % 12] + "\"", "{\"1\":" + v + "}"};
  if (n % 4 == 2) return {v = std::to_string(10000 + n), "{\"remote\":{\"port\":" + v + "}}"};
  for (int flat = 1; flat <= 200; ++flat) {  // every flat, five accounts each
    const std::string f = std::to_string(flat), a = "\"f" + f + "-" + s + "-";
    list += (flat > 1 ? ",\"" : "\"") + f + "\":[" + a + "0\"," + a + "1\"," + a + "2\"," + a + "3\"," + a + "4\"]";
  }
  return {Pick(list + "}"), list + "}"};
}

// Runs `sql` on the store's file: the first column of its last row as a
// number, 0 when there is no row, -1 on an error.
int Sql(const Daemon &d, const char *sql) {
  sqlite3 *db = nullptr;
  int value = 0;
  sqlite3_open(d.Path("/var/lib/ornix/store.db").c_str(), &db);
  auto row = [](void *v, int, char **col, char **) { return *static_cast<int *>(v) = atoi(col[0]), 0; };
  if (sqlite3_exec(db, sql, row, &value, nullptr) != SQLITE_OK) value = -1;
  sqlite3_close(db);
  return value;
}

// The journal starts over its cap: the restarts bring it back to its 20,000 records.
TEST(DataFaults, KilledDuringWritesKeepsEachValueOldOrNew) {
  Daemon d;
  d.config.files.push_back({"/oem/sip_accounts.conf", R"({"7":["701"]})"});
  ASSERT_TRUE(d.Setup());
  {
    ScopedEnv root("DORALIN_ROOT", d.Root());
    LogWriteMorvat(5, "test", 1, 0, "the journal's first record");
  }
  ASSERT_EQ(Sql(d, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20300) "
                   "INSERT INTO journal(time, level, code, source, line, text, pid) "
                   "SELECT 0, 3, 0, 'test', 1, 'old', 1 FROM n"), 0);
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  std::string acked[4], pending[4];
  for (int k = 0; k < 4; ++k) acked[k] = Ask(d, kKinds[k].get, {}, kKinds[k].member);
  std::mt19937 rng(20261206);
  std::uniform_int_distribution<int> delayMs(0, 900);  // below the restart a server change asks for
  int n = 0, cut = 0;
  for (int round = 0; round < 15; ++round) {
    std::thread killer([pid = d.Pid(), ms = delayMs(rng)] {
      std::this_thread::sleep_for(Millis(ms));
      kill(pid, SIGKILL);
    });
    for (int i = 0; i < 60; ++i, ++n) {  // the kill ends the stream long before
      std::string result = Ask(d, kKinds[n % 4].set, Nth(n).second, "result");
      if (result == "<none>") {  // killed: this one may or may not have been stored
        pending[n % 4] = Nth(n).first;
        ++n, ++cut;
        break;
      }
      ASSERT_EQ(result, "true") << Nth(n).second;
      acked[n % 4] = Nth(n).first;
    }
    killer.join();
    ASSERT_GE(d.WaitExit(15000), 0);
    EXPECT_EQ(Pick(ReadFile(d.Path("/oem/sip_accounts.conf")))[0], '{') << "round " << round;
    ASSERT_TRUE(d.Launch() && d.WaitStarted());
    for (int k = 0; k < 4; ++k) {
      std::string now = Ask(d, kKinds[k].get, {}, kKinds[k].member);
      EXPECT_TRUE(now == acked[k] || now == pending[k])
          << round << " " << kKinds[k].get << " " << now.substr(0, 60);
      acked[k] = now;
      pending[k].clear();
    }
  }
  EXPECT_TRUE(d.SanitizerReports().empty());
  const int journal = Sql(d, "SELECT count(*) FROM journal");
  EXPECT_LT(journal, 20000 + 256);  // cut at each start, and every 256 records
  printf("rounds 15, writes %d (%d cut by the kill), values checked 60, journal %d records\n", n, cut, journal);
}

// Unmounts lazily (open files do not keep it) when the test ends, whatever its outcome.
struct Unmount {
  std::string dir;
  ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
};

// Fills the filesystem holding `path` with one file of zeros.
void Fill(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  static const char block[4096] = {};
  for (size_t size = sizeof block, i = 0; size > 0 && i < 400000; ++i)  // 1.6 GB at most
    if (write(fd, block, size) != ssize_t(size)) size /= 2;
  close(fd);
}

TEST(DataFaults, FullDiskRefusesWritesAndKeepsStoredValues) {
  Daemon d;
  ASSERT_TRUE(d.Setup());
  if (mount("tmpfs", d.Path("/var/lib/ornix").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << strerror(errno);
  Unmount store{d.Path("/var/lib/ornix")}, oem{d.Path("/oem")};
  ASSERT_EQ(mount("tmpfs", oem.dir.c_str(), "tmpfs", 0, "size=64k"), 0);
  ScopedEnv root("DORALIN_ROOT", d.Root());  // the store as another service uses it
  for (int i = 0; i < 500; ++i) {  // many more writes than the filesystem could hold at once
    json_t *v = json_string((std::to_string(i) + std::string(90, 'x')).c_str());
    const bool stored = StoreSetVariable(nullptr, "doralin", "flat0", v);
    json_decref(v);
    ASSERT_TRUE(stored) << "write " << i;
  }
  const std::string accountsFile = d.Path("/oem/sip_accounts.conf");
  ASSERT_TRUE(WriteFile(accountsFile, R"({"7":["701"]})"));
  ASSERT_TRUE(d.Launch() && d.WaitStarted());

  const struct {
    const char *set, *arg, *get;
  } writes[] = {
      {"SetSipAccounts", R"({"12":["1201","1202"]})", "GetSipAccounts"},  // its file too
      {"SetSos", R"({"sosRoom":"sos-full"})", "GetSos"},
      {"SetDtmf", R"({"1":"#"})", "GetDtmf"},
      {"SetDoorHangupDelay", R"({"timeout":9,"sip":true})", "GetDoorHangupDelay"},
      {"SetAssistant", R"({"enable":false})", "GetAssistant"},
      {"SetGateSettings", R"({"flatNumberSize":3,"direct":{"mode":true,"rules":{"12":{"1-9":"127.0.0.1"}}}})",
       "GetGateSettings"},
      {"SetSipSettings", R"({"remote":{"domain":"127.0.0.1","port":5070}})", "GetSipSettings"}};
  // The store's own spare room goes too: its log is copied into the database
  // and cut to nothing, as any process using the store may do.
  for (int i = 0; i < 2; ++i) {
    Sql(d, "PRAGMA wal_checkpoint(TRUNCATE)");
    Fill(d.Path("/var/lib/ornix/filler" + std::to_string(i)));
  }
  Fill(d.Path("/oem/filler"));
  std::vector<std::string> before;
  for (auto &w : writes) before.push_back(Ask(d, w.get));
  for (size_t i = 0; i < std::size(writes); ++i) {
    EXPECT_EQ(Ask(d, writes[i].set, writes[i].arg, "result"), "false") << writes[i].set;
    EXPECT_EQ(Ask(d, writes[i].get), before[i]) << writes[i].get;
  }
  EXPECT_EQ(ReadFile(accountsFile), R"({"7":["701"]})");

  // Space again: the same writes go through and survive the restart that the
  // server change asks for.
  for (const char *filler : {"/var/lib/ornix/filler0", "/var/lib/ornix/filler1", "/oem/filler"})
    ASSERT_EQ(unlink(d.Path(filler).c_str()), 0);
  std::vector<std::string> after;
  for (auto &w : writes) {
    EXPECT_EQ(Ask(d, w.set, w.arg, "result"), "true") << w.set;
    after.push_back(Ask(d, w.get));
  }
  EXPECT_EQ(d.WaitExit(15000), 2);
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  for (size_t i = 1; i < std::size(writes); ++i) {
    EXPECT_NE(after[i], before[i]) << writes[i].get;
    EXPECT_EQ(Ask(d, writes[i].get), after[i]) << writes[i].get;
  }
  EXPECT_EQ(ReadFile(accountsFile), R"({"12":["1201","1202"],"7":["701"]})");
  EXPECT_TRUE(d.SanitizerReports().empty());
}

}  // namespace
