#define LOG_MODULE "package/src/config/settings"
#include "config/settings.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/accounts.h"
#include "ornix.h"

namespace {

constexpr const char *kDefaultDomain = "sip.doralin.invalid";
constexpr const char *kBaresipConfig = "/etc/baresip/config";

JsonPtr GetKey(const char *key) {
  return JsonPtr(StoreGetVariable(CallContext.dbus, SETTINGS_SECTION, key));
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

// The SIP library's directory under the root, kept for the process's life.
std::string configDir;

void SetDefaults() {
  CallContextRecord &c = CallContext;
  c.restartRequested = false;
  c.serverSettingsChanged = false;
  configDir = RootPath("/etc/baresip");
  c.configPath = configDir.c_str();

  ServerSettings &s = c.server;
  s = ServerSettings{};
  s.port = 5060;
  CopySettingText(s.domain, sizeof s.domain, kDefaultDomain);
  s.portRegister = 5060;
  CopySettingText(s.domainRegister, sizeof s.domainRegister, kDefaultDomain);
  CopySettingText(s.username, sizeof s.username, "username");
  CopySettingText(s.password, sizeof s.password, "kxqwmtzv");
  s.proxyPort = 5060;
  s.transportUdp = true;

  c.videoEnabled = true;
  c.videoStreamId = 1;
  c.enableDirect = false;
  c.registerStatus = false;
  c.doorHangupDelay = 5;
  c.doorHangupOn = false;
  c.prefixSize = 4;
  c.flatNumberSize = 0;
  CopySettingText(c.dtmf_1, sizeof c.dtmf_1, "1");
  CopySettingText(c.dtmf_2, sizeof c.dtmf_2, "2");
  CopySettingText(c.sos, sizeof c.sos, "SOS");
  c.concierge[0] = '\0';
  c.flat0[0] = '\0';

  AssistantRecord &a = c.assistant;
  a.assistantEnable = true;
  a.assistantOnline = true;
  a.activePhraseType = 0;
  a.isPlayAlarm = false;
  a.onlyPanel = false;
  a.playPath[0] = '\0';
  a.alarmFileName[0] = '\0';
  a.textRunningLine[0] = '\0';
  memset(a.phrases, 0, sizeof a.phrases);
}

void LoadLegacyKeys() {
  CallContextRecord &c = CallContext;
  ServerSettings &s = c.server;
  {
    LegacyText server("doralin_server");
    if (server.Given()) {
      char *save = nullptr;
      const char *host = strtok_r(server.text, ":", &save);
      if (host) {
        CopySettingText(s.domain, sizeof s.domain, host);
        CopySettingText(s.domainRegister, sizeof s.domainRegister, host);
        const char *port = strtok_r(nullptr, ":", &save);
        if (port) {
          s.port = (uint16_t)ParseLeadingInt(port);
          s.portRegister = s.port;
        }
      }
    }
  }
  {
    LegacyText login("doralin_login");
    if (login.text) CopySettingText(s.username, sizeof s.username, login.text);
    LegacyText pass("doralin_pass");
    if (pass.text) CopySettingText(s.password, sizeof s.password, pass.text);
  }
  const struct {
    const char *key;
    bool *flag;
  } transports[] = {{"doralin_transport_udp", &s.transportUdp},
                    {"doralin_transport_tcp", &s.transportTcp},
                    {"doralin_transport_tls", &s.transportTls}};
  for (const auto &t : transports) {
    LegacyText v(t.key);
    if (v.Given()) *t.flag = ParseLeadingInt(v.text) != 0;
  }
  {
    LegacyText d1("dtmf_1");
    if (d1.text && strlen(d1.text) == 1) CopySettingText(c.dtmf_1, sizeof c.dtmf_1, d1.text);
    LegacyText d2("dtmf_2");
    if (d2.text && strlen(d2.text) == 1) CopySettingText(c.dtmf_2, sizeof c.dtmf_2, d2.text);
  }
  {
    LegacyText concierge("sip_consierge_addr");
    if (concierge.text) CopySettingText(c.concierge, sizeof c.concierge, concierge.text);
    LegacyText sos("sip_sos_addr");
    if (sos.text) CopySettingText(c.sos, sizeof c.sos, sos.text);
  }
  // These used to be byte fields taking the value's low 8 bits; the fields
  // are flags now, so any non-zero byte means on.
  const struct {
    const char *key;
    bool *flag;
  } bytes[] = {{"doralin_video_enable", &c.videoEnabled},
               {"assist_enable", &c.assistant.assistantEnable},
               {"assist_online", &c.assistant.assistantOnline}};
  for (const auto &b : bytes) {
    LegacyText v(b.key);
    if (v.Given()) *b.flag = (uint8_t)ParseLeadingInt(v.text) != 0;
  }
}

bool IntIn(const json_t *v, long long lo, long long hi, long long *out) {
  if (!json_is_integer(v)) return false;
  long long n = json_integer_value(v);
  if (n < lo || n > hi) return false;
  *out = n;
  return true;
}

void ApplyPort(const char *key, uint32_t *a, uint32_t *b) {
  JsonPtr v = GetKey(key);
  long long n;
  if (IntIn(v.get(), 2, 65534, &n)) {
    *a = (uint32_t)n;
    if (b) *b = (uint32_t)n;
  }
}

void ApplyText(const char *key, char *a, size_t size, char *b = nullptr) {
  JsonPtr v = GetKey(key);
  if (!json_is_string(v.get())) return;
  CopySettingText(a, size, json_string_value(v.get()));
  if (b) CopySettingText(b, size, json_string_value(v.get()));
}

void ApplyFlag(const char *key, bool *flag) {
  JsonPtr v = GetKey(key);
  if (json_is_boolean(v.get())) *flag = json_is_true(v.get());
}

void ApplyDigit(const char *key, char *dest) {
  JsonPtr v = GetKey(key);
  if (json_is_string(v.get()) && strlen(json_string_value(v.get())) == 1)
    CopySettingText(dest, 2, json_string_value(v.get()));
}

// Sizes must fit their unsigned field: a negative stored value would
// otherwise turn into a huge width.
void ApplySize(const char *key, uint32_t *dest) {
  JsonPtr v = GetKey(key);
  long long n;
  if (IntIn(v.get(), 0, UINT32_MAX, &n)) *dest = (uint32_t)n;
}

void LoadCurrentKeys() {
  CallContextRecord &c = CallContext;
  ServerSettings &s = c.server;
  long long n;

  ApplyPort("port", &s.port, &s.portRegister);
  {
    JsonPtr v = GetKey("doorHangupDelay");
    if (IntIn(v.get(), INT32_MIN, INT32_MAX, &n)) c.doorHangupDelay = (int32_t)n;
  }
  ApplyFlag("doorHangupOn", &c.doorHangupOn);
  ApplyText("domain", s.domain, sizeof s.domain, s.domainRegister);
  ApplyPort("portRegister", &s.portRegister, nullptr);
  ApplyText("domainRegister", s.domainRegister, sizeof s.domainRegister);
  ApplyText("username", s.username, sizeof s.username);
  ApplyText("password", s.password, sizeof s.password);
  ApplyPort("proxyPort", &s.proxyPort, nullptr);
  ApplyText("proxyDomain", s.proxyDomain, sizeof s.proxyDomain);
  ApplyFlag("proxyEnable", &s.proxyEnable);
  ApplyFlag("transportUdp", &s.transportUdp);
  ApplyFlag("transportTcp", &s.transportTcp);
  ApplyFlag("transportTls", &s.transportTls);
  ApplyDigit("dtmf_1", c.dtmf_1);
  ApplyDigit("dtmf_2", c.dtmf_2);
  ApplyText("sos", c.sos, sizeof c.sos);
  ApplyText("concierge", c.concierge, sizeof c.concierge);
  ApplyText("flat0", c.flat0, sizeof c.flat0);
  ApplyFlag("videoEnable", &c.videoEnabled);
  {
    JsonPtr v = GetKey("videoStreamId");
    if (json_is_integer(v.get())) c.videoStreamId = (uint8_t)(json_integer_value(v.get()) & 0xff);
  }
  ApplyFlag("assistantEnable", &c.assistant.assistantEnable);
  ApplyFlag("assistantOnline", &c.assistant.assistantOnline);
  LoadAlarmSettings();
  ApplyFlag("directMode", &c.enableDirect);
  ApplySize("prefixSize", &c.prefixSize);
  ApplySize("flatNumberSize", &c.flatNumberSize);
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

namespace {
// Null for a text that is not valid UTF-8, which the write then refuses.
json_t *NewTextValue(const char *text) { return json_string(text ? text : ""); }
}  // namespace

// ---- start-up ----------------------------------------------------------------

void LoadSettings() {
  SetDefaults();
  LoadLegacyKeys();
  LoadCurrentKeys();
  LoadAccounts();
  if (CallContext.videoStreamId != 1 && !SetRtspChannel(CallContext.videoStreamId))
    LOG_BOTH(5, "Can not set videoStreamId in baresip config!");
}

void LoadAlarmSettings() {
  AssistantRecord &a = CallContext.assistant;
  LOG(3, "Read var: Is play alarm notify");
  ApplyFlag("isPlayAlarm", &a.isPlayAlarm);
  ApplyText("alarmFileName", a.alarmFileName, sizeof a.alarmFileName);
  ApplyText("textRunningLine", a.textRunningLine, sizeof a.textRunningLine);
  ApplyFlag("onlyPanel", &a.onlyPanel);
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

bool ReadJsonIntField(json_t *value, const char *name, uint32_t *dest) {
  if (!value) return true;
  if (!json_is_integer(value)) {
    LOG_BOTH(5, "Поле '%s' не является целым числом", name);
    return false;
  }
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
  if (!json_is_string(value)) {
    LOG_BOTH(5, "Поле '%s' не является строкой", name);
    return false;
  }
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
  const ServerSettings &cur = CallContext.server;
  struct Change {
    const char *key;
    bool differs;
    json_t *(*make)(const ServerSettings &);
  };
  const Change changes[] = {
      {"port", server.port != cur.port,
       [](const ServerSettings &s) { return json_integer(s.port); }},
      {"domain", strcmp(server.domain, cur.domain) != 0,
       [](const ServerSettings &s) { return NewTextValue(s.domain); }},
      {"portRegister", server.portRegister != cur.portRegister,
       [](const ServerSettings &s) { return json_integer(s.portRegister); }},
      {"domainRegister", strcmp(server.domainRegister, cur.domainRegister) != 0,
       [](const ServerSettings &s) { return NewTextValue(s.domainRegister); }},
      {"username", strcmp(server.username, cur.username) != 0,
       [](const ServerSettings &s) { return NewTextValue(s.username); }},
      {"password", strcmp(server.password, cur.password) != 0,
       [](const ServerSettings &s) { return NewTextValue(s.password); }},
      {"proxyPort", server.proxyPort != cur.proxyPort,
       [](const ServerSettings &s) { return json_integer(s.proxyPort); }},
      {"proxyDomain", strcmp(server.proxyDomain, cur.proxyDomain) != 0,
       [](const ServerSettings &s) { return NewTextValue(s.proxyDomain); }},
      {"proxyEnable", server.proxyEnable != cur.proxyEnable,
       [](const ServerSettings &s) { return json_boolean(s.proxyEnable); }},
      {"transportUdp", server.transportUdp != cur.transportUdp,
       [](const ServerSettings &s) { return json_boolean(s.transportUdp); }},
      {"transportTcp", server.transportTcp != cur.transportTcp,
       [](const ServerSettings &s) { return json_boolean(s.transportTcp); }},
      {"transportTls", server.transportTls != cur.transportTls,
       [](const ServerSettings &s) { return json_boolean(s.transportTls); }},
  };
  for (const Change &ch : changes) {
    if (!ch.differs) continue;
    if (!WriteSetting(ch.key, ch.make(server))) return false;
    CallContext.serverSettingsChanged = true;
  }
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
  const AssistantRecord &cur = CallContext.assistant;
  if (assistant.assistantEnable != cur.assistantEnable &&
      !WriteSetting("assistantEnable", json_boolean(assistant.assistantEnable)))
    return false;
  if (assistant.assistantOnline != cur.assistantOnline &&
      !WriteSetting("assistantOnline", json_boolean(assistant.assistantOnline)))
    return false;
  return true;
}

bool SaveIsPlayAlarm(bool isPlayAlarm) {
  if (isPlayAlarm == CallContext.assistant.isPlayAlarm) return true;
  CallContext.assistant.isPlayAlarm = isPlayAlarm;
  return WriteSetting("isPlayAlarm", json_boolean(isPlayAlarm));
}

bool SaveAlarmSettings(bool onlyPanel, const char *alarmFileName, const char *textRunningLine) {
  AssistantRecord &a = CallContext.assistant;
  if (!alarmFileName) alarmFileName = "";
  if (!textRunningLine) textRunningLine = "";
  bool ok = true;
  if (strcmp(alarmFileName, a.alarmFileName) != 0) {
    CopySettingText(a.alarmFileName, sizeof a.alarmFileName, alarmFileName);
    if (!WriteSetting("alarmFileName", NewTextValue(a.alarmFileName))) ok = false;
  }
  if (ok && strcmp(textRunningLine, a.textRunningLine) != 0) {
    CopySettingText(a.textRunningLine, sizeof a.textRunningLine, textRunningLine);
    if (!WriteSetting("textRunningLine", NewTextValue(a.textRunningLine))) ok = false;
  }
  if (ok && onlyPanel != a.onlyPanel) {
    a.onlyPanel = onlyPanel;
    if (!WriteSetting("onlyPanel", json_boolean(onlyPanel))) ok = false;
  }
  return ok;
}
