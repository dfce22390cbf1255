// MCU commands: method calls to the panel's UART service.
//
// Commands travel on a private connection of the library's own, not on the
// caller's. The caller's connection is polled by the daemon's bus loop, which
// borrows the first queued message; a method return for a blocking call would
// pass through that same queue and could be taken from under the loop. On the
// library's connection no one else reads, and every command (with or without
// an answer) keeps its order towards the MCU.
#define LOG_MODULE "platform/src/uart"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "ornix.h"

namespace {

std::mutex g_mutex;
DBusConnection *g_link = nullptr;
std::string g_linkAddress;

void DropLinkLocked() {
  if (!g_link) return;
  DbusClose(g_link);
  g_link = nullptr;
  g_linkAddress.clear();
}

// The library's connection to the bus named by DBUS_SYSTEM_BUS_ADDRESS (or the
// default system bus), opened on first use and again after a change or a drop.
DBusConnection *LinkLocked() {
  const char *env = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  std::string address = env ? env : "";
  if (g_link && (address != g_linkAddress || !dbus_connection_get_is_connected(g_link))) DropLinkLocked();
  if (g_link) return g_link;
  std::string why;
  DBusConnection *conn = ornix::OpenSystemBus(&why);
  if (!conn) {
    LOG(4, "MCU link: %s", why.empty() ? "no bus" : why.c_str());
    return nullptr;
  }
  g_link = conn;
  g_linkAddress = address;
  return g_link;
}

// Drops what the bus sent to the link unasked (NameAcquired and the like).
void DrainLocked(DBusConnection *conn) {
  dbus_connection_read_write(conn, 0);
  for (int i = 0; i < 64; ++i) {
    DBusMessagePtr dropped(dbus_connection_pop_message(conn));
    if (!dropped) break;
  }
}

DBusMessagePtr NewCommand(const char *method, const std::vector<uint8_t> *bytes) {
  DBusMessagePtr m(dbus_message_new_method_call(ORNIX_UART_SERVICE, ORNIX_OBJECT_PATH, ORNIX_METHOD_IFACE, method));
  if (m && bytes && !DbusArrayAdd(m.get(), bytes->data(), static_cast<int>(bytes->size()))) m.reset();
  return m;
}

// Sends without waiting. Non-zero when the command left.
int Post(DBusConnection *conn, const char *method, const std::vector<uint8_t> *bytes) {
  if (!conn) return 0;
  DBusMessagePtr m = NewCommand(method, bytes);
  if (!m) return 0;
  dbus_message_set_no_reply(m.get(), TRUE);
  std::lock_guard<std::mutex> lock(g_mutex);
  DBusConnection *link = LinkLocked();
  DBusConnection *via = link ? link : conn;
  bool ok = dbus_connection_send(via, m.get(), nullptr);
  if (ok) dbus_connection_flush(via);
  if (link) DrainLocked(link);
  if (!ok) LOG(4, "%s not sent", method);
  return ok ? 1 : 0;
}

// The answer's bytes: a byte array, or one byte, boolean or 32-bit number
// taken as a byte. False when the answer holds none of those.
bool AnswerBytes(DBusMessage *reply, std::vector<uint8_t> *answer) {
  DBusMessageIter it;
  if (!dbus_message_iter_init(reply, &it)) return false;
  const int type = dbus_message_iter_get_arg_type(&it);
  if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
    uint8_t *data = nullptr;
    const int n = DbusArrayGet(reply, &data);
    answer->assign(data, data + n);
  } else if (type == DBUS_TYPE_BYTE) {
    uint8_t v = 0;
    dbus_message_iter_get_basic(&it, &v);
    answer->push_back(v);
  } else if (type == DBUS_TYPE_BOOLEAN) {
    dbus_bool_t v = FALSE;
    dbus_message_iter_get_basic(&it, &v);
    answer->push_back(v ? 1 : 0);
  } else if (type == DBUS_TYPE_INT32 || type == DBUS_TYPE_UINT32) {
    dbus_uint32_t v = 0;
    dbus_message_iter_get_basic(&it, &v);
    answer->push_back(static_cast<uint8_t>(v));
  } else {
    return false;
  }
  return true;
}

