#define LOG_MODULE "package/src/config/accounts"
#include "config/accounts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "config/settings.h"
#include "context/context.h"
#include "ornix.h"

namespace {

const char *const kInvalidList = "Неверный формат JSON со списком SIP аккаунтов";
constexpr int kMaxFlatAccounts = 5;
constexpr int kMaxAccountLength = 30;

// The published list. Never modified once published; replaced whole.
std::mutex listLock;
json_t *accountsList = nullptr;

std::string AccountsPath() {
  char path[128];
  snprintf(path, sizeof path, "/oem/%s.conf", "sip_accounts");
  return RootPath(path);
}

// Takes `list` over; the old list is released outside the lock.
void Publish(json_t *list) {
  JsonPtr old;
  std::lock_guard<std::mutex> lock(listLock);
  old.reset(accountsList);
  accountsList = list;
}

// Flat keys are built the way the lookups build them.
JsonPtr FlatValue(unsigned flat) {
  char key[16];
  snprintf(key, sizeof key, "%u", flat);
  JsonPtr list(AccountsSnapshot());
  return JsonPtr(json_incref(json_object_get(list.get(), key)));
}

bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= (size_t)n;
  }
  return true;
}

// The new content goes to a temporary file that replaces the old one only
// once it is completely on disk, so a crash or a full disk never leaves a
// half-written list behind.
bool WriteAccountsFile(json_t *list) {
  char *text = json_dumps(list, JSON_COMPACT | JSON_SORT_KEYS);
  if (!text) return false;
  std::string path = AccountsPath();
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  if (ok) {
    ok = WriteAll(fd, text, strlen(text)) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
  }
  free(text);
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

// Writes `list` to the file; a failure is logged (both logs) and gives false.
bool SaveAccounts(json_t *list) {
  if (!WriteAccountsFile(list)) {
    LOG_BOTH(5, "Ошибка сохранения SIP аккаунтов");
    return false;
  }
  return true;
}

// The changed list takes effect in memory even when the file write fails.
bool PublishAndSave(JsonPtr next) {
  JsonPtr keep(json_incref(next.get()));
  Publish(next.release());
  return SaveAccounts(keep.get());
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
  Publish(list.release());
}

void FreeAccounts() { Publish(nullptr); }

json_t *AccountsSnapshot() {
  {
    std::lock_guard<std::mutex> lock(listLock);
    if (accountsList) return json_incref(accountsList);
  }
  return json_object();
}

int CountFlatAccounts(unsigned flat) {
  JsonPtr value = FlatValue(flat);
  return json_is_array(value.get()) ? (int)json_array_size(value.get()) : 0;
}

json_t *GetFlatAccounts(unsigned flat) {
  JsonPtr value = FlatValue(flat);
  json_t *copy = json_array();
  if (json_is_array(value.get()) && json_array_size(value.get()) > 0) {
    size_t i;
    json_t *acc;
    json_array_foreach(value.get(), i, acc) json_array_append(copy, acc);
    return copy;
  }
  char number[16];
  snprintf(number, sizeof number, "%u", flat);
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
    // The published list is never changed, so it can go out as it is.
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
  JsonPtr current(AccountsSnapshot());
  JsonPtr next(json_copy(current.get()));
  bool built = next != nullptr;
  // Copies: the request's arrays stay the caller's.
  json_object_foreach(arg, key, value) {
    if (built && json_object_set_new(next.get(), key, json_deep_copy(value)) != 0) built = false;
  }
  if (!built) {
    LOG_BOTH(5, "Ошибка сохранения SIP аккаунтов");
    return false;
  }
  return PublishAndSave(std::move(next));
}

bool DeleteSipAccounts(json_t *arg) {
  json_t *flat = json_object_get(arg, "flat");
  if (!flat || !(json_is_integer(flat) || json_is_null(flat))) {
    char *text = flat ? json_dumps(flat, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr;
    LOG_BOTH(5, "Ошибка удаления SIP аккаунтов. Неверный формат JSON: %s", text ? text : "");
    free(text);
    return false;
  }
  if (json_is_null(flat)) return PublishAndSave(JsonPtr(json_object()));
  json_int_t n = json_integer_value(flat);
  if (n < INT32_MIN || n > INT32_MAX) return true;  // no key can match
  char key[16];
  snprintf(key, sizeof key, "%d", (int)n);
  JsonPtr current(AccountsSnapshot());
  if (!json_is_array(json_object_get(current.get(), key))) return true;
  JsonPtr next(json_copy(current.get()));
  if (!next || json_object_del(next.get(), key) != 0) {
    LOG_BOTH(5, "Ошибка удаления SIP-аккаунтов для квартиры %d", (int)n);
    return false;
  }
  return PublishAndSave(std::move(next));
}
