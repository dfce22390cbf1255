#include "bus.h"

namespace {

const char *kPath = "/is/ornix";

void ReadFirstArg(DBusMessage *message, std::optional<std::string> *text, std::vector<uint8_t> *bytes) {
  DBusMessageIter it, sub;
  if (!dbus_message_iter_init(message, &it)) return;
  int type = dbus_message_iter_get_arg_type(&it);
  if (type == DBUS_TYPE_STRING) {
    const char *s = nullptr;
    dbus_message_iter_get_basic(&it, &s);
    *text = s ? s : "";
  } else if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
    dbus_message_iter_recurse(&it, &sub);
    const uint8_t *data = nullptr;
    int n = 0;
    dbus_message_iter_get_fixed_array(&sub, &data, &n);
    if (data && n > 0) bytes->assign(data, data + n);
  }
}

DBusMessage *MethodCall(const std::string &destination, const std::string &method) {
  return dbus_message_new_method_call(destination.c_str(), kPath, "is.ornix.Method", method.c_str());
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
    dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, int(bytes.size()),
                             DBUS_TYPE_INVALID);
  return message;
}

PrivateBus::PrivateBus(bool exportSystemAddress) {
  std::string socket = dir_.Path("bus.sock"), config = dir_.Path("bus.conf");
  // Our own configuration, so the policy is all-permissive.
  if (dir_.path().empty() ||
      !WriteFile(config, "<busconfig><type>system</type><listen>unix:path=" + socket +
                             "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow own=\"*\"/><allow eavesdrop=\"true\"/>"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow receive_sender=\"*\"/></policy></busconfig>\n") ||
      !daemon_.Start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config,
                      "--print-address=1"}))
    return;
  // The daemon prints its address once it listens.
  WaitFor([&] { return daemon_.Stdout().find('\n') != std::string::npos || !daemon_.Running(); },
          Millis(10000));
  std::string out = daemon_.Stdout();
  if (out.find('\n') == std::string::npos || !daemon_.Running()) {
    daemon_.Kill();
    return;
  }
  address_ = out.substr(0, out.find('\n'));
  if (exportSystemAddress) env_ = std::make_unique<ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", address_);
}

PrivateBus::~PrivateBus() {
  env_.reset();
  daemon_.Stop(Millis(2000));
}

BusClient::BusClient(const std::string &address, const std::string &name) {
  const char *env = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  std::string where = address.empty() && env ? env : address;
  if (where.empty()) return;
  DBusError err;
  dbus_error_init(&err);
  conn_ = dbus_connection_open_private(where.c_str(), &err);
  if (conn_) dbus_connection_set_exit_on_disconnect(conn_, FALSE);
  if (conn_ && (!dbus_bus_register(conn_, &err) ||
                (!name.empty() && dbus_bus_request_name(conn_, name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE,
                                                        &err) != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER))) {
    dbus_connection_close(conn_);
    dbus_connection_unref(conn_);
    conn_ = nullptr;
  }
  dbus_error_free(&err);
}

BusClient::~BusClient() {
  if (!conn_) return;
  dbus_connection_close(conn_);
  dbus_connection_unref(conn_);
}

BusReply BusClient::Call(DBusMessage *message, int timeoutMs) {
  BusReply reply;
  if (!message || !conn_) {
    if (message) dbus_message_unref(message);
    reply.error = message ? "not connected" : "no message";
    return reply;
  }
  DBusError err;
  dbus_error_init(&err);
  DBusMessage *answer = dbus_connection_send_with_reply_and_block(conn_, message, timeoutMs, &err);
  dbus_message_unref(message);
  if (!answer) {
    reply.error = std::string(err.name ? err.name : "error") + ": " + (err.message ? err.message : "");
    dbus_error_free(&err);
    return reply;
  }
  reply.ok = true;
  ReadFirstArg(answer, &reply.text, &reply.bytes);
  dbus_message_unref(answer);
  return reply;
}

BusReply BusClient::CallJson(const std::string &method, const std::optional<std::string> &json,
                             const std::string &destination, int timeoutMs) {
  return Call(WithArg(MethodCall(destination, method), json), timeoutMs);
}

BusReply BusClient::CallBytes(const std::string &method, const std::vector<uint8_t> &bytes,
                              const std::string &destination, int timeoutMs) {
  return Call(WithArg(MethodCall(destination, method), bytes), timeoutMs);
}

bool BusClient::Send(DBusMessage *message) {
  bool ok = conn_ && message && dbus_connection_send(conn_, message, nullptr);
  if (message) dbus_message_unref(message);
  if (ok) dbus_connection_flush(conn_);
  return ok;
}

bool BusClient::SendSignal(const std::string &member, const std::vector<uint8_t> &bytes) {
  return Send(WithArg(dbus_message_new_signal(kPath, "is.ornix.Signal", member.c_str()), bytes));
}

bool BusClient::SendJsonSignal(const std::string &member, const std::optional<std::string> &json) {
  return Send(WithArg(dbus_message_new_signal(kPath, "is.ornix.Signal", member.c_str()), json));
}

bool BusClient::Subscribe(const std::string &interface) {
  if (!conn_) return false;
  std::string rule = "type='signal'" + (interface.empty() ? "" : ",interface='" + interface + "'");
  DBusError err;
  dbus_error_init(&err);
  dbus_bus_add_match(conn_, rule.c_str(), &err);
  bool ok = !dbus_error_is_set(&err);
  dbus_error_free(&err);
  return ok;
}

void BusClient::Pump() {
  if (!conn_) return;
  dbus_connection_read_write(conn_, 0);
  while (DBusMessage *m = dbus_connection_pop_message(conn_)) {
    const char *iface = dbus_message_get_interface(m), *member = dbus_message_get_member(m);
    // The bus's own NameAcquired and similar are not what tests wait for.
    if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL && iface &&
        std::string(iface) != DBUS_INTERFACE_DBUS) {
      BusSignal s{iface, member ? member : "", {}, {}};
      ReadFirstArg(m, &s.text, &s.bytes);
      signals_.push_back(std::move(s));
    } else if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL && !dbus_message_get_no_reply(m)) {
      Send(dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "test client"));
    }
    dbus_message_unref(m);
  }
}

std::optional<BusSignal> BusClient::WaitForSignal(const std::string &member, Millis timeout) {
  std::optional<BusSignal> found;
  WaitFor(
      [&] {
        Pump();
        for (auto it = signals_.begin(); it != signals_.end(); ++it)
          if (member.empty() || it->member == member) {
            found = std::move(*it);
            signals_.erase(it);
            return true;
          }
        return false;
      },
      timeout, Millis(5));
  return found;
}
