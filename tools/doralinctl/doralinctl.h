// Shared by the doralinctl source files: options, holders, bus helpers and
// the commands.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ornix.h"  // JsonPtr, DBusMessagePtr

enum ExitCode { kOk = 0, kRefused = 1, kUsage = 2, kBusError = 3 };

constexpr const char *kBusName = "is.ornix.doralin";
constexpr const char *kObjectPath = "/is/ornix";
constexpr const char *kMethodInterface = "is.ornix.Method";
constexpr const char *kStatusInterface = "is.ornix.doralin.Status";

struct ConnectionDeleter {
  void operator()(DBusConnection *c) const {
    dbus_connection_close(c);
    dbus_connection_unref(c);
  }
};
using ConnectionPtr = std::unique_ptr<DBusConnection, ConnectionDeleter>;

struct Options {
  std::string address;  // empty: the system (or session) bus
  bool session = false;
  int timeoutMs = 5000;
  bool compact = false;
  std::string destination = kBusName;
  // Options of single commands, accepted anywhere on the line.
  std::optional<std::string> text;  // alarm play
  bool onlyPanel = false;           // alarm play
  std::optional<std::string> since, code, limit;  // journal
};

// ---- helpers (doralinctl.cpp) ----
int UsageError(const std::string &text);
bool ParseInt(const std::string &text, long min, long max, long *out);
// A JSON command-line argument; "-" reads standard input.
bool ParseJsonArgument(const std::string &text, JsonPtr *out, std::string *why);
// Indented, or compact with -c.
void PrintJson(const Options &o, json_t *value);

// ---- bus (bus.cpp) ----
// The bus of the options; null after telling why on standard error.
ConnectionPtr Connect(const Options &o);
// Calls `method` of `iface` on the daemon with `argument` (JSON text as a
// string argument, none when null). The reply; null after telling why.
DBusMessagePtr CallDaemon(DBusConnection *conn, const Options &o, const char *iface, const std::string &method,
                      json_t *argument);
// The JSON text a reply carries; null after telling why.
JsonPtr ReplyJson(const std::string &method, DBusMessage *reply);
// Exit status of a JSON reply: refused for {"result": false} and not-found.
int ReplyStatus(const std::string &method, json_t *reply);

// ---- commands ----
int RunMethodCommand(const std::vector<std::string> &words, const Options &o);  // requests.cpp
int RunStatus(const std::vector<std::string> &words, const Options &o);         // status.cpp
int RunWatch(const std::vector<std::string> &words, const Options &o);          // status.cpp
int RunJournal(const std::vector<std::string> &words, const Options &o);        // journal.cpp
int RunSettings(const std::vector<std::string> &words, const Options &o);       // settings.cpp
int RunStore(const std::vector<std::string> &words, const Options &o);          // store.cpp
