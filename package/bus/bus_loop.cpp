#define LOG_MODULE "package/src/dbus/bus_loop"
#include "bus/bus_loop.h"

#include <atomic>
#include <poll.h>
#include <time.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bus/status.h"
#include "bus/supervisor.h"
#include "context/context.h"
#include "context/threads.h"
#include "media/assistant.h"
#include "ornix.h"
#include "panel/call_events.h"
#include "panel/door_events.h"
#include "settings/accounts.h"
#include "settings/settings_methods.h"

BusStopOperations busStop;

namespace {

// Second of the loop's latest turn (written by BusLoop) and of the watchdog's
// latest look (written by BusWatchdog), on the monotonic clock: a step of
// the wall clock is no stall of the loop.
std::atomic<time_t> busHeartbeat{0};
std::atomic<time_t> watchdogNow{0};
// Set once by ForcedRestartThread; never cleared.
std::atomic<int> forcedRestartStarted{0};

constexpr useconds_t kTurnPause = 35000;
constexpr int kWatchdogLimit = 60;

time_t MonotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}
// libdbus takes at most 2 KiB off the socket per read; this many reads cover
// the largest message the bus lets through.
constexpr int kReadsPerTurn = 65536;

// Type of the message's first argument (DBUS_TYPE_INVALID when none).
int FirstArgType(DBusMessage *message, int *elementType = nullptr) {
  DBusMessageIter it;
  if (!dbus_message_iter_init(message, &it)) return DBUS_TYPE_INVALID;
  int type = dbus_message_iter_get_arg_type(&it);
  if (elementType && type == DBUS_TYPE_ARRAY)
    *elementType = dbus_message_iter_get_element_type(&it);
  return type;
}

// The call's JSON argument, or null when it is missing, not a string or not JSON.
json_t *JsonArgument(DBusMessage *message) {
  if (FirstArgType(message) != DBUS_TYPE_STRING) return nullptr;
  return DbusJsonGet(message);
}

// Reads until a whole message is queued or the socket has nothing more. One
// read per turn would take a 1 MB message some 500 turns (about 18 s), with
// every other caller kept waiting. False when the connection is gone.
bool ReadIncoming(DBusConnection *conn) {
  int fd = -1;
  if (!dbus_connection_get_socket(conn, &fd)) return dbus_connection_read_write(conn, 0);
  for (int i = 0; i < kReadsPerTurn; i++) {
    if (!dbus_connection_read_write(conn, 0)) return false;
    if (dbus_connection_get_dispatch_status(conn) != DBUS_DISPATCH_COMPLETE) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
  }
  return true;
}

struct Bytes {
  uint8_t *data = nullptr;
  int length = 0;
};

// The signal's byte array; empty when missing or of another type.
Bytes ByteArgument(DBusMessage *message) {
  Bytes b;
  int element = DBUS_TYPE_INVALID;
  if (FirstArgType(message, &element) != DBUS_TYPE_ARRAY || element != DBUS_TYPE_BYTE) return b;
  b.length = DbusArrayGet(message, &b.data);
  if (b.length <= 0 || b.data == nullptr) b = Bytes{};
  return b;
}

void SendBoolean(DBusMessage *message, bool value) {
  JsonPtr reply(DbusJsonMessageBoolean(value ? json_true() : json_false()));
  DbusJsonMethodReply(CallContext.dbus, message, reply.get());
}

void ReplyNotFound(DBusMessage *message) {
  DbusOutputMethodName(message);
  JsonPtr reply(Response404());
  DbusJsonMethodReply(CallContext.dbus, message, reply.get());
}

// Dispatch wrappers: run the handler and send its reply on CallContext.dbus.
void ReplyJsonGetter(DBusMessage *message, json_t *(*getter)(DBusMessage *)) {
  JsonPtr value(getter(message));
  DbusJsonMethodReply(CallContext.dbus, message, value.get());
}

