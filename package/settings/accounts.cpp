#define LOG_MODULE "package/src/config/accounts"
#include "settings/accounts.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "context/context.h"
#include "ornix.h"
#include "settings/settings.h"

namespace {

const char *const kInvalidList = "Неверный формат JSON со списком SIP аккаунтов";
constexpr int kMaxFlatAccounts = 5;
constexpr int kMaxAccountLength = 30;

// The list: flat key (as the request spelled it) -> the flat's accounts, each
// packed as a length byte and its bytes. Up to 9999 flats of five accounts
// stay within a few megabytes this way, where JSON objects took several
// times more. Lookups copy what they need under `listLock`; changes are
// made in place, under `listLock` too, and only once the file holds them.
// Setters run one at a time (`writeLock`), so a setter may read the list
// without `listLock` while it writes the file.
using FlatList = std::map<std::string, std::string>;
std::mutex writeLock;
std::mutex listLock;
FlatList &accounts = *new FlatList;  // never destroyed: lookups may outlive exit

std::string AccountsPath() {
  char path[128];
  snprintf(path, sizeof path, "/oem/%s.conf", "sip_accounts");
  return RootPath(path);
}

// Packs a JSON array of strings; false when it holds anything else.
bool Pack(json_t *array, std::string *out) {
  out->clear();
  if (!json_is_array(array)) return false;
  size_t i;
  json_t *acc;
  json_array_foreach(array, i, acc) {
    if (!json_is_string(acc) || json_string_length(acc) > 255) return false;
    out->push_back(char(json_string_length(acc)));
    out->append(json_string_value(acc), json_string_length(acc));
  }
  return true;
}

json_t *Unpack(const std::string &packed) {
  json_t *array = json_array();
  for (size_t at = 0; array && at < packed.size(); at += 1 + size_t((unsigned char)packed[at]))
    json_array_append_new(array, json_stringn(packed.data() + at + 1, (unsigned char)packed[at]));
  return array;
}

size_t CountPacked(const std::string &packed) {
  size_t n = 0;
  for (size_t at = 0; at < packed.size(); at += 1 + size_t((unsigned char)packed[at])) ++n;
  return n;
}

// The flat's packed accounts, looked up with the key the lookups build.
bool FindFlat(unsigned flat, std::string *packed) {
  char key[16];
  snprintf(key, sizeof key, "%u", flat);
  std::lock_guard<std::mutex> lock(listLock);
  auto it = accounts.find(key);
  if (it == accounts.end()) return false;
  *packed = it->second;
  return true;
}

bool WriteText(FILE *file, json_t *value) {
  char *text = value ? json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr;
  bool ok = text && fputs(text, file) >= 0;
  free(text);
  json_decref(value);
  return ok;
}

// Writes the list as one JSON object with sorted keys, flat by flat, with
// `changes` (key -> packed, or null: removed) merged in, so that no copy of
// the whole list or of its text is ever made.
bool WriteList(FILE *file, const std::map<std::string, const std::string *> &changes) {
  bool ok = fputc('{', file) != EOF, first = true;
  auto old = accounts.begin();
  auto change = changes.begin();
  while (ok && (old != accounts.end() || change != changes.end())) {
    const std::string *key, *packed;
    if (change == changes.end() || (old != accounts.end() && old->first < change->first)) {
      key = &old->first, packed = &old->second;
      ++old;
    } else {
      if (old != accounts.end() && old->first == change->first) ++old;
      key = &change->first, packed = change->second;
      ++change;
      if (!packed) continue;
    }
    ok = (first || fputc(',', file) != EOF) && WriteText(file, json_stringn(key->data(), key->size())) &&
         fputc(':', file) != EOF && WriteText(file, Unpack(*packed));
    first = false;
  }
  return ok && fputc('}', file) != EOF;
}

// The new content goes to a temporary file that replaces the old one only
// once it is completely on disk, so a crash or a full disk never leaves a
// half-written list behind.
bool WriteAccountsFile(const std::map<std::string, const std::string *> &changes) {
  std::string path = AccountsPath();
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FILE *file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (fd >= 0 && !file) close(fd);
  bool ok = file != nullptr;
  if (ok) {
    ok = WriteList(file, changes) && fflush(file) == 0 && fsync(fileno(file)) == 0;
    ok = (fclose(file) == 0) && ok;
  }
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    LOG(5, "Accounts file %s not written: %s", path.c_str(), strerror(errno));
    if (fd >= 0) unlink(tmp.c_str());
    return false;
  }
  std::string dir = path.substr(0, path.rfind('/') + 1);
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

// Writes the list with `changes` to the file, and only then takes them into
// memory: a failure is logged (both logs), gives false and changes nothing.
bool SaveChanges(const std::map<std::string, const std::string *> &changes) {
  if (!WriteAccountsFile(changes)) {
    LOG_BOTH(5, "Ошибка сохранения SIP аккаунтов");
    return false;
  }
  std::lock_guard<std::mutex> lock(listLock);
  for (const auto &[key, packed] : changes) {
    if (packed) accounts[key] = *packed;
    else accounts.erase(key);
  }
  return true;
}

// One member of a "SetSipAccounts" request; logs its own message on failure.
bool ValidFlatMember(const char *key, json_t *value) {
  if (ParseLeadingInt(key) == 0) {
    LOG_BOTH(5, "Номер квартиры должен быть строковым представлением числа: %s", key);
    return false;
  }
  if (!json_is_array(value)) {
    LOG_BOTH(5, "Список аккаунтов для квартиры %s не является массивом", key);
    return false;
  }
  int size = (int)json_array_size(value);
  if (size > kMaxFlatAccounts) {
    LOG_BOTH(5,
             "Максимум аккаунтов доступных для сохранения на одну квартиру: %d. Для "
             "квартиры %s задано %d",
             kMaxFlatAccounts, key, size);
    return false;
  }
  for (int i = 0; i < size; i++) {
    json_t *acc = json_array_get(value, (size_t)i);
    if (!json_is_string(acc)) {
      LOG_BOTH(5, "Список аккаунтов для квартиры %s должен состоять из строк", key);
      return false;
    }
    if (json_string_length(acc) > (size_t)kMaxAccountLength) {
      LOG_BOTH(5, "Длина поля sip аккаунта не должна быть больше %d (Квартира %s)",
               kMaxAccountLength, key);
      return false;
    }
    for (int j = 0; j < i; j++) {
      if (json_equal(acc, json_array_get(value, (size_t)j))) {
        LOG_BOTH(5, "Список аккаунтов для квартиры %s содержит дубликаты", key);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void LoadAccounts() {
  std::lock_guard<std::mutex> turn(writeLock);
  std::string path = AccountsPath();
  json_error_t error;
  JsonPtr list(json_load_file(path.c_str(), 0, &error));
  if (!json_is_object(list.get())) {
    if (access(path.c_str(), F_OK) == 0) {
      // Kept aside: the next save would otherwise overwrite it for good.
      std::string bad = path + ".bad";
      LOG(5, "Accounts file %s is not a JSON object (%s), moved to %s", path.c_str(),
          list ? "wrong type" : error.text, bad.c_str());
      if (rename(path.c_str(), bad.c_str()) != 0)
        LOG(5, "Accounts file %s not moved: %s", path.c_str(), strerror(errno));
    }
    list.reset(json_object());
  }
  if (LogGetLevel() <= 1) {
    char *text = json_dumps(list.get(), JSON_INDENT(4) | JSON_SORT_KEYS);
    LOG(1, "Loaded accounts list: \n%s", text ? text : "");
    free(text);
  }
  FlatList loaded;
  const char *key;
  json_t *value;
  std::string packed;
  json_object_foreach(list.get(), key, value) {
    if (Pack(value, &packed)) loaded.emplace(key, packed);
    else LOG(5, "Accounts of flat %s are not a list of accounts, left out", key);
  }
  list.reset();
  {
    std::lock_guard<std::mutex> lock(listLock);
    accounts.swap(loaded);
  }
  loaded.clear();
  // The file's JSON objects are gone: give their pages back.
  malloc_trim(0);
}

void FreeAccounts() {
  FlatList gone;
  std::lock_guard<std::mutex> lock(listLock);
  accounts.swap(gone);
}

json_t *AccountsSnapshot() {
  json_t *list = json_object();
  std::lock_guard<std::mutex> lock(listLock);
  for (const auto &[key, packed] : accounts) json_object_set_new(list, key.c_str(), Unpack(packed));
  return list;
}

int CountFlatAccounts(unsigned flat) {
  std::string packed;
  return FindFlat(flat, &packed) ? int(CountPacked(packed)) : 0;
}

json_t *GetFlatAccounts(unsigned flat) {
  std::string packed;
  if (FindFlat(flat, &packed) && !packed.empty()) return Unpack(packed);
  char number[16];
  snprintf(number, sizeof number, "%u", flat);
  json_t *copy = json_array();
  json_array_append_new(copy, json_string(number));
  return copy;
}

void GetSipAccounts(DBusMessage *message) {
  JsonPtr arg(DbusJsonGet(message));
  json_t *flat = json_object_get(arg.get(), "flat");
  JsonPtr reply;
  if (json_is_integer(flat)) {
    json_int_t n = json_integer_value(flat);
    if (n >= 0 && n <= 0xFFFF) {
      char key[16];
      snprintf(key, sizeof key, "%u", (unsigned)n);
      reply.reset(json_object());
      json_object_set_new(reply.get(), key, GetFlatAccounts((unsigned)n));
    } else {
      // No flat number has this value; printing it would name another flat.
      reply.reset(Response404());
    }
  } else {
    reply.reset(AccountsSnapshot());
  }
  DbusJsonMethodReply(CallContext.dbus, message, reply.get());
}

bool SetSipAccounts(json_t *arg) {
  if (!json_is_object(arg)) {
    LOG_BOTH(5, "%s", kInvalidList);
    return false;
  }
  const char *key;
  json_t *value;
  json_object_foreach(arg, key, value) {
    if (!ValidFlatMember(key, value)) {
      LOG_BOTH(5, "%s", kInvalidList);
      return false;
    }
  }
  std::vector<std::string> packed(json_object_size(arg));
  std::map<std::string, const std::string *> changes;
  size_t i = 0;
  json_object_foreach(arg, key, value) {
    Pack(value, &packed[i]);
    changes[key] = &packed[i++];
  }
  std::lock_guard<std::mutex> turn(writeLock);
  return SaveChanges(changes);
}

bool DeleteSipAccounts(json_t *arg) {
  json_t *flat = json_object_get(arg, "flat");
  if (!flat || !(json_is_integer(flat) || json_is_null(flat))) {
    char *text = flat ? json_dumps(flat, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr;
    LOG_BOTH(5, "Ошибка удаления SIP аккаунтов. Неверный формат JSON: %s", text ? text : "");
    free(text);
    return false;
  }
  std::lock_guard<std::mutex> turn(writeLock);
  std::map<std::string, const std::string *> changes;
  if (json_is_null(flat)) {
    for (const auto &entry : accounts) changes.emplace(entry.first, nullptr);
    return SaveChanges(changes);
  }
  json_int_t n = json_integer_value(flat);
  if (n < INT32_MIN || n > INT32_MAX) return true;  // no key can match
  char key[16];
  snprintf(key, sizeof key, "%d", (int)n);
  if (accounts.find(key) == accounts.end()) return true;
  changes.emplace(key, nullptr);
  return SaveChanges(changes);
}
