#define LOG_MODULE "package/src/config/settings_methods"
#include "settings/settings_methods.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "context/context.h"
#include "ornix.h"
#include "settings/settings.h"

namespace {

struct Room {
  const char *setName;
  const char *member;
  char *field;
  const char *key;
  const char *changeMessage;
};

// A getter's reply: the group's settings, after the getter's name in the trace.
json_t *GroupJson(const char *getter, SettingGroup group) {
  LOG(1, "%s", getter);
  return SettingsJson(group);
}

bool SetRoom(const Room &room, json_t *arg) {
  LOG(1, "%s", room.setName);
  json_t *value = json_object_get(arg, room.member);
  if (!json_is_string(value)) return false;
  const char *text = json_string_value(value);
  if (*text == '\0') return true;
  // A longer address would be stored cut, which is not what was asked for.
  char checked[kSettingsTextSize];
  if (!ReadJsonStringField(value, room.member, checked)) return false;
  if (strcmp(text, room.field) == 0) return true;
  LOG(1, room.changeMessage, text);
  // Memory follows the store only: a refused write leaves the old address in use.
  if (!WriteSetting(room.key, json_string(checked))) return false;
  CopySettingText(room.field, kSettingsTextSize, checked);
  return true;
}

// The members `first` and `second` of `arg` (null when absent); false when a
// present one is not of the type `typeOk` wants.
bool OptionalMembers(json_t *arg, const char *first, const char *second,
                     bool (*typeOk)(const json_t *), json_t **a, json_t **b) {
  *a = json_object_get(arg, first);
  *b = json_object_get(arg, second);
  return (!*a || typeOk(*a)) && (!*b || typeOk(*b));
}

Room SosRoom() {
  return {"SetSosJson", "sosRoom", CallContext.sos, "sos", "Set sos value: '%s'"};
}
Room ConciergeRoom() {
  return {"SetConciergeJson", "consiergeRoom", CallContext.concierge, "concierge", "Set concierge value: '%s'"};
}
Room Flat0Room() {
  return {"SetFlat0Json", "flat0Room", CallContext.flat0, "flat0", "Set flat0 value: '%s'"};
}

}  // namespace

json_t *GetSosJson(DBusMessage *) { return GroupJson("GetSosJson", SettingGroup::Sos); }
bool SetSosJson(json_t *arg) { return SetRoom(SosRoom(), arg); }
json_t *GetConciergeJson(DBusMessage *) { return GroupJson("GetConciergeJson", SettingGroup::Concierge); }
bool SetConciergeJson(json_t *arg) { return SetRoom(ConciergeRoom(), arg); }
json_t *GetFlat0Json(DBusMessage *) { return GroupJson("GetFlat0Json", SettingGroup::Flat0); }
bool SetFlat0Json(json_t *arg) { return SetRoom(Flat0Room(), arg); }

// ---- door hang-up --------------------------------------------------------------

json_t *GetDoorHangupDelay(DBusMessage *) { return GroupJson("GetDoorHangupDelay", SettingGroup::Door); }

bool SetDoorHangupDelay(json_t *arg) {
  LOG(1, "SetDoorHangupDelay");
  json_t *timeout = json_object_get(arg, "timeout");
  json_t *sip = json_object_get(arg, "sip");
  if (json_is_integer(timeout)) {
    json_int_t n = json_integer_value(timeout);
    // The field is 32 bits wide; a bigger number would be kept as another one.
    if (n < INT32_MIN || n > INT32_MAX) {
      LOG_BOTH(5, "Неправильно указан %s: %d", "timeout", n < 0 ? INT_MIN : INT_MAX);
      return false;
    }
    if (n != CallContext.doorHangupDelay) {
      if (!WriteSetting("doorHangupDelay", json_integer(n))) return false;
      CallContext.doorHangupDelay = (int32_t)n;
    }
  }
  if (json_is_boolean(sip) && json_is_true(sip) != CallContext.doorHangupOn) {
    if (!WriteSetting("doorHangupOn", json_boolean(json_is_true(sip)))) return false;
    CallContext.doorHangupOn = json_is_true(sip);
  }
  return true;
}

// ---- DTMF ------------------------------------------------------------------------

json_t *GetDtmfJson(DBusMessage *) { return GroupJson("GetDtmfJson", SettingGroup::Dtmf); }

