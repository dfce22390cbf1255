#define LOG_MODULE "package/src/config/settings"
#include "settings/settings.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ornix.h"
#include "settings/accounts.h"

namespace {

constexpr const char *kDefaultDomain = "sip.doralin.invalid";
constexpr const char *kBaresipConfig = "/etc/baresip/config";
constexpr size_t kNoField = SIZE_MAX;

enum class Kind : uint8_t { Flag, Text, Digit, U32, I32, U8 };
// How a plain-text legacy key is read: a text, taken when present (a digit
// only when it is one character); a decimal number, taken when not empty; the
// same cut to its low 8 bits (these fields used to be bytes).
enum class Legacy : uint8_t { None, Text, Number, Byte };

// One stored setting: its key, its field, how it is kept and shown, its
// default, the range the load takes and its legacy key. Rows are in the order
// of the load.
struct Setting {
  const char *key;
  SettingGroup group;
  size_t offset;  // of the field in the group's record
  size_t size;    // of the field
  Kind kind;
  long long min = 0, max = 0;    // integers the load takes
  long long number = 0;          // default of a flag or integer
  const char *text = "";         // default of a text
  const char *member = nullptr;  // in the group's JSON; null: not shown
  const char *legacyKey = nullptr;
  Legacy legacy = Legacy::None;
  size_t mirror = kNoField;  // a second field of the record the load sets too
};

#define SERVER(f) \
  .group = SettingGroup::Server, .offset = offsetof(ServerSettings, f), .size = sizeof(ServerSettings::f)
#define CONTEXT(g, f) \
  .group = SettingGroup::g, .offset = offsetof(CallContextRecord, f), .size = sizeof(CallContextRecord::f)
#define ASSISTANT(g, f) \
  .group = SettingGroup::g, .offset = offsetof(AssistantRecord, f), .size = sizeof(AssistantRecord::f)

// Ports stored outside 2..65534 are ignored at load, though the setters take
// 1 to 65535.
constexpr Setting kSettings[] = {
    {.key = "port", SERVER(port), .kind = Kind::U32, .min = 2, .max = 65534, .number = 5060, .member = "port",
     .mirror = offsetof(ServerSettings, portRegister)},
    {.key = "doorHangupDelay", CONTEXT(Door, doorHangupDelay), .kind = Kind::I32, .min = INT32_MIN,
     .max = INT32_MAX, .number = 5, .member = "timeout"},
    {.key = "doorHangupOn", CONTEXT(Door, doorHangupOn), .kind = Kind::Flag, .member = "sip"},
    {.key = "domain", SERVER(domain), .kind = Kind::Text, .text = kDefaultDomain, .member = "domain",
     .mirror = offsetof(ServerSettings, domainRegister)},
    {.key = "portRegister", SERVER(portRegister), .kind = Kind::U32, .min = 2, .max = 65534, .number = 5060,
     .member = "portRegister"},
    {.key = "domainRegister", SERVER(domainRegister), .kind = Kind::Text, .text = kDefaultDomain,
     .member = "domainRegister"},
    {.key = "username", SERVER(username), .kind = Kind::Text, .text = "username", .member = "username",
     .legacyKey = "doralin_login", .legacy = Legacy::Text},
    {.key = "password", SERVER(password), .kind = Kind::Text, .text = "kxqwmtzv", .member = "password",
     .legacyKey = "doralin_pass", .legacy = Legacy::Text},
    {.key = "proxyPort", SERVER(proxyPort), .kind = Kind::U32, .min = 2, .max = 65534, .number = 5060,
     .member = "proxy.port"},
    {.key = "proxyDomain", SERVER(proxyDomain), .kind = Kind::Text, .member = "proxy.domain"},
    {.key = "proxyEnable", SERVER(proxyEnable), .kind = Kind::Flag, .member = "proxy.enable"},
    {.key = "transportUdp", SERVER(transportUdp), .kind = Kind::Flag, .number = 1, .member = "transport.udp",
     .legacyKey = "doralin_transport_udp", .legacy = Legacy::Number},
    {.key = "transportTcp", SERVER(transportTcp), .kind = Kind::Flag, .member = "transport.tcp",
     .legacyKey = "doralin_transport_tcp", .legacy = Legacy::Number},
    {.key = "transportTls", SERVER(transportTls), .kind = Kind::Flag, .legacyKey = "doralin_transport_tls",
     .legacy = Legacy::Number},
    {.key = "dtmf_1", CONTEXT(Dtmf, dtmf_1), .kind = Kind::Digit, .text = "1", .member = "1", .legacyKey = "dtmf_1",
     .legacy = Legacy::Text},
    {.key = "dtmf_2", CONTEXT(Dtmf, dtmf_2), .kind = Kind::Digit, .text = "2", .member = "2", .legacyKey = "dtmf_2",
     .legacy = Legacy::Text},
    {.key = "sos", CONTEXT(Sos, sos), .kind = Kind::Text, .text = "SOS", .member = "sosRoom",
     .legacyKey = "sip_sos_addr", .legacy = Legacy::Text},
    {.key = "concierge", CONTEXT(Concierge, concierge), .kind = Kind::Text, .member = "consiergeRoom",
     .legacyKey = "sip_consierge_addr", .legacy = Legacy::Text},
    {.key = "flat0", CONTEXT(Flat0, flat0), .kind = Kind::Text, .member = "flat0Room"},
    {.key = "videoEnable", CONTEXT(Video, videoEnabled), .kind = Kind::Flag, .number = 1, .member = "videoEnable",
     .legacyKey = "doralin_video_enable", .legacy = Legacy::Byte},
    {.key = "videoStreamId", CONTEXT(Video, videoStreamId), .kind = Kind::U8, .min = LLONG_MIN, .max = LLONG_MAX,
     .number = 1, .member = "videoStreamId"},
    {.key = "assistantEnable", ASSISTANT(Assistant, assistantEnable), .kind = Kind::Flag, .number = 1,
     .member = "enable", .legacyKey = "assist_enable", .legacy = Legacy::Byte},
    {.key = "assistantOnline", ASSISTANT(Assistant, assistantOnline), .kind = Kind::Flag, .number = 1,
     .member = "online", .legacyKey = "assist_online", .legacy = Legacy::Byte},
    {.key = "isPlayAlarm", ASSISTANT(Alarm, isPlayAlarm), .kind = Kind::Flag},
    {.key = "alarmFileName", ASSISTANT(Alarm, alarmFileName), .kind = Kind::Text},
    {.key = "textRunningLine", ASSISTANT(Alarm, textRunningLine), .kind = Kind::Text},
    {.key = "onlyPanel", ASSISTANT(Alarm, onlyPanel), .kind = Kind::Flag},
    {.key = "directMode", CONTEXT(Gate, enableDirect), .kind = Kind::Flag},
    // Widths: a negative or larger stored value would turn into another one.
    // Widths of a printf format: only what the setter takes is loaded.
    {.key = "prefixSize", CONTEXT(Gate, prefixSize), .kind = Kind::U32, .min = 1, .max = 8, .number = 4},
    {.key = "flatNumberSize", CONTEXT(Gate, flatNumberSize), .kind = Kind::U32, .min = 0, .max = 8},
};

#undef SERVER
#undef CONTEXT
#undef ASSISTANT

constexpr bool KindsFitFields() {
  for (const Setting &row : kSettings) {
    const size_t width = row.kind == Kind::Flag ? sizeof(bool)
                         : row.kind == Kind::U8 ? 1
                         : row.kind == Kind::Digit ? 2
                                                   : 4;
    if (row.kind == Kind::Text ? row.size < 2 : row.size != width) return false;
  }
  return true;
}
static_assert(KindsFitFields(), "a setting's kind does not fit its field");

// The record a group's fields live in, as memory holds it.
void *Record(SettingGroup group) {
  switch (group) {
    case SettingGroup::Server:
      return &CallContext.server;
    case SettingGroup::Assistant:
    case SettingGroup::Alarm:
      return &CallContext.assistant;
    default:
      return &CallContext;
  }
}

char *Field(const Setting &row, void *record) { return static_cast<char *>(record) + row.offset; }
const char *Field(const Setting &row, const void *record) {
  return static_cast<const char *>(record) + row.offset;
}

bool IsText(const Setting &row) { return row.kind == Kind::Text || row.kind == Kind::Digit; }

long long NumberOf(const Setting &row, const char *field) {
  switch (row.kind) {
    case Kind::Flag:
      return *reinterpret_cast<const bool *>(field);
    case Kind::U32:
      return *reinterpret_cast<const uint32_t *>(field);
    case Kind::I32:
      return *reinterpret_cast<const int32_t *>(field);
    case Kind::U8:
      return *reinterpret_cast<const uint8_t *>(field);
    default:
      return 0;
  }
}

// Stores `n` as the field's type takes it: a flag is set by any non-zero
// number, a byte keeps the low 8 bits.
void StoreNumber(const Setting &row, char *field, long long n) {
  switch (row.kind) {
    case Kind::Flag:
      *reinterpret_cast<bool *>(field) = n != 0;
      break;
    case Kind::U32:
      *reinterpret_cast<uint32_t *>(field) = static_cast<uint32_t>(n);
      break;
    case Kind::I32:
      *reinterpret_cast<int32_t *>(field) = static_cast<int32_t>(n);
      break;
    case Kind::U8:
      *reinterpret_cast<uint8_t *>(field) = static_cast<uint8_t>(n & 0xff);
      break;
    default:
      break;
  }
}

// ---- load ------------------------------------------------------------------------

// Sets the field (and its mirror) from a loaded number or text.
void TakeNumber(const Setting &row, long long n) {
  void *record = Record(row.group);
  StoreNumber(row, Field(row, record), n);
  if (row.mirror != kNoField) StoreNumber(row, static_cast<char *>(record) + row.mirror, n);
}

void TakeText(const Setting &row, const char *text) {
  if (row.kind == Kind::Digit && strlen(text) != 1) return;
  void *record = Record(row.group);
  CopySettingText(Field(row, record), row.size, text);
  if (row.mirror != kNoField) CopySettingText(static_cast<char *>(record) + row.mirror, row.size, text);
}

// The SIP library's directory under the root, kept for the process's life.
std::string configDir;

void SetDefaults() {
  CallContextRecord &c = CallContext;
  c.restartRequested = false;
  c.serverSettingsChanged = false;
  configDir = RootPath("/etc/baresip");
  c.configPath = configDir.c_str();
  c.server = ServerSettings{};
  c.registerStatus = false;
  AssistantRecord &a = c.assistant;
  a.activePhraseType = 0;
  a.playPath[0] = '\0';
  memset(a.phrases, 0, sizeof a.phrases);
  for (const Setting &row : kSettings) {
    char *field = Field(row, Record(row.group));
    if (IsText(row)) CopySettingText(field, row.size, row.text);
    else StoreNumber(row, field, row.number);
  }
}

// Legacy keys: plain text, only read.
struct LegacyText {
  char *text;
  explicit LegacyText(const char *key)
      : text(StoreGetVar(CallContext.dbus, SETTINGS_SECTION, key)) {}
  ~LegacyText() { free(text); }
  LegacyText(const LegacyText &) = delete;
  LegacyText &operator=(const LegacyText &) = delete;
  bool Given() const { return text && *text; }
};

// "doralin_server": "host[:port]" sets both servers; the port keeps its low
// 16 bits.
void LoadLegacyServer() {
  ServerSettings &s = CallContext.server;
  LegacyText server("doralin_server");
  if (!server.Given()) return;
  char *save = nullptr;
  const char *host = strtok_r(server.text, ":", &save);
  if (!host) return;
  CopySettingText(s.domain, sizeof s.domain, host);
  CopySettingText(s.domainRegister, sizeof s.domainRegister, host);
  const char *port = strtok_r(nullptr, ":", &save);
  if (!port) return;
  s.port = (uint16_t)ParseLeadingInt(port);
  s.portRegister = s.port;
}

void LoadLegacyKeys() {
  LoadLegacyServer();
  for (const Setting &row : kSettings) {
    if (row.legacy == Legacy::None) continue;
    LegacyText value(row.legacyKey);
    if (row.legacy == Legacy::Text) {
      if (value.text) TakeText(row, value.text);
    } else if (value.Given()) {
      const long long n = ParseLeadingInt(value.text);
      TakeNumber(row, row.legacy == Legacy::Byte ? (uint8_t)n : n);
    }
  }
}

// A stored value of another type, or an integer out of the row's range,
// changes nothing.
void LoadCurrentKey(const Setting &row) {
  JsonPtr v(StoreGetVariable(CallContext.dbus, SETTINGS_SECTION, row.key));
  if (row.kind == Kind::Flag) {
    if (json_is_boolean(v.get())) TakeNumber(row, json_is_true(v.get()));
  } else if (IsText(row)) {
    if (json_is_string(v.get())) TakeText(row, json_string_value(v.get()));
  } else if (json_is_integer(v.get())) {
    const long long n = json_integer_value(v.get());
    if (n >= row.min && n <= row.max) TakeNumber(row, n);
  }
}

void LoadCurrentKeys() {
  bool inAlarm = false;
  for (const Setting &row : kSettings) {
    if (!inAlarm && row.group == SettingGroup::Alarm) LOG(3, "Read var: Is play alarm notify");
    inAlarm = row.group == SettingGroup::Alarm;
    LoadCurrentKey(row);
  }
}

// ---- getters and record writers ---------------------------------------------------

// A text of memory as a JSON string; one that is not valid UTF-8 (an old
// plain-text key) goes out empty rather than dropping the member.
json_t *TextJson(const char *text) {
  json_t *v = json_string(text);
  return v ? v : json_string("");
}

json_t *ShownValue(const Setting &row, const char *field) {
  if (IsText(row)) return TextJson(field);
  if (row.kind == Kind::Flag) return json_boolean(NumberOf(row, field));
  return json_integer(NumberOf(row, field));
}

// Sets `member` of `object`; "a.b" is member b of the object under a, made
// when missing.
void SetMember(json_t *object, const char *member, json_t *value) {
  const char *dot = strchr(member, '.');
  if (!dot) {
    json_object_set_new(object, member, value);
    return;
  }
  const std::string outer(member, dot);
  json_t *inner = json_object_get(object, outer.c_str());
  if (!inner) json_object_set_new(object, outer.c_str(), inner = json_object());
  json_object_set_new(inner, dot + 1, value);
}

// Null for a text that is not valid UTF-8, which the write then refuses.
json_t *NewTextValue(const char *text) { return json_string(text ? text : ""); }

// The field as a new JSON value of the key's type, for the store.
json_t *StoredValue(const Setting &row, const char *field) {
  if (IsText(row)) return NewTextValue(field);
  if (row.kind == Kind::Flag) return json_boolean(NumberOf(row, field));
  return json_integer(NumberOf(row, field));
}

bool Differs(const Setting &row, const char *a, const char *b) {
  return IsText(row) ? strcmp(a, b) != 0 : NumberOf(row, a) != NumberOf(row, b);
}

// Writes, in table order, the keys of `group` whose field in `edited` (an
// edited copy of the group's record) differs from memory; stops at the first
// failed write. *wrote tells whether any write went through.
bool SaveChanged(SettingGroup group, const void *edited, bool *wrote) {
  *wrote = false;
  const void *current = Record(group);
  for (const Setting &row : kSettings) {
    if (row.group != group || !Differs(row, Field(row, edited), Field(row, current))) continue;
    if (!WriteSetting(row.key, StoredValue(row, Field(row, edited)))) return false;
    *wrote = true;
  }
  return true;
}

}  // namespace

