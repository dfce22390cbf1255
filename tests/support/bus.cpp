#include "bus.h"

#include <cstring>

namespace {

const char *kPath = "/is/ornix";
const char *kMethodIface = "is.ornix.Method";
const char *kSignalIface = "is.ornix.Signal";

std::string ConfigText(const std::string &socketPath) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>system</type>\n"
         "  <listen>unix:path=" + socketPath + "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n"
         "    <allow own=\"*\"/>\n"
         "    <allow send_type=\"method_call\"/>\n"
         "    <allow send_type=\"signal\"/>\n"
         "    <allow send_type=\"method_return\"/>\n"
         "    <allow send_type=\"error\"/>\n"
         "    <allow receive_type=\"method_call\"/>\n"
         "    <allow receive_type=\"signal\"/>\n"
         "    <allow receive_type=\"method_return\"/>\n"
         "    <allow receive_type=\"error\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

void ReadFirstArg(DBusMessage *message, std::optional<std::string> *text, std::vector<uint8_t> *bytes) {
  DBusMessageIter it;
  if (!dbus_message_iter_init(message, &it)) return;
  int type = dbus_message_iter_get_arg_type(&it);
  if (type == DBUS_TYPE_STRING) {
    const char *s = nullptr;
    dbus_message_iter_get_basic(&it, &s);
    *text = s ? s : "";
  } else if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
    DBusMessageIter sub;
    dbus_message_iter_recurse(&it, &sub);
    const uint8_t *data = nullptr;
    int n = 0;
    dbus_message_iter_get_fixed_array(&sub, &data, &n);
    if (data && n > 0) bytes->assign(data, data + n);
  }
}

bool AppendBytes(DBusMessage *message, const std::vector<uint8_t> &bytes) {
  const uint8_t *data = bytes.data();
  static const uint8_t empty = 0;
  if (!data) data = &empty;
  return dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                  static_cast<int>(bytes.size()), DBUS_TYPE_INVALID);
}

}  // namespace

PrivateBus::PrivateBus(bool exportSystemAddress) {
  if (dir_.path().empty()) return;
  std::string socketPath = dir_.Path("bus.sock");
  std::string config = dir_.Path("bus.conf");
  if (!WriteFile(config, ConfigText(socketPath))) return;
  if (!daemon_.Start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config,
                      "--print-address=1"}))
    return;
  // The daemon prints its address once it listens.
  bool ready = WaitFor(
      [&] { return daemon_.Stdout().find('\n') != std::string::npos || !daemon_.Running(); },
      Millis(10000));
  std::string out = daemon_.Stdout();
  size_t end = out.find('\n');
  if (!ready || end == std::string::npos || !daemon_.Running()) {
    daemon_.Kill();
    return;
  }
  address_ = out.substr(0, end);
  if (exportSystemAddress) env_ = std::make_unique<ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", address_);
}

PrivateBus::~PrivateBus() {
  env_.reset();
  daemon_.Stop(Millis(2000));
}

std::string PrivateBus::EnvEntry() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }

std::string PrivateBus::DaemonLog() const { return daemon_.Stdout() + daemon_.Stderr(); }

BusClient::BusClient(const std::string &address, const std::string &name) {
  std::string where = address;
  if (where.empty()) {
    const char *env = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!env) return;
    where = env;
  }
  DBusError err;
  dbus_error_init(&err);
  DBusConnection *conn = dbus_connection_open_private(where.c_str(), &err);
  if (!conn) {
    dbus_error_free(&err);
    return;
  }
  dbus_connection_set_exit_on_disconnect(conn, FALSE);
  if (!dbus_bus_register(conn, &err)) {
    dbus_error_free(&err);
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return;
  }
  if (!name.empty()) {
    int r = dbus_bus_request_name(conn, name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, &err);
    if (r != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
      dbus_error_free(&err);
      dbus_connection_close(conn);
      dbus_connection_unref(conn);
      return;
    }
  }
  conn_ = conn;
}

BusClient::~BusClient() {
  if (!conn_) return;
  dbus_connection_close(conn_);
  dbus_connection_unref(conn_);
}

std::string BusClient::UniqueName() const {
  const char *n = conn_ ? dbus_bus_get_unique_name(conn_) : nullptr;
  return n ? n : "";
}

