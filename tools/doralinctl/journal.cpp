// "journal": the device's event journal, read from the store.
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "doralinctl.h"
#include "ornix.h"

namespace {

// Names of the journal's event codes.
const char *CodeName(json_int_t code) {
  switch (code) {
    case MORVAT_DOOR_DTMF: return "door opened by DTMF";
    case MORVAT_SIP_REG_OK: return "SIP registration success";
    case MORVAT_SIP_REG_FAIL: return "SIP registration failed";
    case MORVAT_TALK_STARTED: return "talk started";
    case MORVAT_CALL_ENDED: return "call ended";
    case MORVAT_CALL_REFUSED: return "incoming call could not ring";
    default: return nullptr;
  }
}

// --since: "YYYY-MM-DD[ HH:MM[:SS]]" (or with a T) in local time, "@SECONDS",
// or "-N" with s, m, h or d: that long ago. Milliseconds since the epoch.
// Counts of seconds are 64-bit: the panel's long is 32 bits, too few for
// seconds since the epoch once they become milliseconds.
bool ParseSeconds(const std::string &text, int64_t max, int64_t *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  const long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > max) return false;
  *out = v;
  return true;
}

bool ParseSince(const std::string &text, int64_t *ms) {
  int64_t n;
  if (text.size() > 1 && text[0] == '-') {
    const std::string unit = "smhd";
    const int64_t scale[] = {1, 60, 3600, 86400};
    const size_t u = unit.find(text.back());
    if (u == std::string::npos || !ParseSeconds(text.substr(1, text.size() - 2), INT64_MAX / 1000 / 86400, &n))
      return false;
    *ms = (int64_t(time(nullptr)) - n * scale[u]) * 1000;
    return true;
  }
  if (text[0] == '@') {
    if (!ParseSeconds(text.substr(1), INT64_MAX / 1000, &n)) return false;
    *ms = n * 1000;
    return true;
  }
  for (const char *format :
       {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
    struct tm tm = {};
    const char *end = strptime(text.c_str(), format, &tm);
    if (end == nullptr || *end != '\0') continue;
    tm.tm_isdst = -1;
    *ms = int64_t(mktime(&tm)) * 1000;
    return true;
  }
  return false;
}

void PrintRecord(json_t *record) {
  const json_int_t ms = json_integer_value(json_object_get(record, "time"));
  const json_int_t code = json_integer_value(json_object_get(record, "code"));
  const time_t seconds = time_t(ms / 1000);
  struct tm tm;
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime_r(&seconds, &tm));
  printf("%s.%03d L%d ", when, int(ms % 1000), int(json_integer_value(json_object_get(record, "level"))));
  if (code != 0) {
    const char *name = CodeName(code);
    printf(name ? "[%d %s] " : "[%d] ", int(code), name);
  }
  printf("%s", json_string_value(json_object_get(record, "text")));
  if (json_t *detail = json_object_get(record, "detail")) printf(" | %s", json_string_value(detail));
  printf("\n");
}

}  // namespace

int RunJournal(const std::vector<std::string> &words, const Options &o) {
  if (words.size() != 1) return UsageError("journal takes no arguments besides its options");
  int64_t sinceMs = 0;
  long code = -1, limit = 0;
  if (o.since && !ParseSince(*o.since, &sinceMs))
    return UsageError("--since: expected 'YYYY-MM-DD[ HH:MM[:SS]]', '@SECONDS' or -N[smhd]");
  if (o.code && !ParseInt(*o.code, 0, INT_MAX, &code)) return UsageError("--code: expected an event code");
  if (o.limit && !ParseInt(*o.limit, 1, INT_MAX, &limit)) return UsageError("--limit: expected a positive number");
  JsonPtr records(JournalRead(sinceMs, int(code), int(limit)));
  if (!records) {
    std::cerr << "doralinctl: journal: cannot read " << RootPath("/var/lib/ornix/store.db") << "\n";
    return kBusError;
  }
  size_t i;
  json_t *record;
  json_array_foreach(records.get(), i, record) {
    if (o.compact) PrintJson(o, record);
    else PrintRecord(record);
  }
  return kOk;
}
