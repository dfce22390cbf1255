// The bus side of doralinctl: connecting, calling the daemon, reading replies.
#include <iostream>

#include "doralinctl.h"

namespace {

// Holds a DBusError and frees it on every path.
struct BusError {
  DBusError e;
  BusError() { dbus_error_init(&e); }
  ~BusError() { dbus_error_free(&e); }
  BusError(const BusError &) = delete;
  BusError &operator=(const BusError &) = delete;
};

void ReportCallError(const Options &o, const std::string &method, const DBusError &e) {
  std::string name = e.name ? e.name : "";
  std::cerr << "doralinctl: " << method << ": ";
  if (name == DBUS_ERROR_SERVICE_UNKNOWN || name == DBUS_ERROR_NAME_HAS_NO_OWNER)
    std::cerr << "the daemon is not running (nobody owns " << o.destination << ")\n";
  else if (name == DBUS_ERROR_ACCESS_DENIED)
    std::cerr << "the bus denied the call (" << e.message << ")\n";
  else if (name == DBUS_ERROR_NO_REPLY || name == DBUS_ERROR_TIMEOUT)
    std::cerr << "no reply within " << o.timeoutMs << " ms\n";
  else
    std::cerr << (e.message ? e.message : "call failed") << " [" << name << "]\n";
}

}  // namespace

ConnectionPtr Connect(const Options &o) {
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
  return ConnectionPtr(c);
}

DBusMessagePtr CallDaemon(DBusConnection *conn, const Options &o, const char *iface, const std::string &method,
                      json_t *argument) {
  DBusMessagePtr call(dbus_message_new_method_call(o.destination.c_str(), kObjectPath, iface, method.c_str()));
  bool built = call != nullptr;
  if (built && argument) {
    char *text = json_dumps(argument, JSON_COMPACT | JSON_ENCODE_ANY);
    const char *arg = text;
    built = text && dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    free(text);
  }
  if (!built) {
    std::cerr << "doralinctl: cannot build the call\n";
    return nullptr;
  }
  BusError err;
  DBusMessagePtr reply(dbus_connection_send_with_reply_and_block(conn, call.get(), o.timeoutMs, &err.e));
  if (!reply) ReportCallError(o, method, err.e);
  return reply;
}

JsonPtr ReplyJson(const std::string &method, DBusMessage *reply) {
  BusError err;
  const char *text = nullptr;
  if (!dbus_message_get_args(reply, &err.e, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) {
    std::cerr << "doralinctl: " << method << ": reply carries no JSON text\n";
    return nullptr;
  }
  JsonPtr j(json_loads(text, JSON_DECODE_ANY, nullptr));
  if (!j) std::cerr << "doralinctl: " << method << ": reply is not JSON: " << text << "\n";
  return j;
}

int ReplyStatus(const std::string &method, json_t *reply) {
  if (json_is_false(json_object_get(reply, "result"))) return kRefused;
  if (json_object_get(reply, "error")) {
    std::cerr << "doralinctl: " << method << ": refused by the daemon\n";
    return kRefused;
  }
  return kOk;
}
