// "settings dump" and "settings restore": every setting and the per-flat
// accounts as one JSON document, read with the getters and put back with the
// setters, which validate it as they validate any caller.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "doralinctl.h"

namespace {

struct Section {
  const char *name;  // member of the document
  const char *getter;
  const char *setter;
};

// Restored in this order. A changed SIP server restarts the daemon about a
// second after its reply, so "sip" comes last; "accounts" is apart.
const Section kSections[] = {
    {"gate", "GetGateSettings", "SetGateSettings"}, {"sos", "GetSos", "SetSos"},
    {"concierge", "GetConcierge", "SetConcierge"},  {"flat0", "GetFlat0", "SetFlat0"},
    {"dtmf", "GetDtmf", "SetDtmf"},                 {"door", "GetDoorHangupDelay", "SetDoorHangupDelay"},
    {"assistant", "GetAssistant", "SetAssistant"},  {"accounts", "GetSipAccounts", "SetSipAccounts"},
    {"sip", "GetSipSettings", "SetSipSettings"},
};

// The JSON reply of `method` (with `argument`); null after telling why.
JsonPtr Call(DBusConnection *conn, const Options &o, const char *method, json_t *argument = nullptr) {
  DBusMessagePtr reply = CallDaemon(conn, o, kMethodInterface, method, argument);
  return reply ? ReplyJson(method, reply.get()) : nullptr;
}

int Dump(DBusConnection *conn, const Options &o) {
  JsonPtr doc(json_object());
  for (const Section &s : kSections) {
    JsonPtr value = Call(conn, o, s.getter);
    if (!value) return kBusError;
    json_object_set(doc.get(), s.name, value.get());
  }
  PrintJson(o, doc.get());
  return kOk;
}

// The setter keeps the flats it is not given, so those missing from the
// document are deleted afterwards: the list then equals the document's.
int RestoreAccounts(DBusConnection *conn, const Options &o, json_t *accounts) {
  JsonPtr reply = Call(conn, o, "SetSipAccounts", accounts);
  if (!reply) return kBusError;
  if (ReplyStatus("SetSipAccounts", reply.get()) != kOk) return kRefused;
  JsonPtr current = Call(conn, o, "GetSipAccounts");
  if (!current) return kBusError;
  const char *flat;
  json_t *list;
  json_object_foreach(current.get(), flat, list) {
    if (json_object_get(accounts, flat)) continue;
    JsonPtr arg(json_pack("{s:I}", "flat", json_int_t(atoll(flat))));
    reply = Call(conn, o, "DeleteSipAccounts", arg.get());
    if (!reply) return kBusError;
    if (ReplyStatus("DeleteSipAccounts", reply.get()) != kOk) return kRefused;
  }
  return kOk;
}

// Leaves "remote" out when it names the server the daemon already has: the
// server setter switches TLS off (TLS is no part of the bus interface), and a
// change restarts the daemon, neither of which an unchanged server should do.
// False on a bus error.
bool DropUnchangedServer(DBusConnection *conn, const Options &o, json_t *sip) {
  JsonPtr current = Call(conn, o, "GetSipSettings");
  if (!current) return false;
  json_t *now = json_object_get(current.get(), "remote"), *wanted = json_object_get(sip, "remote");
  json_object_del(now, "registerStatus");  // the registration's state, not a setting
  json_object_del(wanted, "registerStatus");
  if (json_equal(now, wanted)) json_object_del(sip, "remote");
  return true;
}

int RestoreSection(DBusConnection *conn, const Options &o, const Section &s, json_t *value) {
  const std::string name = s.name;
  if (name == "accounts") return RestoreAccounts(conn, o, value);
  JsonPtr arg(json_deep_copy(value));
  if (name == "sip" && !DropUnchangedServer(conn, o, arg.get())) return kBusError;
  JsonPtr reply = Call(conn, o, s.setter, arg.get());
  return reply ? ReplyStatus(s.setter, reply.get()) : kBusError;
}

int Restore(DBusConnection *conn, const Options &o, json_t *doc) {
  int status = kOk;
  for (const Section &s : kSections) {
    json_t *value = json_object_get(doc, s.name);
    if (!value) continue;  // a partial document restores what it holds
    const int result = RestoreSection(conn, o, s, value);
    if (result == kBusError) return kBusError;
    if (result != kOk) {
      std::cerr << "doralinctl: settings restore: the daemon refused \"" << s.name << "\"\n";
      status = kRefused;
    }
  }
  return status;
}

// The document of FILE ("-": standard input); usage errors before any call.
bool ReadDocument(const std::string &file, JsonPtr *doc, std::string *why) {
  std::string text = "-";
  if (file != "-") {
    std::ifstream in(file);
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (!in) {
      *why = "settings restore: cannot read " + file;
      return false;
    }
    text = buffer.str();
  }
  if (!ParseJsonArgument(text, doc, why)) return false;
  if (!json_is_object(doc->get())) {
    *why = "settings restore: the document must be a JSON object";
    return false;
  }
  const char *name;
  json_t *value;
  json_object_foreach(doc->get(), name, value) {
    bool known = false;
    for (const Section &s : kSections) known = known || std::string(s.name) == name;
    if (!known || !json_is_object(value)) {
      *why = std::string("settings restore: \"") + name + "\" is not a settings object";
      return false;
    }
  }
  return true;
}

}  // namespace

int RunSettings(const std::vector<std::string> &words, const Options &o) {
  const bool dump = words.size() == 2 && words[1] == "dump";
  const bool restore = words.size() == 3 && words[1] == "restore";
  if (!dump && !restore) return UsageError("settings: expected 'dump' or 'restore FILE'");
  JsonPtr doc;
  std::string why;
  if (restore && !ReadDocument(words[2], &doc, &why)) return UsageError(why);
  ConnectionPtr conn = Connect(o);
  if (!conn) return kBusError;
  return dump ? Dump(conn.get(), o) : Restore(conn.get(), o, doc.get());
}
