#include "bus.h"

#include <algorithm>

#include "ornix.h"

namespace {

void ReadFirstArg(DBusMessage *message, std::optional<std::string> *text, std::vector<uint8_t> *bytes) {
  const char *s = nullptr;
  const uint8_t *data = nullptr;
  int n = 0;
  if (dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &s, DBUS_TYPE_INVALID))
    *text = s;
  else if (dbus_message_get_args(message, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, &n, DBUS_TYPE_INVALID))
    bytes->assign(data, data + n);
}

}  // namespace

DBusMessage *WithArg(DBusMessage *message, const std::optional<std::string> &json) {
  const char *text = json ? json->c_str() : nullptr;
  if (message && text) dbus_message_append_args(message, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  return message;
}

DBusMessage *WithArg(DBusMessage *message, const std::vector<uint8_t> &bytes) {
  static const uint8_t empty = 0;
  const uint8_t *data = bytes.empty() ? &empty : bytes.data();
  if (message)
    dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, int(bytes.size()), DBUS_TYPE_INVALID);
  return message;
}

PrivateBus::PrivateBus(bool exportSystemAddress) {
  std::string socket = dir_.Path("bus.sock"), config = dir_.Path("bus.conf");
  // Our own configuration, so the policy is all-permissive. The daemon prints
  // its address once it listens.
  if (dir_.path().empty() ||
      !WriteFile(config, "<busconfig><type>system</type><listen>unix:path=" + socket +
                             "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow own=\"*\"/><allow eavesdrop=\"true\"/>"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow receive_sender=\"*\"/></policy></busconfig>\n") ||
      !daemon_.Start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config, "--print-address=1"}) ||
      !daemon_.WaitForStdout("\n", Millis(10000)) || !daemon_.Running()) {
    daemon_.Kill();
    return;
  }
  address_ = daemon_.Stdout().substr(0, daemon_.Stdout().find('\n'));
  if (exportSystemAddress) env_ = std::make_unique<ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", address_);
}

BusClient::BusClient(const std::string &address, const std::string &name) {
  const char *env = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  std::string where = address.empty() && env ? env : address;
  DBusError err;
  dbus_error_init(&err);
  conn_ = where.empty() ? nullptr : dbus_connection_open_private(where.c_str(), &err);
  if (conn_) dbus_connection_set_exit_on_disconnect(conn_, FALSE);
  if (conn_ && (!dbus_bus_register(conn_, &err) ||
                (!name.empty() && dbus_bus_request_name(conn_, name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
                                      DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER))) {
    dbus_connection_close(conn_);
    dbus_connection_unref(conn_);
    conn_ = nullptr;
  }
  dbus_error_free(&err);
}

BusReply BusClient::Call(DBusMessage *message, int timeoutMs) {
  BusReply reply;
  DBusError err;
  dbus_error_init(&err);
  DBusMessage *answer =
      conn_ && message ? dbus_connection_send_with_reply_and_block(conn_, message, timeoutMs, &err) : nullptr;
  if (message) dbus_message_unref(message);
  reply.ok = answer != nullptr;
  if (answer) {
    ReadFirstArg(answer, &reply.text, &reply.bytes);
    dbus_message_unref(answer);
  } else {
    reply.error = std::string(err.name ? err.name : "not sent") + ": " + (err.message ? err.message : "");
  }
  dbus_error_free(&err);
  return reply;
}

BusReply BusClient::Call(const std::string &method, const std::optional<std::string> &json, int timeoutMs,
                         const char *iface) {
  return Call(WithArg(dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH,
                                                   iface ? iface : ORNIX_METHOD_IFACE, method.c_str()),
                      json),
              timeoutMs);
}

bool BusClient::Send(DBusMessage *message) {
  bool ok = conn_ && message && dbus_connection_send(conn_, message, nullptr);
  if (message) dbus_message_unref(message);
  if (ok) dbus_connection_flush(conn_);
  return ok;
}

bool BusClient::Subscribe(const std::string &interface) {
  std::string rule = "type='signal'" + (interface.empty() ? "" : ",interface='" + interface + "'");
  DBusError err;
  dbus_error_init(&err);
  if (conn_) dbus_bus_add_match(conn_, rule.c_str(), &err);
  bool ok = conn_ && !dbus_error_is_set(&err);
  dbus_error_free(&err);
  return ok;
}

std::optional<BusSignal> BusClient::WaitForSignal(const std::string &member, Millis timeout, const std::string &text) {
  std::optional<BusSignal> found;
  WaitFor(
      [&] {
        Pump();
        auto it = std::find_if(signals_.begin(), signals_.end(), [&](const BusSignal &s) {
          return (member.empty() || s.member == member) && s.text.value_or("").find(text) != std::string::npos;
        });
        if (it == signals_.end()) return false;
        found = std::move(*it);
        signals_.erase(it);
        return true;
      },
      timeout, Millis(5));
  return found;
}

void BusClient::Pump() {
  if (!conn_) return;
  dbus_connection_read_write(conn_, 0);
  while (DBusMessage *m = dbus_connection_pop_message(conn_)) {
    const char *iface = dbus_message_get_interface(m), *member = dbus_message_get_member(m);
    // The bus's own NameAcquired and similar are not what tests wait for.
    if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL && iface && std::string(iface) != DBUS_INTERFACE_DBUS) {
      signals_.push_back({member ? member : "", {}, {}});
      ReadFirstArg(m, &signals_.back().text, &signals_.back().bytes);
    } else if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL && !dbus_message_get_no_reply(m)) {
      Send(dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "test client"));
    }
    dbus_message_unref(m);
  }
}