void ReplyJsonSetter(DBusMessage *message, bool (*setter)(json_t *)) {
  JsonPtr arg(JsonArgument(message));
  // The setter sees an unreadable argument too, as null, and records its own
  // refusal; nothing is set without one, and the caller is told so.
  bool ok = setter(arg.get()) && arg != nullptr;
  SendBoolean(message, ok);
}

void ReplyBooleanAction(DBusMessage *message, bool (*action)(DBusMessage *)) {
  SendBoolean(message, action(message));
}

void GetSipRegisterStatusReply(DBusMessage *message) {
  DBusMessagePtr reply(dbus_message_new_method_return(message));
  if (reply == nullptr) {
    LOG_BOTH(5, "Ошибка создания ответа со статусом sip регистрации");
    return;
  }
  const uint8_t status = CallContext.registerStatus ? 1 : 0;
  if (!DbusArrayAdd(reply.get(), &status, 1))
    LOG_BOTH(5, "Ошибка создания ответа со статусом sip регистрации");
  else if (!dbus_connection_send(CallContext.dbus, reply.get(), nullptr))
    LOG_BOTH(5, "Ошибка отправки ответа со статусом sip регистрации");
}

void HangupActiveCallMethod(DBusMessage *message) {
  bool ok = HangupActiveCall();
  if (!ok) LOG(1, "HangupActiveCall: unhandled state %d", int(CallContext.state));
  SendBoolean(message, ok);
}

struct MethodEntry {
  const char *member;
  json_t *(*getter)(DBusMessage *) = nullptr;
  bool (*setter)(json_t *) = nullptr;
  bool (*action)(DBusMessage *) = nullptr;
  void (*own)(DBusMessage *) = nullptr;
};

void SetLogLevelMethod(DBusMessage *message) { DbusRespSetLogLevelApp(CallContext.dbus, message); }

const MethodEntry kMethods[] = {
    {.member = "GetDtmf", .getter = GetDtmfJson},
    {.member = "SetDtmf", .setter = SetDtmfJson},
    {.member = "DeleteDtmf", .action = DeleteDtmf},
    {.member = "GetSos", .getter = GetSosJson},
    {.member = "SetSos", .setter = SetSosJson},
    {.member = "GetConcierge", .getter = GetConciergeJson},
    {.member = "SetConcierge", .setter = SetConciergeJson},
    {.member = "GetFlat0", .getter = GetFlat0Json},
    {.member = "SetFlat0", .setter = SetFlat0Json},
    {.member = "GetSipSettings", .getter = GetSipSettingsJson},
    {.member = "SetSipSettings", .setter = SetSipSettingsJson},
    {.member = "GetGateSettings", .getter = GetGateSettingsJson},
    {.member = "SetGateSettings", .setter = SetGateSettingsJson},
    {.member = "GetAssistant", .getter = GetAssistantJson},
    {.member = "SetAssistant", .setter = SetAssistantJson},
    {.member = "DeleteAssistant", .action = DeleteAssistant},
    {.member = "GetRegisterStatus", .getter = GetRegisterStatusJson},
    {.member = "GetSipRegisterStatus", .own = GetSipRegisterStatusReply},
    {.member = "HangupActiveCall", .own = HangupActiveCallMethod},
    {.member = "GetDoorHangupDelay", .getter = GetDoorHangupDelay},
    {.member = "SetDoorHangupDelay", .setter = SetDoorHangupDelay},
    {.member = "GetSipAccounts", .own = GetSipAccounts},
    {.member = "SetSipAccounts", .setter = SetSipAccounts},
    {.member = "DeleteSipAccounts", .setter = DeleteSipAccounts},
    {.member = "DBusSetLogLevel", .own = SetLogLevelMethod},
    {.member = "NotificationGetPlayFile", .getter = NotificationGetPlayFile},
    {.member = "PlayAlarmNotification", .setter = PlayAlarmNotification},
    {.member = "StopAlarmNotification", .getter = StopAlarmNotification},
    {.member = "AlarmNotificationGetPlayFile", .getter = AlarmNotificationGetPlayFile},
    {.member = "AssistantMakeFilesList", .getter = AssistantMakeFilesList},
};

