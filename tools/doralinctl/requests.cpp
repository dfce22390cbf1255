// Commands that are one call of an is.ornix.Method method: the command words
// become the method and its JSON argument, the reply is printed.
#include <climits>
#include <cstring>
#include <iostream>

#include "doralinctl.h"

namespace {

// One bus call the command line asked for.
struct Request {
  std::string method;
  JsonPtr argument;  // null: the call carries no argument
};

using Words = std::vector<std::string>;

struct Group {
  const char *name;
  const char *getter;
  const char *setter;
  const char *roomMember;  // service room groups take a bare address
};

const Group kGroups[] = {
    {"sip", "GetSipSettings", "SetSipSettings", nullptr},
    {"gate", "GetGateSettings", "SetGateSettings", nullptr},
    {"sos", "GetSos", "SetSos", "sosRoom"},
    {"concierge", "GetConcierge", "SetConcierge", "consiergeRoom"},
    {"flat0", "GetFlat0", "SetFlat0", "flat0Room"},
    {"dtmf", "GetDtmf", "SetDtmf", nullptr},
    {"door", "GetDoorHangupDelay", "SetDoorHangupDelay", nullptr},
    {"assistant", "GetAssistant", "SetAssistant", nullptr},
};

const Group *FindGroup(const std::string &name) {
  for (const Group &g : kGroups)
    if (name == g.name) return &g;
  return nullptr;
}

bool Fail(std::string *why, const std::string &text) {
  *why = text;
  return false;
}

// "set door SECONDS [on|off]".
bool BuildDoorArgument(const Words &words, json_t *obj, std::string *why) {
  long seconds;
  if (!ParseInt(words[0], INT_MIN, INT_MAX, &seconds)) return Fail(why, "set door: SECONDS must be an integer");
  json_object_set_new(obj, "timeout", json_integer(seconds));
  if (words.size() < 2) return true;
  if (words[1] != "on" && words[1] != "off") return Fail(why, "set door: expected 'on' or 'off' after SECONDS");
  json_object_set_new(obj, "sip", json_boolean(words[1] == "on"));
  return true;
}

// The argument of "set GROUP ..." from the words after the group.
bool BuildSetArgument(const Group &g, const Words &words, JsonPtr *out, std::string *why) {
  const std::string set = std::string("set ") + g.name;
  if (words.empty()) return Fail(why, set + ": missing value");
  const std::string &first = words[0];
  if (words.size() == 1 && (first == "-" || first[0] == '{')) {
    if (!ParseJsonArgument(first, out, why)) return false;
    return json_is_object(out->get()) || Fail(why, set + ": JSON argument must be an object");
  }
  JsonPtr obj(json_object());
  if (g.roomMember && words.size() == 1) {
    json_object_set_new(obj.get(), g.roomMember, json_string(first.c_str()));
  } else if (!strcmp(g.name, "dtmf") && words.size() <= 2) {
    json_object_set_new(obj.get(), "1", json_string(first.c_str()));
    if (words.size() == 2) json_object_set_new(obj.get(), "2", json_string(words[1].c_str()));
  } else if (!strcmp(g.name, "door") && words.size() <= 2) {
    if (!BuildDoorArgument(words, obj.get(), why)) return false;
  } else {
    return Fail(why, set + ": expected a JSON object");
  }
  *out = std::move(obj);
  return true;
}

bool BuildGetSet(const Words &w, const Options &, Request *r, std::string *why) {
  if (w.size() < 2) return Fail(why, w[0] + ": missing GROUP");
  const Group *g = FindGroup(w[1]);
  if (!g) return Fail(why, "unknown settings group '" + w[1] + "'");
  if (w[0] == "get") {
    r->method = g->getter;
    return w.size() == 2 || Fail(why, "wrong number of arguments for 'get'");
  }
  r->method = g->setter;
  return BuildSetArgument(*g, Words(w.begin() + 2, w.end()), &r->argument, why);
}

bool BuildAccounts(const Words &w, const Options &, Request *r, std::string *why) {
  long flat;
  r->method = "GetSipAccounts";
  if (w.size() == 1) return true;
  if (w[1] == "set") {
    if (w.size() < 3 || !ParseInt(w[2], 0, 65535, &flat)) return Fail(why, "accounts set: FLAT must be a number");
    JsonPtr list(json_array());
    for (size_t i = 3; i < w.size(); ++i) json_array_append_new(list.get(), json_string(w[i].c_str()));
    r->argument.reset(json_object());
    json_object_set_new(r->argument.get(), std::to_string(flat).c_str(), list.release());
    r->method = "SetSipAccounts";
    return true;
  }
  if (w[1] == "load") {
    r->method = "SetSipAccounts";
    return w.size() == 3 ? ParseJsonArgument(w[2], &r->argument, why) : Fail(why, "accounts load: expected JSON");
  }
  if (w[1] == "delete") {
    r->method = "DeleteSipAccounts";
    if (w.size() == 3 && w[2] == "all") {
      r->argument.reset(json_pack("{s:n}", "flat"));
      return true;
    }
    if (w.size() != 3 || !ParseInt(w[2], 0, 65535, &flat))
      return Fail(why, "accounts delete: expected a flat number or 'all'");
    r->argument.reset(json_pack("{s:I}", "flat", json_int_t(flat)));
    return true;
  }
  if (w.size() != 2 || !ParseInt(w[1], 0, 65535, &flat)) return Fail(why, "accounts: FLAT must be a number");
  r->argument.reset(json_pack("{s:I}", "flat", json_int_t(flat)));
  return true;
}

bool BuildAlarm(const Words &w, const Options &o, Request *r, std::string *why) {
  const std::string what = w.size() >= 2 ? w[1] : "";
  if (what == "stop" || what == "status") {
    r->method = what == "stop" ? "StopAlarmNotification" : "AlarmNotificationGetPlayFile";
    return w.size() == 2 || Fail(why, "alarm " + what + ": no arguments expected");
  }
  if (what != "play") return Fail(why, "alarm: expected 'play', 'stop' or 'status'");
  if (w.size() > 3) return Fail(why, "alarm play: unexpected argument '" + w[3] + "'");
  r->argument.reset(json_object());
  if (w.size() == 3) json_object_set_new(r->argument.get(), "name", json_string(w[2].c_str()));
  if (o.text) json_object_set_new(r->argument.get(), "text", json_string(o.text->c_str()));
  if (o.onlyPanel) json_object_set_new(r->argument.get(), "onlyPanel", json_true());
  r->method = "PlayAlarmNotification";
  return true;
}

bool WrongArguments(const Words &w, std::string *why) {
  return Fail(why, "wrong arguments for '" + w[0] + "' (see --help)");
}

// Commands of fixed words that call a method without an argument.
struct Fixed {
  const char *command;
  const char *word;  // null: the command alone
  const char *method;
};

const Fixed kFixed[] = {
    {"reset", "dtmf", "DeleteDtmf"},
    {"reset", "assistant", "DeleteAssistant"},
    {"register-status", nullptr, "GetSipRegisterStatus"},
    {"hangup", nullptr, "HangupActiveCall"},
    {"notification", "status", "NotificationGetPlayFile"},
    {"assistant", "reload", "AssistantMakeFilesList"},
};

bool BuildFixed(const Words &w, const Options &, Request *r, std::string *why) {
  for (const Fixed &f : kFixed) {
    if (w[0] != f.command || (f.word ? w.size() != 2 || w[1] != f.word : w.size() != 1)) continue;
    r->method = f.method;
    return true;
  }
  return WrongArguments(w, why);
}

bool BuildLogLevel(const Words &w, const Options &, Request *r, std::string *why) {
  long level;
  if (w.size() != 2 || !ParseInt(w[1], 1, 5, &level)) return WrongArguments(w, why);
  r->method = "DBusSetLogLevel";
  r->argument.reset(json_pack("{s:I}", "level", json_int_t(level)));
  return true;
}

// "call METHOD [JSON]": any method, as given.
bool BuildCall(const Words &w, const Options &, Request *r, std::string *why) {
  if (w.size() != 2 && w.size() != 3) return WrongArguments(w, why);
  if (!dbus_validate_member(w[1].c_str(), nullptr)) return Fail(why, "call: '" + w[1] + "' is not a method name");
  r->method = w[1];
  return w.size() == 2 || ParseJsonArgument(w[2], &r->argument, why);
}

using Builder = bool (*)(const Words &, const Options &, Request *, std::string *);

const struct {
  const char *command;
  Builder build;
} kCommands[] = {
    {"get", BuildGetSet},         {"set", BuildGetSet},
    {"accounts", BuildAccounts},  {"alarm", BuildAlarm},
    {"log-level", BuildLogLevel}, {"call", BuildCall},
    {"reset", BuildFixed},        {"register-status", BuildFixed},
    {"hangup", BuildFixed},       {"notification", BuildFixed},
    {"assistant", BuildFixed},
};

bool BuildRequest(const Words &w, const Options &o, Request *r, std::string *why) {
  for (const auto &c : kCommands)
    if (w[0] == c.command) return c.build(w, o, r, why);
  return Fail(why, "unknown command '" + w[0] + "'");
}

int PrintRegisterReply(const Request &r, DBusMessage *reply) {
  const unsigned char *bytes = nullptr;
  int count = 0;
  if (!dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, &count, DBUS_TYPE_INVALID) ||
      count != 1) {
    std::cerr << "doralinctl: " << r.method << ": expected a reply of one byte\n";
    return kBusError;
  }
  const bool registered = bytes[0] != 0;
  std::cout << (registered ? "registered" : "not registered") << "\n";
  return registered ? kOk : kRefused;
}

}  // namespace

int RunMethodCommand(const Words &words, const Options &o) {
  Request r;
  std::string why;
  if (!BuildRequest(words, o, &r, &why)) return UsageError(why);
  ConnectionPtr conn = Connect(o);
  if (!conn) return kBusError;
  DBusMessagePtr reply = CallDaemon(conn.get(), o, kMethodInterface, r.method, r.argument.get());
  if (!reply) return kBusError;
  // The registration's state comes as one byte, not as JSON.
  if (r.method == "GetSipRegisterStatus") return PrintRegisterReply(r, reply.get());
  JsonPtr j = ReplyJson(r.method, reply.get());
  if (!j) return kBusError;
  PrintJson(o, j.get());
  return ReplyStatus(r.method, j.get());
}