BusReply BusClient::Call(DBusMessage *message, int timeoutMs) {
  BusReply reply;
  if (!message) {
    reply.error = "no message";
    return reply;
  }
  if (!conn_) {
    dbus_message_unref(message);
    reply.error = "not connected";
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
  DBusMessage *m = dbus_message_new_method_call(destination.c_str(), kPath, kMethodIface, method.c_str());
  if (m && json) {
    const char *text = json->c_str();
    dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  }
  return Call(m, timeoutMs);
}

BusReply BusClient::CallBytes(const std::string &method, const std::vector<uint8_t> &bytes,
                              const std::string &destination, int timeoutMs) {
  DBusMessage *m = dbus_message_new_method_call(destination.c_str(), kPath, kMethodIface, method.c_str());
  if (m) AppendBytes(m, bytes);
  return Call(m, timeoutMs);
}

bool BusClient::SendSignal(const std::string &member, const std::vector<uint8_t> &bytes) {
  if (!conn_) return false;
  DBusMessage *m = dbus_message_new_signal(kPath, kSignalIface, member.c_str());
  if (!m) return false;
  bool ok = AppendBytes(m, bytes) && dbus_connection_send(conn_, m, nullptr);
  dbus_message_unref(m);
  if (ok) dbus_connection_flush(conn_);
  return ok;
}

bool BusClient::SendJsonSignal(const std::string &member, const std::optional<std::string> &json) {
  if (!conn_) return false;
  DBusMessage *m = dbus_message_new_signal(kPath, kSignalIface, member.c_str());
  if (!m) return false;
  bool ok = true;
  if (json) {
    const char *text = json->c_str();
    ok = dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  }
  ok = ok && dbus_connection_send(conn_, m, nullptr);
  dbus_message_unref(m);
  if (ok) dbus_connection_flush(conn_);
  return ok;
}

bool BusClient::Subscribe(const std::string &interface) {
  if (!conn_) return false;
  std::string rule = "type='signal'";
  if (!interface.empty()) rule += ",interface='" + interface + "'";
  DBusError err;
  dbus_error_init(&err);
  dbus_bus_add_match(conn_, rule.c_str(), &err);
  bool ok = !dbus_error_is_set(&err);
  dbus_error_free(&err);
  return ok;
}

void BusClient::Pump(int timeoutMs) {
  if (!conn_) return;
  dbus_connection_read_write(conn_, timeoutMs);
  for (int i = 0; i < 10000; ++i) {
    DBusMessage *m = dbus_connection_pop_message(conn_);
    if (!m) break;
    if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL) {
      BusSignal s;
      const char *v;
      if ((v = dbus_message_get_interface(m))) s.interface = v;
      if ((v = dbus_message_get_member(m))) s.member = v;
      if ((v = dbus_message_get_path(m))) s.path = v;
      if ((v = dbus_message_get_sender(m))) s.sender = v;
      ReadFirstArg(m, &s.text, &s.bytes);
      // The bus's own NameAcquired and similar are not what tests wait for.
      if (s.interface != DBUS_INTERFACE_DBUS) signals_.push_back(std::move(s));
    } else if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
               !dbus_message_get_no_reply(m)) {
      DBusMessage *e = dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "test client");
      if (e) {
        dbus_connection_send(conn_, e, nullptr);
        dbus_message_unref(e);
      }
    }
    dbus_message_unref(m);
  }
}

std::optional<BusSignal> BusClient::WaitForSignal(const std::string &member, Millis timeout) {
  std::optional<BusSignal> found;
  WaitFor(
      [&] {
        Pump(0);
        for (auto it = signals_.begin(); it != signals_.end(); ++it) {
          if (member.empty() || it->member == member) {
            found = std::move(*it);
            signals_.erase(it);
            return true;
          }
        }
        return false;
      },
      timeout, Millis(5));
  return found;
}

std::vector<BusSignal> BusClient::TakeSignals() {
  Pump(0);
  std::vector<BusSignal> all(std::make_move_iterator(signals_.begin()),
                             std::make_move_iterator(signals_.end()));
  signals_.clear();
  return all;
}

bool BusClient::HasOwner(const std::string &name) {
  if (!conn_) return false;
  DBusError err;
  dbus_error_init(&err);
  bool has = dbus_bus_name_has_owner(conn_, name.c_str(), &err);
  dbus_error_free(&err);
  return has;
}

bool BusClient::WaitForName(const std::string &name, Millis timeout) {
  return WaitFor([&] { return HasOwner(name); }, timeout, Millis(10));
}