struct SignalEntry {
  const char *member;
  void (*handler)(const char *member, const Bytes &payload);
};

#define PHRASE(type) [](const char *m, const Bytes &b) { PlayPanelEventPhrase(b.data, b.length, type, m); }

const SignalEntry kSignals[] = {
    {"NotificationForcedStop", [](const char *, const Bytes &) { NotificationForcedStop(); }},
    {"NotificationForcedPlay",
     [](const char *, const Bytes &b) {
       if (b.length > 0) StartForcedNotification(b.data, b.length);
     }},
    {"UART_EV_DIAL", [](const char *m, const Bytes &b) { CallHandler(m, b.data, b.length, COMMON); }},
    {"UART_EV_SOS", [](const char *m, const Bytes &b) { CallHandler(m, b.data, b.length, SOS); }},
    {"UART_EV_CONCIERGE",
     [](const char *m, const Bytes &b) { CallHandler(m, b.data, b.length, CONCIERGE); }},
    {"UART_EV_TRYING_CALL",
     [](const char *m, const Bytes &b) { TryingCallHandler(m, b.data, b.length, COMMON); }},
    {"UART_EV_TRYING_FLAT0",
     [](const char *m, const Bytes &b) { TryingCallHandler(m, b.data, b.length, SOS); }},
    {"UART_EV_TRYING_SOS",
     [](const char *m, const Bytes &b) { TryingCallHandler(m, b.data, b.length, SOS); }},
    {"UART_EV_TRYING_CONCIERGE",
     [](const char *m, const Bytes &b) { TryingCallHandler(m, b.data, b.length, CONCIERGE); }},
    {"UART_EV_DIAL_GATE", [](const char *m, const Bytes &b) { UartEvDialGate(m, b.data, b.length); }},
    {"UART_EV_BYE", [](const char *, const Bytes &) { UartEvBye(); }},
    {"UART_EV_ANSWER", [](const char *, const Bytes &) { UartEvAnswer(); }},
    {"UART_EV_OPEN", [](const char *, const Bytes &b) { UartEvOpen(b.data, b.length); }},
    {"UART_EV_OPEN_HANDSET", [](const char *, const Bytes &) { UartEvOpenHandset(); }},
    {"UART_EV_ADD_KEY", PHRASE(AT_ADD_KEY)},
    {"UART_EV_RFID_OPEN", PHRASE(AT_KEY_OPEN)},
    {"UART_EV_RFID_ANY_KEY_OPEN", PHRASE(AT_ANY_KEY_OPEN)},
    {"UART_EV_RFID_OPEN_ENC", PHRASE(AT_KEY_OPEN)},
    {"UART_EV_RFID_NOT_OPEN", PHRASE(AT_KEY_NOT_OPEN)},
    {"UART_EV_RFID_NOT_OPEN_ENCRYPTION", PHRASE(AT_KEY_NOT_OPEN)},
    {"UART_EV_KEY_REQUEST_FLAT", PHRASE(AT_KEY_REQUEST_FLAT)},
    {"UART_EV_PASS_OPEN", PHRASE(AT_PASS_OPEN)},
    {"UART_EV_PASS_NOT_OPEN", PHRASE(AT_PASS_NOT_OPEN)},
    {"UART_EV_TAMPER_ALARM", PHRASE(AT_TAMPER_ALARM)},
    {"UART_EV_NOTIFY_FLAT", [](const char *, const Bytes &b) { UartEvFlatNotify(b.data, b.length); }},
    {"UART_EV_ALARM_NOTIFICATION_FLATS", PHRASE(AT_ALARM_NOTIFICATION)},
    {"REBOOT", [](const char *, const Bytes &) { busStop.terminate(15, false); }},
    {"UDHCPC_BOUND", [](const char *, const Bytes &) { busStop.terminate(15, true); }},
};

#undef PHRASE

