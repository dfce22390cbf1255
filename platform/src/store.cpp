// Settings store and event journal: one SQLite database under the root.
#define LOG_MODULE "platform/src/store"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "ornix.h"

namespace {

// Value kinds of the variables table.
enum { KIND_JSON = 0, KIND_TEXT = 1 };

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS variables("
    " section TEXT NOT NULL, key TEXT NOT NULL, kind INTEGER NOT NULL, value TEXT NOT NULL,"
    " updated INTEGER NOT NULL, PRIMARY KEY(section, key));"
    "CREATE TABLE IF NOT EXISTS journal("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, level INTEGER NOT NULL,"
    " code INTEGER NOT NULL, source TEXT NOT NULL, line INTEGER NOT NULL, text TEXT NOT NULL,"
    " detail TEXT, pid INTEGER NOT NULL);";

// Keeps the newest journal records only, so a long-lived panel never fills
// its disk.
const char *kTrimJournal = "DELETE FROM journal WHERE id <= (SELECT max(id) FROM journal) - 20000";

std::string StorePath() { return RootPath("/var/lib/ornix/store.db"); }

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One connection per process, reopened when the root changes or the file is
// replaced; the mutex serialises this process's threads, WAL and the busy
// timeout take care of other processes.
struct Store {
  std::mutex mutex;
  sqlite3 *db = nullptr;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  int synchronous = -1;
};

// Settings are synced to disk with every write; journal records only at
// WAL checkpoints (a power cut may lose the newest records, never corrupt).
void SyncMode(Store &s, int mode) {
  if (s.synchronous == mode) return;
  sqlite3_exec(s.db, mode == 2 ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  s.synchronous = mode;
}

Store &TheStore() {
  static Store *store = new Store;  // never destroyed: logging may run during exit
  return *store;
}

void CloseLocked(Store &s) {
  if (s.db) sqlite3_close_v2(s.db);
  s.db = nullptr;
  s.path.clear();
}

// Null when the database cannot be used. `create`: make the file (and its
// directory) when missing.
sqlite3 *OpenLocked(Store &s, bool create) {
  std::string path = StorePath();
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  if (s.db && (path != s.path || !exists || st.st_dev != s.dev || st.st_ino != s.ino)) CloseLocked(s);
  if (s.db) return s.db;
  if (!exists && !create) return nullptr;
  if (!exists) {
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && !ornix::MakeDirs(path.substr(0, slash))) return nullptr;
  }
  sqlite3 *db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 3000);
  // WAL: readers never block the writer and a torn write never shows.
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  // A small partition must not fill up with an ever-growing WAL: checkpoint
  // early and cut the file back to a few pages each time it starts over.
  sqlite3_exec(db, "PRAGMA wal_autocheckpoint=64; PRAGMA journal_size_limit=65536", nullptr, nullptr,
               nullptr);
  if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK || stat(path.c_str(), &st) != 0) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  // A process that restarts often never reaches the trim of the 256th insert.
  sqlite3_exec(db, kTrimJournal, nullptr, nullptr, nullptr);
  s.db = db;
  s.synchronous = -1;
  s.path = path;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  return db;
}

bool ValidName(const char *section, const char *key) { return section && key && *key; }

// Kind and text of a stored value; false when missing or unreadable.
bool Read(const char *section, const char *key, int *kind, std::string *value) {
  if (!ValidName(section, key)) return false;
  Store &s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  sqlite3 *db = OpenLocked(s, false);
  if (!db) return false;
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT kind, value FROM variables WHERE section=?1 AND key=?2", -1, &stmt,
                         nullptr) != SQLITE_OK)
    return false;
  sqlite3_bind_text(stmt, 1, section, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, key, -1, SQLITE_TRANSIENT);
  bool found = false;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    *kind = sqlite3_column_int(stmt, 0);
    const unsigned char *text = sqlite3_column_text(stmt, 1);
    *value = text ? reinterpret_cast<const char *>(text) : "";
    found = true;
  }
  sqlite3_finalize(stmt);
  return found;
}

// One settings statement on `db`; on a full disk the WAL is copied into the
// database and cut to nothing, which frees its space, and the statement runs once more.
bool Step(sqlite3 *db, sqlite3_stmt *stmt) {
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_FULL) {
    sqlite3_reset(stmt);
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    rc = sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

// One statement, one implicit synced transaction: the old or the new value, never half.
template <typename Bind>
int Change(const char *section, const char *key, const char *sql, Bind bindRest) {
  if (!ValidName(section, key)) return 0;
  Store &s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  sqlite3 *db = OpenLocked(s, true);
  if (!db) return 0;
  SyncMode(s, 2);
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) return 0;
  sqlite3_bind_text(stmt, 1, section, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, key, -1, SQLITE_TRANSIENT);
  bindRest(stmt);
  return Step(db, stmt) ? 1 : 0;
}