// ---- helpers shared by the config module -----------------------------------

void CopySettingText(char *dest, size_t size, const char *src) {
  if (!dest || size == 0) return;
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (src && src[n] != '\0') {
    // Cut before a continuation byte so the text stays valid UTF-8.
    while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80) n--;
  }
  memcpy(dest, src ? src : "", n);
  dest[n] = '\0';
}

long long ParseLeadingInt(const char *text) {
  if (!text) return 0;
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long n = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (n > (LLONG_MAX - 9) / 10) {
      n = LLONG_MAX;
      break;
    }
    n = n * 10 + (*p - '0');
  }
  return negative ? -n : n;
}

bool WriteSetting(const char *key, json_t *value) {
  JsonPtr holder(value);
  if (!value) {
    LOG(5, "Store write of '%s' skipped: value cannot be encoded", key);
    return false;
  }
  if (!StoreSetVariable(CallContext.dbus, SETTINGS_SECTION, key, value)) {
    LOG(5, "Store write of '%s' failed", key);
    return false;
  }
  return true;
}

// ---- start-up ----------------------------------------------------------------

void LoadSettings() {
  SetDefaults();
  LoadLegacyKeys();
  LoadCurrentKeys();
  LoadAccounts();
  if (CallContext.videoStreamId != 1 && !SetRtspChannel(CallContext.videoStreamId))
    LOG_BOTH(5, "Can not set videoStreamId in baresip config!");
}