void ServeMethod(DBusMessage *message) {
  if (ServeStatusInterfaces(message)) return;
  for (const MethodEntry &e : kMethods) {
    if (!dbus_message_is_method_call(message, ORNIX_METHOD_IFACE, e.member)) continue;
    if (e.getter) ReplyJsonGetter(message, e.getter);
    else if (e.setter) ReplyJsonSetter(message, e.setter);
    else if (e.action) ReplyBooleanAction(message, e.action);
    else e.own(message);
    return;
  }
  if (testHooks.stallLoop &&
      dbus_message_is_method_call(message, ORNIX_METHOD_IFACE, testHooks.stallMethod)) {
    ReplyJsonSetter(message, testHooks.stallLoop);
    return;
  }
  ReplyNotFound(message);
}

void ServeSignal(DBusMessage *message) {
  for (const SignalEntry &e : kSignals) {
    if (!dbus_message_is_signal(message, ORNIX_SIGNAL_IFACE, e.member)) continue;
    e.handler(e.member, ByteArgument(message));
    return;
  }
}

// Serves one incoming message (method call, signal or error) on this thread;
// the caller keeps and releases the message.
void DispatchBusMessage(DBusMessage *message) {
  switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
      ServeMethod(message);
      break;
    case DBUS_MESSAGE_TYPE_SIGNAL:
      ServeSignal(message);
      break;
    default:  // errors and stray returns are dropped
      break;
  }
}

// Exit status after the bus connection dropped, apart from every planned
// stop, so that the supervisor counts it as a failure.
constexpr int kLostBusExit = EX_UNAVAILABLE;

// Takes the first queued message off at once (nothing stays borrowed across
// turns), serves it and releases it. False when the queue was empty.
bool ServeNextMessage(DBusConnection *conn) {
  DBusMessagePtr message(dbus_connection_pop_message(conn));
  if (message == nullptr) return false;
  if (dbus_message_get_type(message.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN) {
    // Replies that a caller waits for go to its pending call, never to this
    // queue; one found here has no reader and would block the queue.
    LOG(1, "Dropping a method return nobody waits for (reply to %u)",
        dbus_message_get_reply_serial(message.get()));
  } else {
    DispatchBusMessage(message.get());
  }
  return true;
}

void *ForcedRestartThread(void *) {
  forcedRestartStarted = 1;
  sleep(1);
  busStop.signal(2);
  return nullptr;
}

}  // namespace

void *BusLoop(void *) {
  for (;;) {
    busHeartbeat = MonotonicSeconds();
    SupervisorHeartbeat();
    SendStateSignals();
    // The turn's pause comes before the read, so a message that arrives
    // during it is served in the same turn (at most one pause of delay).
    usleep(kTurnPause);
    DBusConnection *conn = CallContext.dbus;
    // A dropped connection would leave the loop turning with nothing to
    // serve; a fresh process reconnects.
    if (!ReadIncoming(conn) || !dbus_connection_get_is_connected(conn)) {
      LOG_BOTH(5, "Bus connection lost, exiting for a restart");
      ExitProcess(kLostBusExit);
    }
    if (!ServeNextMessage(conn)) continue;
    if (CallContext.restartRequested && forcedRestartStarted == 0)
      StartDetached(ForcedRestartThread);
  }
  return nullptr;
}

void *BusWatchdog(void *) {
  // The loop thread may not have turned yet.
  time_t expected = 0;
  busHeartbeat.compare_exchange_strong(expected, MonotonicSeconds());
  for (;;) {
    sleep(1);
    watchdogNow = MonotonicSeconds();
    long lag = long(watchdogNow - busHeartbeat);
    if (lag <= 1) continue;
    LOG_BOTH(4, "Detect dbus loop hanging by %d secs", int(lag));
    lag = long(watchdogNow - busHeartbeat);
    if (lag <= kWatchdogLimit) continue;
    LOG_BOTH(4, "Detect dbus loop hanging by %d secs. Exit!", int(lag));
    ExitProcess(0);
  }
  return nullptr;
}