bool SetDtmfJson(json_t *arg) {
  LOG(1, "SetDtmfJson");
  json_t *one, *two;
  if (!OptionalMembers(arg, "1", "2", [](const json_t *v) { return json_is_string(v); }, &one, &two))
    return false;
  const char *d1 = one ? json_string_value(one) : nullptr;
  const char *d2 = two ? json_string_value(two) : nullptr;
  if (!SaveDtmf(d1, d2)) return false;
  if (d1 && strlen(d1) == 1) CopySettingText(CallContext.dtmf_1, sizeof CallContext.dtmf_1, d1);
  if (d2 && strlen(d2) == 1) CopySettingText(CallContext.dtmf_2, sizeof CallContext.dtmf_2, d2);
  return true;
}

bool DeleteDtmf(DBusMessage *) {
  LOG(1, "DeleteDtmf");
  CopySettingText(CallContext.dtmf_1, sizeof CallContext.dtmf_1, "1");
  CopySettingText(CallContext.dtmf_2, sizeof CallContext.dtmf_2, "2");
  return true;
}

// ---- SIP server and video ----------------------------------------------------

namespace {

// The "remote" object of "GetSipSettings".
json_t *GetServerJson() {
  json_t *remote = GroupJson("GetServerJson", SettingGroup::Server);
  json_object_set_new(remote, "registerStatus", json_boolean(CallContext.registerStatus));
  return remote;
}

// The "remote" object of "SetSipSettings".
bool SetServerJson(json_t *remote) {
  LOG(1, "SetServerJson");
  ServerSettings copy = CallContext.server;
  copy.transportUdp = true;
  copy.transportTcp = false;
  copy.transportTls = false;

  if (!ReadJsonStringField(json_object_get(remote, "domain"), "domain", copy.domain) ||
      !ReadJsonIntField(json_object_get(remote, "port"), "port", &copy.port) ||
      !ReadJsonStringField(json_object_get(remote, "username"), "username", copy.username) ||
      !ReadJsonStringField(json_object_get(remote, "password"), "password", copy.password))
    return false;
  copy.portRegister = copy.port;
  memcpy(copy.domainRegister, copy.domain, sizeof copy.domainRegister);
  if (!ReadJsonStringField(json_object_get(remote, "domainRegister"), "domainRegister",
                           copy.domainRegister) ||
      !ReadJsonIntField(json_object_get(remote, "portRegister"), "portRegister",
                        &copy.portRegister))
    return false;

  json_t *proxy = json_object_get(remote, "proxy");
  if (json_is_object(proxy)) {
    if (!ReadJsonStringField(json_object_get(proxy, "domain"), "proxy.domain",
                             copy.proxyDomain) ||
        !ReadJsonIntField(json_object_get(proxy, "port"), "proxy.port", &copy.proxyPort))
      return false;
    json_t *enable = json_object_get(proxy, "enable");
    if (enable) {
      if (!json_is_boolean(enable)) {
        LOG_BOTH(5, "Поле 'proxy.enable' не является логическим типом");
        return false;
      }
      copy.proxyEnable = json_is_true(enable);
    }
  }
  json_t *transport = json_object_get(remote, "transport");
  if (json_is_object(transport)) {
    json_t *udp = json_object_get(transport, "udp");
    json_t *tcp = json_object_get(transport, "tcp");
    if (json_is_boolean(udp)) copy.transportUdp = json_is_true(udp);
    if (json_is_boolean(tcp)) copy.transportTcp = json_is_true(tcp);
  }

  if (!SaveServerSettings(copy)) return false;
  CallContext.server = copy;
  return true;
}

bool SetVideoSettingsJson(json_t *arg) {
  LOG(1, "SetVideoSettingsJson");
  json_t *enable = json_object_get(arg, "videoEnable");
  if (json_is_boolean(enable)) {
    if (!WriteSetting("videoEnable", json_boolean(json_is_true(enable)))) return false;
    CallContext.videoEnabled = json_is_true(enable);
  }
  json_t *id = json_object_get(arg, "videoStreamId");
  if (!json_is_integer(id)) return true;
  json_int_t n = json_integer_value(id);
  if (n < 0 || n > 2 || n == CallContext.videoStreamId) return true;
  if (!WriteSetting("videoStreamId", json_integer(n))) return false;
  if (!SetRtspChannel((unsigned)n)) {
    if (!WriteSetting("videoStreamId", json_integer(CallContext.videoStreamId)))
      LOG_BOTH(5, "Can't rollback videoStreamId in doralin config!");
    return false;
  }
  CallContext.videoStreamId = (uint8_t)n;
  CallContext.restartRequested = true;
  return true;
}

}  // namespace