json_t *SettingsJson(SettingGroup group) {
  json_t *object = json_object();
  for (const Setting &row : kSettings) {
    if (row.group == group && row.member)
      SetMember(object, row.member, ShownValue(row, Field(row, Record(group))));
  }
  return object;
}

long long SettingDefault(const char *key) {
  for (const Setting &row : kSettings) {
    if (strcmp(row.key, key) == 0) return row.number;
  }
  return 0;
}

bool SetRtspChannel(unsigned channel) {
  if (channel > 9) {
    LOG_BOTH(5, "Wrong RTSP channel: %d", (int)channel);
    return false;
  }
  std::string path = RootPath(kBaresipConfig);
  FILE *f = fopen(path.c_str(), "r+");
  if (!f) {
    LOG_BOTH(5, "Can't open baresip config file");
    return false;
  }
  // Whole lines, however long; only a digit right after "/ch" is the channel,
  // so the rewrite can never touch a line end or grow the file.
  char *line = nullptr;
  size_t cap = 0;
  long digitAt = -1;
  for (;;) {
    long start = ftell(f);
    ssize_t len = getline(&line, &cap, f);
    if (len < 0 || start < 0) break;
    if (!strstr(line, "rtspsrc_url")) continue;
    const char *ch = strstr(line, "/ch");
    if (!ch) continue;
    if (ch[3] >= '0' && ch[3] <= '9') digitAt = start + (ch - line) + 3;
    break;
  }
  free(line);
  if (digitAt < 0) {
    LOG_BOTH(5, "rtspsrc_url string not found in config!");
    fclose(f);
    return false;
  }
  bool ok = fseek(f, digitAt, SEEK_SET) == 0 && fputc('0' + (int)channel, f) != EOF;
  ok = (fflush(f) == 0) && ok;
  ok = (fclose(f) == 0) && ok;
  if (!ok) LOG_BOTH(5, "Can't open baresip config file");
  return ok;
}

