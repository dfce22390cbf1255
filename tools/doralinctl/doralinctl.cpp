// doralinctl: command-line client for the doralin daemon's bus methods.
//
// Every method of the daemon takes at most one JSON text as a D-Bus string
// argument and answers with one JSON text; "GetSipRegisterStatus" answers with
// a single byte. Exit status: 0 done, 1 refused by the daemon (false result or
// not-found answer; "not registered" for register-status), 2 usage error,
// 3 bus error (no connection, no daemon, call denied, no reply, bad reply).
// The "store" commands work on the device store directly, without the bus, so
// settings can be prepared while the daemon is stopped.
#include <dbus/dbus.h>
#include <jansson.h>

#include "ornix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char *kBusName = "is.ornix.doralin";
constexpr const char *kObjectPath = "/is/ornix";
constexpr const char *kInterface = "is.ornix.Method";

enum ExitCode { kOk = 0, kRefused = 1, kUsage = 2, kBusError = 3 };

struct JsonDeleter {
  void operator()(json_t *j) const { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonDeleter>;

struct MessageDeleter {
  void operator()(DBusMessage *m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageDeleter>;

struct ConnectionDeleter {
  void operator()(DBusConnection *c) const {
    dbus_connection_close(c);
    dbus_connection_unref(c);
  }
};
using Connection = std::unique_ptr<DBusConnection, ConnectionDeleter>;

// Holds a DBusError and frees it on every path.
struct BusError {
  DBusError e;
  BusError() { dbus_error_init(&e); }
  ~BusError() { dbus_error_free(&e); }
  BusError(const BusError &) = delete;
  BusError &operator=(const BusError &) = delete;
};

struct Options {
  std::string address;  // empty: the system (or session) bus
  bool session = false;
  int timeoutMs = 5000;
  bool compact = false;
  std::string destination = kBusName;
};

enum class ReplyKind { kJson, kRegisterByte };

// One bus call the command line asked for.
struct Request {
  std::string method;
  Json argument;  // null: the call carries no argument
  ReplyKind kind = ReplyKind::kJson;
};

const char kUsageText[] =
    "Usage: doralinctl [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Talks to the doralin daemon (bus name is.ornix.doralin) on the system bus.\n"
    "\n"
    "Options:\n"
    "  -a, --address ADDR   connect to the bus at ADDR (e.g. unix:path=/tmp/bus)\n"
    "                       instead of the system bus ($DBUS_SYSTEM_BUS_ADDRESS)\n"
    "      --session        use the session bus\n"
    "  -t, --timeout MS     reply timeout in milliseconds (default 5000)\n"
    "  -c, --compact        print replies as compact JSON\n"
    "      --dest NAME      bus name of the daemon (default is.ornix.doralin)\n"
    "  -h, --help           show this text\n"
    "\n"
    "Commands (JSON may be given as '-' to read it from standard input):\n"
    "  get GROUP                 show settings; GROUP is one of\n"
    "                            sip gate sos concierge flat0 dtmf door assistant\n"
    "  set GROUP JSON            change settings with a JSON object\n"
    "  set sos|concierge|flat0 ADDRESS\n"
    "                            set a service room address\n"
    "  set dtmf DIGIT1 [DIGIT2]  set the door-opening DTMF keys\n"
    "  set door SECONDS [on|off] set the hang-up delay after a door opening\n"
    "  reset dtmf|assistant      return DTMF keys or assistant flags to defaults\n"
    "  accounts [FLAT]           show all per-flat SIP accounts, or one flat's\n"
    "  accounts set FLAT [ACCOUNT...]\n"
    "                            replace one flat's accounts (none: empty list)\n"
    "  accounts load JSON        merge an object {\"FLAT\": [ACCOUNT...], ...}\n"
    "  accounts delete FLAT|all  remove one flat's accounts, or every flat's\n"
    "  register-status           'registered' (exit 0) or 'not registered' (exit 1)\n"
    "  hangup                    end the active call\n"
    "  alarm play [FILE] [--text TEXT] [--only-panel]\n"
    "                            start an alarm notification\n"
    "  alarm stop                stop the alarm notification\n"
    "  alarm status              show the alarm file and whether it plays\n"
    "  notification status       show the forced notification being played\n"
    "  assistant reload          re-read the assistant phrase directories\n"
    "  log-level LEVEL           set the daemon's log level (1 trace .. 5 error)\n"
    "  call METHOD [JSON]        call any method of is.ornix.Method\n"
    "\n"
    "Offline commands (the device store, section doralin, under $DORALIN_ROOT;\n"
    "the daemon reads it at start, so restart it afterwards):\n"
    "  store get KEY             print the stored value (exit 1 when missing)\n"
    "  store set KEY VALUE       store VALUE as JSON, or as a string when it is\n"
    "                            not JSON\n"
    "\n"
    "Exit status: 0 done, 1 refused by the daemon, 2 usage error, 3 bus error.\n";

int UsageError(const std::string &text) {
  std::cerr << "doralinctl: " << text << "\n"
            << "Try 'doralinctl --help'.\n";
  return kUsage;
}

bool ReadAll(FILE *f, std::string *out) {
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  return !ferror(f);
}

// Parses a JSON command-line argument ('-' reads standard input).
bool ParseJsonArgument(const std::string &text, Json *out, std::string *why) {
  std::string source = text;
  if (text == "-") {
    source.clear();
    if (!ReadAll(stdin, &source)) {
      *why = "cannot read JSON from standard input";
      return false;
    }
  }
  json_error_t err;
  json_t *j = json_loadb(source.data(), source.size(), JSON_DECODE_ANY, &err);
  if (!j) {
    *why = std::string("invalid JSON argument: ") + err.text;
    return false;
  }
  out->reset(j);
  return true;
}

bool ParseInt(const std::string &text, long min, long max, long *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

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

// Builds the argument of "set GROUP ..." from the words after the group.
bool BuildSetArgument(const Group &g, const std::vector<std::string> &words,
                      Json *out, std::string *why) {
  if (words.empty()) {
    *why = std::string("set ") + g.name + ": missing value";
    return false;
  }
  const std::string &first = words[0];
  if (words.size() == 1 && (first == "-" || first[0] == '{')) {
    if (!ParseJsonArgument(first, out, why)) return false;
    if (!json_is_object(out->get())) {
      *why = std::string("set ") + g.name + ": JSON argument must be an object";
      return false;
    }
    return true;
  }
  Json obj(json_object());
  if (g.roomMember && words.size() == 1) {
    json_object_set_new(obj.get(), g.roomMember, json_string(first.c_str()));
  } else if (!strcmp(g.name, "dtmf") && words.size() <= 2) {
    json_object_set_new(obj.get(), "1", json_string(first.c_str()));
    if (words.size() == 2) json_object_set_new(obj.get(), "2", json_string(words[1].c_str()));
  } else if (!strcmp(g.name, "door") && words.size() <= 2) {
    long seconds;
    if (!ParseInt(first, INT_MIN, INT_MAX, &seconds)) {
      *why = "set door: SECONDS must be an integer";
      return false;
    }
    json_object_set_new(obj.get(), "timeout", json_integer(seconds));
    if (words.size() == 2) {
      if (words[1] != "on" && words[1] != "off") {
        *why = "set door: expected 'on' or 'off' after SECONDS";
        return false;
      }
      json_object_set_new(obj.get(), "sip", json_boolean(words[1] == "on"));
    }
  } else {
    *why = std::string("set ") + g.name + ": expected a JSON object";
    return false;
  }
  *out = std::move(obj);
  return true;
}

// Turns the command words into one bus call.
bool BuildRequest(const std::vector<std::string> &w, Request *r, std::string *why) {
  auto need = [&](size_t min, size_t max) {
    if (w.size() >= min && w.size() <= max) return true;
    *why = "wrong number of arguments for '" + w[0] + "'";
    return false;
  };
  const std::string &cmd = w[0];
  if (cmd == "get" || cmd == "set") {
    if (w.size() < 2) {
      *why = cmd + ": missing GROUP";
      return false;
    }
    const Group *g = FindGroup(w[1]);
    if (!g) {
      *why = "unknown settings group '" + w[1] + "'";
      return false;
    }
    if (cmd == "get") {
      if (!need(2, 2)) return false;
      r->method = g->getter;
      return true;
    }
    r->method = g->setter;
    return BuildSetArgument(*g, std::vector<std::string>(w.begin() + 2, w.end()),
                            &r->argument, why);
  }
  if (cmd == "reset") {
    if (!need(2, 2)) return false;
    if (w[1] == "dtmf") r->method = "DeleteDtmf";
    else if (w[1] == "assistant") r->method = "DeleteAssistant";
    else {
      *why = "reset: expected 'dtmf' or 'assistant'";
      return false;
    }
    return true;
  }
  if (cmd == "accounts") {
    long flat;
    if (w.size() == 1) {
      r->method = "GetSipAccounts";
      return true;
    }
    if (w[1] == "set") {
      if (w.size() < 3 || !ParseInt(w[2], 0, 65535, &flat)) {
        *why = "accounts set: FLAT must be a number";
        return false;
      }
      Json list(json_array());
      for (size_t i = 3; i < w.size(); ++i) json_array_append_new(list.get(), json_string(w[i].c_str()));
      r->argument.reset(json_object());
      json_object_set_new(r->argument.get(), std::to_string(flat).c_str(), list.release());
      r->method = "SetSipAccounts";
      return true;
    }
    if (w[1] == "load") {
      if (!need(3, 3) || !ParseJsonArgument(w[2], &r->argument, why)) return false;
      r->method = "SetSipAccounts";
      return true;
    }
    if (w[1] == "delete") {
      if (!need(3, 3)) return false;
      r->argument.reset(json_object());
      if (w[2] == "all") {
        json_object_set_new(r->argument.get(), "flat", json_null());
      } else if (ParseInt(w[2], 0, 65535, &flat)) {
        json_object_set_new(r->argument.get(), "flat", json_integer(flat));
      } else {
        *why = "accounts delete: expected a flat number or 'all'";
        return false;
      }
      r->method = "DeleteSipAccounts";
      return true;
    }
    if (!need(2, 2) || !ParseInt(w[1], 0, 65535, &flat)) {
      *why = "accounts: FLAT must be a number";
      return false;
    }
    r->argument.reset(json_pack("{sI}", "flat", (json_int_t)flat));
    r->method = "GetSipAccounts";
    return true;
  }
  if (cmd == "register-status") {
    if (!need(1, 1)) return false;
    r->method = "GetSipRegisterStatus";
    r->kind = ReplyKind::kRegisterByte;
    return true;
  }
  if (cmd == "hangup") {
    if (!need(1, 1)) return false;
    r->method = "HangupActiveCall";
    return true;
  }
  if (cmd == "alarm") {
    if (w.size() < 2) {
      *why = "alarm: expected 'play', 'stop' or 'status'";
      return false;
    }
    if (w[1] == "stop" || w[1] == "status") {
      if (!need(2, 2)) return false;
      r->method = w[1] == "stop" ? "StopAlarmNotification" : "AlarmNotificationGetPlayFile";
      return true;
    }
    if (w[1] != "play") {
      *why = "alarm: expected 'play', 'stop' or 'status'";
      return false;
    }
    r->argument.reset(json_object());
    bool haveName = false;
    for (size_t i = 2; i < w.size(); ++i) {
      if (w[i] == "--only-panel") {
        json_object_set_new(r->argument.get(), "onlyPanel", json_true());
      } else if (w[i] == "--text") {
        if (++i == w.size()) {
          *why = "alarm play: --text needs a value";
          return false;
        }
        json_object_set_new(r->argument.get(), "text", json_string(w[i].c_str()));
      } else if (!haveName && (w[i].empty() || w[i][0] != '-')) {
        json_object_set_new(r->argument.get(), "name", json_string(w[i].c_str()));
        haveName = true;
      } else {
        *why = "alarm play: unexpected argument '" + w[i] + "'";
        return false;
      }
    }
    r->method = "PlayAlarmNotification";
    return true;
  }
  if (cmd == "notification") {
    if (!need(2, 2) || w[1] != "status") {
      *why = "notification: expected 'status'";
      return false;
    }
    r->method = "NotificationGetPlayFile";
    return true;
  }
  if (cmd == "assistant") {
    if (!need(2, 2) || w[1] != "reload") {
      *why = "assistant: expected 'reload'";
      return false;
    }
    r->method = "AssistantMakeFilesList";
    return true;
  }
  if (cmd == "log-level") {
    long level;
    if (!need(2, 2) || !ParseInt(w[1], 1, 5, &level)) {
      *why = "log-level: LEVEL must be 1 to 5";
      return false;
    }
    r->argument.reset(json_pack("{sI}", "level", (json_int_t)level));
    r->method = "DBusSetLogLevel";
    return true;
  }
  if (cmd == "call") {
    if (!need(2, 3)) return false;
    if (!dbus_validate_member(w[1].c_str(), nullptr)) {
      *why = "call: '" + w[1] + "' is not a valid method name";
      return false;
    }
    r->method = w[1];
    if (w[1] == "GetSipRegisterStatus") r->kind = ReplyKind::kRegisterByte;
    return w.size() == 2 || ParseJsonArgument(w[2], &r->argument, why);
  }
  *why = "unknown command '" + cmd + "'";
  return false;
}

// "store get|set": exit status as for the bus commands (1: key missing, 3: the
// store could not be read or written).
int RunStore(const std::vector<std::string> &w, const Options &o) {
  constexpr const char *kSection = "doralin";
  if (w.size() < 2 || (w[1] != "get" && w[1] != "set")) return UsageError("store: expected 'get' or 'set'");
  if (w[1] == "get") {
    if (w.size() != 3) return UsageError("store get: expected KEY");
    Json value(StoreGetVariable(nullptr, kSection, w[2].c_str()));
    if (!value) {
      std::cerr << "doralinctl: store: no value for " << w[2] << "\n";
      return kRefused;
    }
    char *out = json_dumps(value.get(), JSON_ENCODE_ANY | (o.compact ? JSON_COMPACT : JSON_INDENT(2)));
    std::cout << (out ? out : "") << "\n";
    free(out);
    return kOk;
  }
  if (w.size() != 4 || w[2].empty()) return UsageError("store set: expected KEY VALUE");
  Json value(json_loads(w[3].c_str(), JSON_DECODE_ANY, nullptr));
  if (!value) value.reset(json_string(w[3].c_str()));
  if (!value) return UsageError("store set: VALUE is not valid UTF-8 text");
  if (!StoreSetVariable(nullptr, kSection, w[2].c_str(), value.get())) {
    std::cerr << "doralinctl: store: cannot write " << w[2] << " to " << RootPath("/var/lib/ornix/store.db")
              << "\n";
    return kBusError;
  }
  return kOk;
}

Connection Connect(const Options &o) {
  BusError err;
  DBusConnection *c = nullptr;
  if (!o.address.empty()) {
    c = dbus_connection_open_private(o.address.c_str(), &err.e);
    if (c && !dbus_bus_register(c, &err.e)) {
      dbus_connection_close(c);
      dbus_connection_unref(c);
      c = nullptr;
    }
  } else {
    c = dbus_bus_get_private(o.session ? DBUS_BUS_SESSION : DBUS_BUS_SYSTEM, &err.e);
  }
  if (!c) {
    std::string where = !o.address.empty() ? o.address : o.session ? "the session bus" : "the system bus";
    std::cerr << "doralinctl: cannot connect to " << where << ": "
              << (dbus_error_is_set(&err.e) ? err.e.message : "unknown error") << "\n";
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(c, FALSE);
  return Connection(c);
}

int ReportBusError(const Options &o, const Request &r, const DBusError &e) {
  std::string name = e.name ? e.name : "";
  std::cerr << "doralinctl: " << r.method << ": ";
  if (name == DBUS_ERROR_SERVICE_UNKNOWN || name == DBUS_ERROR_NAME_HAS_NO_OWNER)
    std::cerr << "the daemon is not running (nobody owns " << o.destination << ")\n";
  else if (name == DBUS_ERROR_ACCESS_DENIED)
    std::cerr << "the bus denied the call (" << e.message << ")\n";
  else if (name == DBUS_ERROR_NO_REPLY || name == DBUS_ERROR_TIMEOUT)
    std::cerr << "no reply within " << o.timeoutMs << " ms\n";
  else
    std::cerr << (e.message ? e.message : "call failed") << " [" << name << "]\n";
  return kBusError;
}

int PrintJsonReply(const Options &o, const Request &r, DBusMessage *reply) {
  BusError err;
  const char *text = nullptr;
  if (!dbus_message_get_args(reply, &err.e, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) {
    std::cerr << "doralinctl: " << r.method << ": reply carries no JSON text\n";
    return kBusError;
  }
  json_error_t jerr;
  Json j(json_loads(text, JSON_DECODE_ANY, &jerr));
  if (!j) {
    std::cerr << "doralinctl: " << r.method << ": reply is not JSON: " << text << "\n";
    return kBusError;
  }
  char *out = json_dumps(j.get(), JSON_ENCODE_ANY | (o.compact ? JSON_COMPACT : JSON_INDENT(2)));
  std::cout << (out ? out : text) << "\n";
  free(out);
  json_t *result = json_object_get(j.get(), "result");
  if (json_is_false(result)) return kRefused;
  if (json_object_get(j.get(), "error")) {
    std::cerr << "doralinctl: " << r.method << ": refused by the daemon\n";
    return kRefused;
  }
  return kOk;
}

int PrintRegisterReply(const Request &r, DBusMessage *reply) {
  BusError err;
  const unsigned char *bytes = nullptr;
  int count = 0;
  if (!dbus_message_get_args(reply, &err.e, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, &count,
                             DBUS_TYPE_INVALID) ||
      count != 1) {
    std::cerr << "doralinctl: " << r.method << ": expected a reply of one byte\n";
    return kBusError;
  }
  bool registered = bytes[0] != 0;
  std::cout << (registered ? "registered" : "not registered") << "\n";
  return registered ? kOk : kRefused;
}

int Run(const Options &o, const Request &r) {
  Connection conn = Connect(o);
  if (!conn) return kBusError;
  Message call(dbus_message_new_method_call(o.destination.c_str(), kObjectPath, kInterface,
                                            r.method.c_str()));
  if (!call) {
    std::cerr << "doralinctl: out of memory\n";
    return kBusError;
  }
  if (r.argument) {
    char *text = json_dumps(r.argument.get(), JSON_COMPACT | JSON_ENCODE_ANY);
    const char *arg = text;
    bool ok = text && dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    free(text);
    if (!ok) {
      std::cerr << "doralinctl: cannot build the call\n";
      return kBusError;
    }
  }
  BusError err;
  Message reply(dbus_connection_send_with_reply_and_block(conn.get(), call.get(), o.timeoutMs, &err.e));
  if (!reply) return ReportBusError(o, r, err.e);
  return r.kind == ReplyKind::kRegisterByte ? PrintRegisterReply(r, reply.get())
                                            : PrintJsonReply(o, r, reply.get());
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (!words.empty()) {
      words.push_back(a);  // options end at the command
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsageText;
      return kOk;
    } else if (a == "-a" || a == "--address") {
      if (!value(&o.address) || o.address.empty()) return UsageError(a + " needs an address");
    } else if (a.rfind("--address=", 0) == 0) {
      o.address = a.substr(10);
    } else if (a == "--session") {
      o.session = true;
    } else if (a == "-t" || a == "--timeout") {
      std::string t;
      long ms;
      if (!value(&t) || !ParseInt(t, 1, INT_MAX, &ms)) return UsageError(a + " needs a positive number of milliseconds");
      o.timeoutMs = static_cast<int>(ms);
    } else if (a == "-c" || a == "--compact") {
      o.compact = true;
    } else if (a == "--dest") {
      if (!value(&o.destination) || !dbus_validate_bus_name(o.destination.c_str(), nullptr))
        return UsageError("--dest needs a valid bus name");
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option '" + a + "'");
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return UsageError("missing command");
  if (words[0] == "store") return RunStore(words, o);
  Request r;
  std::string why;
  if (!BuildRequest(words, &r, &why)) return UsageError(why);
  return Run(o, r);
}