json_t *GetSipSettingsJson(DBusMessage *) {
  json_t *reply = json_object();
  json_object_set_new(reply, "remote", GetServerJson());
  json_object_update(reply, JsonPtr(SettingsJson(SettingGroup::Video)).get());
  if (LogGetLevel() <= 1) {
    // The trace copy hides the password: logs leave the panel.
    JsonPtr shown(json_deep_copy(reply));
    json_object_set_new(json_object_get(shown.get(), "remote"), "password", json_string("***"));
    char *text = json_dumps(shown.get(), JSON_INDENT(4));
    LOG(1, "GetSipSettingsJson: %s", text ? text : "");
    free(text);
  }
  return reply;
}

bool SetSipSettingsJson(json_t *arg) {
  json_t *remote = json_object_get(arg, "remote");
  if (json_is_object(remote) && !SetServerJson(remote)) return false;
  return SetVideoSettingsJson(arg);
}

// ---- gate dialing ----------------------------------------------------------------

json_t *GetGateSettingsJson(DBusMessage *) {
  json_t *reply = json_object();
  json_t *direct = json_object();
  json_object_set_new(direct, "mode", json_boolean(CallContext.enableDirect));
  JsonPtr rules(StoreGetVariable(CallContext.dbus, SETTINGS_SECTION, "directRules"));
  if (!rules)
    json_object_set_new(direct, "rules", json_object());
  else if (json_is_object(rules.get()))
    json_object_set(direct, "rules", rules.get());
  json_object_set_new(reply, "direct", direct);

  for (const char *key : {"prefixSize", "flatNumberSize"}) {
    JsonPtr v(StoreGetVariable(CallContext.dbus, SETTINGS_SECTION, key));
    if (!v)
      json_object_set_new(reply, key, json_integer(SettingDefault(key)));
    else if (json_is_integer(v.get()))
      json_object_set(reply, key, v.get());
  }
  return reply;
}

bool SetGateSettingsJson(json_t *arg) {
  json_t *prefix = json_object_get(arg, "prefixSize");
  json_t *flatSize = json_object_get(arg, "flatNumberSize");
  json_t *direct = json_object_get(arg, "direct");
  json_t *mode = json_object_get(direct, "mode");
  json_t *rules = json_object_get(direct, "rules");
  long long p = json_is_integer(prefix) ? json_integer_value(prefix) : CallContext.prefixSize;
  long long f =
      json_is_integer(flatSize) ? json_integer_value(flatSize) : CallContext.flatNumberSize;
  bool m = json_is_boolean(mode) ? json_is_true(mode) : CallContext.enableDirect;
  if (SaveGateSettings(p, f, m, rules)) return true;
  // Told as a refusal, as every other setter does: the change was not kept.
  LOG_BOTH(4, "Can't write gate settings to config");
  return false;
}

// ---- assistant -----------------------------------------------------------------

json_t *GetAssistantJson(DBusMessage *) { return GroupJson("GetAssistantJson", SettingGroup::Assistant); }

bool SetAssistantJson(json_t *arg) {
  LOG(1, "SetAssistantJson");
  json_t *enable, *online;
  if (!OptionalMembers(arg, "enable", "online", [](const json_t *v) { return json_is_boolean(v); }, &enable,
                       &online))
    return false;
  AssistantRecord &cur = CallContext.assistant;
  AssistantRecord wanted = cur;
  if (enable) wanted.assistantEnable = json_is_true(enable);
  if (online) wanted.assistantOnline = json_is_true(online);
  if (!SaveAssistantSettings(wanted)) return false;
  cur.assistantEnable = wanted.assistantEnable;
  cur.assistantOnline = wanted.assistantOnline;
  return true;
}

bool DeleteAssistant(DBusMessage *) {
  LOG(1, "DeleteAssistant");
  CallContext.assistant.assistantEnable = true;
  CallContext.assistant.assistantOnline = true;
  return true;
}

json_t *GetRegisterStatusJson(DBusMessage *) {
  LOG(1, "GetRegisterStatusJson");
  return DbusJsonMessageBoolean(CallContext.registerStatus ? json_true() : json_false());
}