// ---- JSON field readers ---------------------------------------------------------

namespace {

// A present value of another JSON type than the field's, logged as such.
bool WrongType(bool ofType, const char *name, const char *type) {
  if (!ofType) LOG_BOTH(5, "Поле '%s' не является %s", name, type);
  return !ofType;
}

}  // namespace

bool ReadJsonIntField(json_t *value, const char *name, uint32_t *dest) {
  if (!value) return true;
  if (WrongType(json_is_integer(value), name, "целым числом")) return false;
  json_int_t n = json_integer_value(value);
  if (n < 1 || n > 65535) {
    // Out-of-range values print as the nearest int rather than wrapping.
    int shown = n < INT_MIN ? INT_MIN : n > INT_MAX ? INT_MAX : (int)n;
    LOG_BOTH(5, "Неправильно указан %s: %d", name, shown);
    return false;
  }
  *dest = (uint32_t)n;
  return true;
}

bool ReadJsonStringField(json_t *value, const char *name, char *dest) {
  if (!value) return true;
  if (WrongType(json_is_string(value), name, "строкой")) return false;
  const char *text = json_string_value(value);
  if (json_string_length(value) > kSettingsTextSize - 1 || strlen(text) > kSettingsTextSize - 1) {
    LOG_BOTH(5, "Строка '%s' должна быть не более %u символов", name,
             (unsigned)(kSettingsTextSize - 1));
    return false;
  }
  CopySettingText(dest, kSettingsTextSize, text);
  return true;
}