// Sends and waits for the answer's bytes. False on error, timeout or no MCU.
bool Ask(DBusConnection *conn, const char *method, const std::vector<uint8_t> *bytes,
         std::vector<uint8_t> *answer) {
  answer->clear();
  if (!conn) return false;
  DBusMessagePtr m = NewCommand(method, bytes);
  if (!m) return false;
  DBusError err;
  dbus_error_init(&err);
  DBusMessagePtr reply;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    DBusConnection *link = LinkLocked();
    reply.reset(dbus_connection_send_with_reply_and_block(link ? link : conn, m.get(), ORNIX_UART_TIMEOUT_MS, &err));
    if (link) DrainLocked(link);
  }
  if (!reply) {
    LOG(4, "%s: %s", method, err.message ? err.message : "no answer");
    dbus_error_free(&err);
    return false;
  }
  const bool ok = AnswerBytes(reply.get(), answer);
  if (!ok) LOG(4, "%s: answer without bytes", method);
  return ok;
}

// Non-zero when the MCU answered with a non-zero first byte.
int AskFlag(DBusConnection *conn, const char *method, const std::vector<uint8_t> *bytes) {
  std::vector<uint8_t> answer;
  if (!Ask(conn, method, bytes, &answer) || answer.empty()) return 0;
  return answer[0] != 0 ? 1 : 0;
}

}  // namespace

int UartSendCommandStart(DBusConnection *conn, int mode) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(mode)};
  return Post(conn, "UartSendCommandStart", &bytes);
}

int UartSendCommandBye(DBusConnection *conn) { return Post(conn, "UartSendCommandBye", nullptr); }

int UartSendCommandByeWithState(DBusConnection *conn, unsigned callState) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(callState)};
  return Post(conn, "UartSendCommandByeWithState", &bytes);
}

int UartSendCommandError(DBusConnection *conn) { return Post(conn, "UartSendCommandError", nullptr); }

int UartSendCommandCall(DBusConnection *conn, uint16_t flat) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(flat & 0xff), static_cast<uint8_t>(flat >> 8)};
  std::vector<uint8_t> answer;
  if (!Ask(conn, "UartSendCommandCall", &bytes, &answer) || answer.empty()) return 1;
  return answer[0];
}

int UartSendCommandOpenByIDWithSource(DBusConnection *conn, int door, int source) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(door), static_cast<uint8_t>(source)};
  return AskFlag(conn, "UartSendCommandOpenByIDWithSource", &bytes);
}

int UartSendCommandReply(DBusConnection *conn, uint8_t *buffer, int length) {
  if (!buffer || length <= 0) return 0;
  std::vector<uint8_t> bytes(buffer, buffer + length);
  std::vector<uint8_t> answer;
  if (!Ask(conn, "UartSendCommandReply", &bytes, &answer)) return 0;
  size_t n = answer.size() < static_cast<size_t>(length) ? answer.size() : static_cast<size_t>(length);
  if (n) memcpy(buffer, answer.data(), n);
  return 1;
}

int UartSendCommandPlayAlarmNotification(DBusConnection *conn, int onlyPanel, const uint8_t *text, int length) {
  if (length < 0 || (length > 0 && !text)) return 0;
  std::vector<uint8_t> bytes{static_cast<uint8_t>(onlyPanel ? 1 : 0)};
  if (length > 0) bytes.insert(bytes.end(), text, text + length);
  return AskFlag(conn, "UartSendCommandPlayAlarmNotification", &bytes);
}

int UartSendCommandReplayAlarmNotification(DBusConnection *conn) {
  return AskFlag(conn, "UartSendCommandReplayAlarmNotification", nullptr);
}

int UartSendCommandStopAlarmNotification(DBusConnection *conn) {
  return AskFlag(conn, "UartSendCommandStopAlarmNotification", nullptr);
}

int UartSetOfflineAssistantDelimiter(DBusConnection *conn, uint8_t mark) {
  std::vector<uint8_t> bytes{mark};
  return Post(conn, "UartSetOfflineAssistantDelimiter", &bytes);
}
