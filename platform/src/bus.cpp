// Bus connection and the JSON / byte-array payload helpers.
#define LOG_MODULE "platform/src/bus"

#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "ornix.h"

namespace {

// Compact JSON text of a value; "{}" for null.
std::string JsonText(json_t *json) {
  if (!json) return "{}";
  char *text = json_dumps(json, JSON_ENCODE_ANY | JSON_COMPACT);
  if (!text) return "{}";
  std::string result(text);
  free(text);
  return result;
}

bool AppendJson(DBusMessage *message, json_t *json) {
  std::string text = JsonText(json);
  const char *p = text.c_str();
  return dbus_message_append_args(message, DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID);
}

bool SendAndFlush(DBusConnection *conn, DBusMessage *message) {
  if (!dbus_connection_send(conn, message, nullptr)) return false;
  dbus_connection_flush(conn);
  return true;
}

}  // namespace

namespace ornix {

DBusConnection *OpenSystemBus(std::string *why) {
  dbus_threads_init_default();
  // Read at each call (libdbus's own system-bus lookup keeps the first address).
  const char *env = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const char *address = env && *env ? env : "unix:path=/var/run/dbus/system_bus_socket";
  DBusError err;
  dbus_error_init(&err);
  DBusConnection *conn = dbus_connection_open_private(address, &err);
  if (conn) dbus_connection_set_exit_on_disconnect(conn, FALSE);
  if (conn && !dbus_bus_register(conn, &err)) {
    DbusClose(conn);
    conn = nullptr;
  }
  why->assign(err.message ? err.message : "");
  dbus_error_free(&err);
  return conn;
}

}  // namespace ornix

DBusConnection *DbusConnect(const char *busName) {
  std::string why;
  DBusConnection *conn = ornix::OpenSystemBus(&why);
  if (!conn) {
    LOG(5, "Bus connection failed: %s", why.empty() ? "unknown error" : why.c_str());
    return nullptr;
  }
  DBusError err;
  dbus_error_init(&err);
  if (busName && *busName) {
    int r = dbus_bus_request_name(conn, busName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &err);
    if (r != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
      LOG(5, "Bus name %s not granted: %s", busName, dbus_error_is_set(&err) ? err.message : "taken");
      dbus_error_free(&err);
      DbusClose(conn);
      return nullptr;
    }
  }
  dbus_bus_add_match(conn, "type='signal',interface='" ORNIX_SIGNAL_IFACE "'", &err);
  if (dbus_error_is_set(&err)) {
    LOG(5, "Bus signal subscription failed: %s", err.message);
    dbus_error_free(&err);
    DbusClose(conn);
    return nullptr;
  }
  return conn;
}

void DbusClose(DBusConnection *conn) {
  if (!conn) return;
  dbus_connection_close(conn);
  dbus_connection_unref(conn);
}

int DbusJsonSignal(DBusConnection *conn, const char *member, json_t *json) {
  if (!conn || !member) return 0;
  DBusMessagePtr m(dbus_message_new_signal(ORNIX_OBJECT_PATH, ORNIX_SIGNAL_IFACE, member));
  if (!m) return 0;
  return (!json || AppendJson(m.get(), json)) && SendAndFlush(conn, m.get()) ? 1 : 0;
}

int DbusJsonMethodCall(DBusConnection *conn, const char *destination, const char *method, json_t *json) {
  if (!conn || !destination || !method) return 0;
  DBusMessagePtr m(dbus_message_new_method_call(destination, ORNIX_OBJECT_PATH, ORNIX_METHOD_IFACE, method));
  if (!m) return 0;
  dbus_message_set_no_reply(m.get(), TRUE);
  return (!json || AppendJson(m.get(), json)) && SendAndFlush(conn, m.get()) ? 1 : 0;
}

json_t *DbusJsonGet(DBusMessage *message) {
  if (!message) return nullptr;
  DBusMessageIter it;
  if (!dbus_message_iter_init(message, &it)) return nullptr;
  int type = dbus_message_iter_get_arg_type(&it);
  if (type == DBUS_TYPE_STRING) {
    const char *text = nullptr;
    dbus_message_iter_get_basic(&it, &text);
    return text ? json_loads(text, JSON_DECODE_ANY, nullptr) : nullptr;
  }
  if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
    DBusMessageIter sub;
    dbus_message_iter_recurse(&it, &sub);
    const char *bytes = nullptr;
    int n = 0;
    dbus_message_iter_get_fixed_array(&sub, &bytes, &n);
    return bytes && n > 0 ? json_loadb(bytes, static_cast<size_t>(n), JSON_DECODE_ANY, nullptr) : nullptr;
  }
  return nullptr;
}

int DbusJsonMethodReply(DBusConnection *conn, DBusMessage *message, json_t *json) {
  if (!conn || !message) return 0;
  if (dbus_message_get_no_reply(message)) return 1;  // the caller asked for no answer
  DBusMessagePtr reply(dbus_message_new_method_return(message));
  if (!reply) return 0;
  return AppendJson(reply.get(), json) && SendAndFlush(conn, reply.get()) ? 1 : 0;
}

json_t *DbusJsonMessageBoolean(json_t *value) {
  return json_pack("{s:b}", "result", json_is_true(value) ? 1 : 0);
}

json_t *Response404(void) { return json_pack("{s:i,s:s}", "error", 404, "message", "Not Found"); }

int DbusArrayGet(DBusMessage *message, uint8_t **bytes) {
  if (bytes) *bytes = nullptr;
  if (!message || !bytes) return 0;
  DBusMessageIter it;
  if (!dbus_message_iter_init(message, &it)) return 0;
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY ||
      dbus_message_iter_get_element_type(&it) != DBUS_TYPE_BYTE)
    return 0;
  DBusMessageIter sub;
  dbus_message_iter_recurse(&it, &sub);
  uint8_t *data = nullptr;
  int n = 0;
  dbus_message_iter_get_fixed_array(&sub, &data, &n);
  if (!data || n <= 0) return 0;
  *bytes = data;
  return n;
}

int DbusArrayAdd(DBusMessage *message, const uint8_t *bytes, int length) {
  if (!message || length < 0 || (length > 0 && !bytes)) return 0;
  static const uint8_t none = 0;
  const uint8_t *data = length > 0 ? bytes : &none;
  return dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, length, DBUS_TYPE_INVALID)
             ? 1
             : 0;
}

void DbusRespSetLogLevelApp(DBusConnection *conn, DBusMessage *message) {
  JsonPtr argument(DbusJsonGet(message));
  json_t *level = json_is_object(argument.get()) ? json_object_get(argument.get(), "level") : nullptr;
  bool ok = json_is_integer(level) && json_integer_value(level) >= 1 && json_integer_value(level) <= 5;
  if (ok) {
    LogSetLevel(static_cast<int>(json_integer_value(level)));
    LOG(3, "Log level set to %d", LogGetLevel());
  } else {
    LOG(4, "DBusSetLogLevel: level 1..5 expected");
  }
  JsonPtr reply(DbusJsonMessageBoolean(ok ? json_true() : json_false()));
  DbusJsonMethodReply(conn, message, reply.get());
}

void DbusOutputMethodName(DBusMessage *message) {
  if (!message) return;
  const char *member = dbus_message_get_member(message);
  const char *iface = dbus_message_get_interface(message);
  LOG(2, "Method %s.%s", iface ? iface : "-", member ? member : "-");
}