// ---- store writers ------------------------------------------------------------

bool SaveDtmf(const char *dtmf1, const char *dtmf2) {
  if (dtmf1 && strlen(dtmf1) == 1 && strcmp(dtmf1, CallContext.dtmf_1) != 0 &&
      !WriteSetting("dtmf_1", json_string(dtmf1)))
    return false;
  if (dtmf2 && strlen(dtmf2) == 1 && strcmp(dtmf2, CallContext.dtmf_2) != 0 &&
      !WriteSetting("dtmf_2", json_string(dtmf2)))
    return false;
  return true;
}

bool SaveServerSettings(const ServerSettings &server) {
  bool wrote = false;
  const bool ok = SaveChanged(SettingGroup::Server, &server, &wrote);
  if (wrote) CallContext.serverSettingsChanged = true;
  if (!ok) return false;
  if (CallContext.serverSettingsChanged) CallContext.restartRequested = true;
  return true;
}

bool SaveGateSettings(long long prefixSize, long long flatNumberSize, bool directMode,
                      json_t *rules) {
  CallContextRecord &c = CallContext;
  bool ok = true;
  if (prefixSize != (long long)c.prefixSize && prefixSize >= 1 && prefixSize <= 8) {
    if (WriteSetting("prefixSize", json_integer(prefixSize)))
      c.prefixSize = (uint32_t)prefixSize;
    else
      ok = false;
  }
  if (flatNumberSize != (long long)c.flatNumberSize && flatNumberSize >= 0 &&
      flatNumberSize <= 8) {
    if (WriteSetting("flatNumberSize", json_integer(flatNumberSize)))
      c.flatNumberSize = (uint32_t)flatNumberSize;
    else
      ok = false;
  }
  if (directMode != c.enableDirect) {
    if (WriteSetting("directMode", json_boolean(directMode)))
      c.enableDirect = directMode;
    else
      ok = false;
  }
  if (json_is_object(rules) && !WriteSetting("directRules", json_incref(rules))) ok = false;
  return ok;
}