int Write(const char *section, const char *key, int kind, const std::string &value) {
  return Change(section, key,
                "INSERT INTO variables(section, key, kind, value, updated) VALUES(?1, ?2, ?3, ?4, ?5)"
                " ON CONFLICT(section, key) DO UPDATE SET kind=excluded.kind,"
                " value=excluded.value, updated=excluded.updated",
                [&](sqlite3_stmt *stmt) {
                  sqlite3_bind_int(stmt, 3, kind);
                  sqlite3_bind_text(stmt, 4, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
                  sqlite3_bind_int64(stmt, 5, NowMs());
                });
}

}  // namespace

json_t *StoreGetVariable(DBusConnection *, const char *section, const char *key) {
  int kind = 0;
  std::string value;
  if (!Read(section, key, &kind, &value)) return nullptr;
  if (kind == KIND_TEXT) return json_stringn(value.data(), value.size());
  return json_loadb(value.data(), value.size(), JSON_DECODE_ANY, nullptr);
}

char *StoreGetVar(DBusConnection *, const char *section, const char *key) {
  int kind = 0;
  std::string value;
  if (!Read(section, key, &kind, &value)) return nullptr;
  if (kind == KIND_JSON) {
    JsonPtr json(json_loadb(value.data(), value.size(), JSON_DECODE_ANY, nullptr));
    if (json_is_string(json.get())) value.assign(json_string_value(json.get()), json_string_length(json.get()));
  }
  return strdup(value.c_str());
}

int StoreSetVariable(DBusConnection *, const char *section, const char *key, json_t *json) {
  if (!json) return 0;
  char *text = json_dumps(json, JSON_ENCODE_ANY | JSON_COMPACT | JSON_SORT_KEYS);
  if (!text) return 0;
  std::string value(text);
  free(text);
  return Write(section, key, KIND_JSON, value);
}

int StoreSetVar(DBusConnection *, const char *section, const char *key, const char *text) {
  if (!text) return 0;
  return Write(section, key, KIND_TEXT, text);
}

int StoreDeleteVariable(DBusConnection *, const char *section, const char *key) {
  return Change(section, key, "DELETE FROM variables WHERE section=?1 AND key=?2", [](sqlite3_stmt *) {});
}

namespace ornix {

void JournalInsert(int level, const char *file, int line, int code, const std::string &text,
                   const std::string *detail) {
  Store &s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  sqlite3 *db = OpenLocked(s, true);
  if (!db) return;  // the journal is best effort: logging never fails the caller
  SyncMode(s, 1);
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "INSERT INTO journal(time, level, code, source, line, text, detail, pid)"
                         " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                         -1, &stmt, nullptr) != SQLITE_OK)
    return;
  sqlite3_bind_int64(stmt, 1, NowMs());
  sqlite3_bind_int(stmt, 2, level);
  sqlite3_bind_int(stmt, 3, code);
  sqlite3_bind_text(stmt, 4, file, -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(stmt, 5, line);
  sqlite3_bind_text(stmt, 6, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (detail)
    sqlite3_bind_text(stmt, 7, detail->data(), static_cast<int>(detail->size()), SQLITE_TRANSIENT);
  else
    sqlite3_bind_null(stmt, 7);
  sqlite3_bind_int(stmt, 8, static_cast<int>(getpid()));
  sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  static unsigned inserts = 0;
  if (++inserts % 256 == 0) sqlite3_exec(db, kTrimJournal, nullptr, nullptr, nullptr);
}

}  // namespace ornix

namespace {

// One journal row as a JSON object.
json_t *JournalRecord(sqlite3_stmt *stmt) {
  auto text = [&](int column) { return reinterpret_cast<const char *>(sqlite3_column_text(stmt, column)); };
  json_t *record = json_pack("{s:I, s:i, s:i, s:s, s:i, s:s, s:i}", "time", json_int_t(sqlite3_column_int64(stmt, 0)),
                             "level", sqlite3_column_int(stmt, 1), "code", sqlite3_column_int(stmt, 2), "source",
                             text(3) ? text(3) : "", "line", sqlite3_column_int(stmt, 4), "text",
                             text(5) ? text(5) : "", "pid", sqlite3_column_int(stmt, 7));
  if (record && text(6)) json_object_set_new(record, "detail", json_string(text(6)));
  return record;
}

}  // namespace

json_t *JournalRead(int64_t sinceMs, int code, int limit) {
  Store &s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  sqlite3 *db = OpenLocked(s, false);
  if (!db) return nullptr;
  sqlite3_stmt *stmt = nullptr;
  // The newest `limit` matching records, given oldest first.
  if (sqlite3_prepare_v2(db,
                         "SELECT time, level, code, source, line, text, detail, pid FROM"
                         " (SELECT * FROM journal WHERE time >= ?1 AND (?2 < 0 OR code = ?2)"
                         "  ORDER BY id DESC LIMIT ?3) ORDER BY id",
                         -1, &stmt, nullptr) != SQLITE_OK)
    return nullptr;
  sqlite3_bind_int64(stmt, 1, sinceMs);
  sqlite3_bind_int(stmt, 2, code);
  sqlite3_bind_int(stmt, 3, limit > 0 ? limit : -1);
  JsonPtr records(json_array());
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) json_array_append_new(records.get(), JournalRecord(stmt));
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE ? records.release() : nullptr;
}
