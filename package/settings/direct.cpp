#define LOG_MODULE "package/src/direct/direct"
#include "settings/direct.h"

#include <cstdio>
#include <cstring>

#include "context/context.h"
#include "ornix.h"
#include "settings/settings.h"

namespace {

// "lo-hi" (cut to 9 characters, runs of '-' as one separator, further parts
// ignored); each bound keeps its low 16 bits.
bool ParseRange(const char *key, unsigned *lo, unsigned *hi) {
  char text[10];
  snprintf(text, sizeof text, "%s", key);
  unsigned parts[2];
  int count = 0;
  char *save = nullptr;
  for (char *tok = strtok_r(text, "-", &save); tok && count < 2;
       tok = strtok_r(nullptr, "-", &save)) {
    unsigned long long n = 0;
    for (const char *p = tok; *p >= '0' && *p <= '9'; p++) n = n * 10 + (unsigned)(*p - '0');
    parts[count++] = (unsigned)(n & 0xFFFF);
  }
  if (count < 2) return false;
  *lo = parts[0];
  *hi = parts[1];
  return true;
}

}  // namespace

bool GetDirectServer(unsigned house, unsigned apartment, char *server, size_t size, bool *video) {
  LOG(1, "[direct] GetDirectServer enter house=%u apartment=%u", house, apartment);
  JsonPtr rules(StoreGetVariable(CallContext.dbus, SETTINGS_SECTION, "directRules"));
  bool videoFlag = false;
  if (video) *video = false;
  // The result is read from the buffer, so it must not start with old text.
  if (server && size > 0) server[0] = '\0';
  if (!json_is_object(rules.get())) {
    LOG(1, "[direct] GetDirectServer: directRules is not an object");
    LOG_BOTH(5, "Ошибка парсинга правил набора");
    return false;
  }
  char houseKey[6];
  snprintf(houseKey, sizeof houseKey, "%u", house);
  json_t *houseRules = json_object_get(rules.get(), houseKey);
  if (!json_is_object(houseRules)) {
    LOG(1, "[direct] GetDirectServer: no rules for house %s", houseKey);
    LOG_BOTH(5, "Ошибка при вызове, правило набора для номера дома не задано: %s", houseKey);
    return false;
  }
  json_t *flag = json_object_get(houseRules, "video");
  if (json_is_boolean(flag)) videoFlag = json_is_true(flag);
  if (video) *video = videoFlag;

  bool found = false;
  for (void *it = json_object_iter(houseRules); it && !found;
       it = json_object_iter_next(houseRules, it)) {
    const char *key = json_object_iter_key(it);
    unsigned lo, hi;
    if (!ParseRange(key, &lo, &hi) || hi == 0 || apartment < lo || apartment > hi) continue;
    // A matching range whose value is not a text names no usable server.
    const char *value = json_string_value(json_object_iter_value(it));
    if (value && server && size > 0) snprintf(server, size, "%s", value);
    LOG(1, "[direct] GetDirectServer: range %s matched, server=%s video=%d", key,
        value ? value : "", (int)videoFlag);
    found = true;
  }
  if (!server || size == 0 || server[0] == '\0') {
    LOG(1, "[direct] GetDirectServer: no server for apartment %u", apartment);
    return false;
  }
  LOG(1, "[direct] GetDirectServer ok dest=%s video=%d", server, (int)videoFlag);
  return true;
}