bool SaveAssistantSettings(const AssistantRecord &assistant) {
  bool wrote = false;
  return SaveChanged(SettingGroup::Assistant, &assistant, &wrote);
}

// The values in memory follow the store: each changes only once written.
bool SaveIsPlayAlarm(bool isPlayAlarm) {
  if (isPlayAlarm == CallContext.assistant.isPlayAlarm) return true;
  if (!WriteSetting("isPlayAlarm", json_boolean(isPlayAlarm))) return false;
  CallContext.assistant.isPlayAlarm = isPlayAlarm;
  return true;
}

namespace {

template <size_t N>
bool SaveAlarmText(const char *key, char (&field)[N], const char *value) {
  if (strcmp(value, field) == 0) return true;
  char cut[N];
  CopySettingText(cut, sizeof cut, value);
  if (!WriteSetting(key, NewTextValue(cut))) return false;
  memcpy(field, cut, sizeof cut);
  return true;
}

}  // namespace

bool SaveAlarmSettings(bool onlyPanel, const char *alarmFileName, const char *textRunningLine) {
  AssistantRecord &a = CallContext.assistant;
  if (!SaveAlarmText("alarmFileName", a.alarmFileName, alarmFileName ? alarmFileName : "") ||
      !SaveAlarmText("textRunningLine", a.textRunningLine, textRunningLine ? textRunningLine : ""))
    return false;
  if (onlyPanel == a.onlyPanel) return true;
  if (!WriteSetting("onlyPanel", json_boolean(onlyPanel))) return false;
  a.onlyPanel = onlyPanel;
  return true;
}
