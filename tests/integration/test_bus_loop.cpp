// The bus loop against the real daemon: tables, not-found answers, bad input,
// stray replies, the watchdog, the forced restart and a dropped bus.
#include <gtest/gtest.h>
#include <jansson.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bus.h"
#include "context.h"
#include "daemon.h"
#include "dbus/bus_loop.h"
#include "ornix.h"

namespace {

const char *const kSetters[] = {"SetDtmf", "SetSos", "SetConcierge", "SetFlat0",
                                "SetGateSettings", "SetAssistant", "SetDoorHangupDelay",
                                "SetSipAccounts", "DeleteSipAccounts", "PlayAlarmNotification",
                                "SetSipSettings"};
const char *const kOthers[] = {"GetDtmf", "DeleteDtmf", "GetSos", "GetConcierge", "GetFlat0",
                               "GetSipSettings", "GetGateSettings", "GetAssistant",
                               "DeleteAssistant", "GetRegisterStatus", "HangupActiveCall",
                               "GetDoorHangupDelay", "GetSipAccounts", "DBusSetLogLevel",
                               "NotificationGetPlayFile", "StopAlarmNotification",
                               "AlarmNotificationGetPlayFile", "AssistantMakeFilesList"};
const char *const kSignals[] = {
    "NotificationForcedStop", "NotificationForcedPlay", "UART_EV_DIAL", "UART_EV_SOS",
    "UART_EV_CONCIERGE", "UART_EV_TRYING_CALL", "UART_EV_TRYING_FLAT0", "UART_EV_TRYING_SOS",
    "UART_EV_TRYING_CONCIERGE", "UART_EV_DIAL_GATE", "UART_EV_BYE", "UART_EV_ANSWER",
    "UART_EV_OPEN", "UART_EV_OPEN_HANDSET", "UART_EV_ADD_KEY", "UART_EV_RFID_OPEN",
    "UART_EV_RFID_ANY_KEY_OPEN", "UART_EV_RFID_OPEN_ENC", "UART_EV_RFID_NOT_OPEN",
    "UART_EV_RFID_NOT_OPEN_ENCRYPTION", "UART_EV_KEY_REQUEST_FLAT", "UART_EV_PASS_OPEN",
    "UART_EV_PASS_NOT_OPEN", "UART_EV_TAMPER_ALARM", "UART_EV_NOTIFY_FLAT",
    "UART_EV_ALARM_NOTIFICATION_FLATS"};

json_t *Parse(const BusReply &r) {
  return r.text ? json_loads(r.text->c_str(), 0, nullptr) : nullptr;
}

bool IsNotFound(const BusReply &r) {
  json_t *v = Parse(r);
  bool notFound = json_integer_value(json_object_get(v, "error")) == 404;
  json_decref(v);
  return notFound;
}

// {"result": false}
bool IsFalse(const BusReply &r) {
  json_t *v = Parse(r);
  bool isFalse = json_is_false(json_object_get(v, "result"));
  json_decref(v);
  return isFalse;
}

// {"result": true|false}
bool IsBoolean(const BusReply &r) {
  json_t *v = Parse(r);
  bool isBool = json_is_boolean(json_object_get(v, "result"));
  json_decref(v);
  return isBool;
}

// A method call with a string argument sent without waiting for a reply.
void SendNoReply(Daemon &d, const char *method, const char *json) {
  DBusMessage *m = dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH,
                                                ORNIX_METHOD_IFACE, method);
  dbus_message_append_args(m, DBUS_TYPE_STRING, &json, DBUS_TYPE_INVALID);
  dbus_message_set_no_reply(m, TRUE);
  dbus_connection_send(d.Client(), m, nullptr);
  dbus_connection_flush(d.Client());
  dbus_message_unref(m);
}

// The lag printed in the watchdog's exit record, -1 when there is none.
int ExitLag(const Daemon &d) {
  const std::string prefix = "Detect dbus loop hanging by ";
  for (auto &line : d.Logs()) {
    size_t at = line.find(prefix);
    if (at != std::string::npos && line.find("Exit!") != std::string::npos)
      return atoi(line.c_str() + at + prefix.size());
  }
  return -1;
}

void StartWithHooks(Daemon &d, const std::string &watchdogLimit = "") {
  d.config.env.push_back({"DORALIN_TEST_HOOKS", "1"});
  if (!watchdogLimit.empty()) d.config.env.push_back({"DORALIN_WATCHDOG_LIMIT", watchdogLimit});
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
}

}  // namespace

TEST(BusLoop, TablesNotFoundAndRegisterStatus) {
  Daemon d;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());

  BusReply status = d.Call("GetSipRegisterStatus");
  ASSERT_TRUE(status.ok) << status.error;
  ASSERT_EQ(status.bytes.size(), 1u);
  BusReply reg = d.Call("GetRegisterStatus");
  json_t *regJson = Parse(reg);
  // The byte and the JSON view agree.
  EXPECT_EQ(status.bytes[0] == 1, json_is_true(json_object_get(regJson, "result")));
  json_decref(regJson);

  EXPECT_TRUE(IsNotFound(d.Call("NoSuchMethod", "{}")));
  EXPECT_TRUE(IsNotFound(d.Call("GetDtmf", "{}", 5000, "org.example.Other")));
  // The stall hook is not there without the test switch.
  EXPECT_TRUE(IsNotFound(d.Call("DoralinTestStall", "{\"seconds\":0}")));
  for (const char *m : kSetters) EXPECT_FALSE(IsNotFound(d.Call(m, "no json"))) << m;
  for (const char *m : kOthers) {
    BusReply r = d.Call(m, "{}");
    EXPECT_TRUE(r.ok) << m << " " << r.error;
    EXPECT_FALSE(IsNotFound(r)) << m;
  }
  // Unknown signals are dropped silently; the loop goes on.
  ASSERT_TRUE(d.Signal("NoSuchSignal", std::vector<uint8_t>{1, 2}));
  EXPECT_TRUE(d.Call("GetSipRegisterStatus").ok);
}

TEST(BusLoop, BadInputNeverCrashes) {
  Daemon d;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  for (const char *m : kSetters) {
    SCOPED_TRACE(m);
    // Validation is the handler's; the wrapper must survive and answer.
    auto expected = [&](const BusReply &r) { return IsBoolean(r); };
    for (const char *arg : {"", "not json", "[1,2]", "17", "null", "{\"x\":"})
      EXPECT_TRUE(expected(d.Call(m, std::string(arg))));
    EXPECT_TRUE(expected(d.Call(m)));                       // no argument
    EXPECT_TRUE(expected(d.CallBytes(m, {'{', '}', 0})));  // wrong D-Bus type
  }
  for (const char *m : kOthers) {
    EXPECT_TRUE(d.Call(m).ok) << m;
    EXPECT_TRUE(d.CallBytes(m, {1}).ok) << m;
  }
  // Signals without payload, with an empty one and with a string instead of bytes.
  for (const char *s : kSignals) {
    d.Signal(s, std::nullopt);
    d.Signal(s, std::vector<uint8_t>{});
    d.Bus()->SendJsonSignal(s, std::string("{}"));
  }
  BusReply r = d.Call("GetSipRegisterStatus", std::nullopt, 20000);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(d.Running());
  d.Terminate();
  EXPECT_EQ(d.WaitExit(15000), 1);
  EXPECT_TRUE(d.SanitizerReports().empty()) << ::testing::PrintToString(d.SanitizerReports());
}

// A reply that comes after its caller stopped waiting lands in the loop's
// queue; it must be dropped without holding up the messages behind it. The
// loop runs in a child of this test so that the caller can be this thread.
void LateReplyScenario(const std::string &address) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  setenv("DORALIN_LOG_STDERR", "1", 1);
  LogSetLevel(1);
  CallContext.dbus = DbusConnect("is.ornix.doralin");
  BusClient peer(address, "test.peer");
  if (!CallContext.dbus || !peer.ok()) _exit(3);
  pthread_t loop;
  pthread_create(&loop, nullptr, BusLoop, nullptr);

  DBusMessage *ask = dbus_message_new_method_call("test.peer", "/", "test.Peer", "Ask");
  DBusError err;
  dbus_error_init(&err);
  DBusMessage *answer = dbus_connection_send_with_reply_and_block(CallContext.dbus, ask, 100, &err);
  dbus_message_unref(ask);
  dbus_error_free(&err);
  if (answer) _exit(4);  // nobody answered yet: this must time out
  DBusMessage *call = nullptr;
  for (int i = 0; i < 100 && !call; ++i) {
    dbus_connection_read_write(peer.conn(), 20);
    while (DBusMessage *m = dbus_connection_pop_message(peer.conn())) {
      if (dbus_message_is_method_call(m, "test.Peer", "Ask")) call = m;
      else dbus_message_unref(m);
    }
  }
  if (!call) _exit(5);
  fprintf(stderr, "late reply to %u\n", dbus_message_get_serial(call));
  DBusMessage *late = dbus_message_new_method_return(call);
  dbus_connection_send(peer.conn(), late, nullptr);
  dbus_connection_flush(peer.conn());
  dbus_message_unref(late);
  dbus_message_unref(call);

  // Messages behind the stray reply are still served.
  BusClient client(address);
  for (int i = 0; i < 3; ++i)
    if (!client.CallJson("NoSuchMethod", std::string("{}")).ok) _exit(6);
  fflush(stderr);
  _exit(0);
}

TEST(BusLoopDeathTest, LateReplyIsDropped) {
  PrivateBus bus(false);
  ASSERT_TRUE(bus.ok());
  EXPECT_EXIT(LateReplyScenario(bus.address()), ::testing::ExitedWithCode(0),
              "Dropping a method return nobody waits for \\(reply to [0-9]+\\)");
}

TEST(BusLoop, SlowHandlerWarnsThenWatchdogExits) {
  {
    Daemon d;
    StartWithHooks(d);
    BusReply r = d.Call("DoralinTestStall", "{\"seconds\":5}", 15000);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_GE(d.CountLog("Detect dbus loop hanging by"), 2);
    EXPECT_TRUE(d.HasLog("J4 0 package/src/dbus/bus_loop"));
    EXPECT_FALSE(d.HasLog("Exit!"));
    EXPECT_TRUE(d.Running());
    EXPECT_TRUE(IsFalse(d.Call("DoralinTestStall", "{\"seconds\":\"x\"}")));
  }
  {
    Daemon d;
    StartWithHooks(d, "3");
    SendNoReply(d, "DoralinTestStall", "{\"seconds\":30}");
    EXPECT_EQ(d.WaitExit(15000), 0);
    EXPECT_GT(ExitLag(d), 3);
  }
}

// The real limit, once: a loop stuck past 60 seconds ends the process.
TEST(BusLoop, WatchdogRealLimit) {
  Daemon d;
  StartWithHooks(d);
  SendNoReply(d, "DoralinTestStall", "{\"seconds\":90}");
  EXPECT_EQ(d.WaitExit(75000), 0);
  EXPECT_GT(ExitLag(d), 60);
  EXPECT_LT(ExitLag(d), 64);
  EXPECT_GE(d.CountLog("Detect dbus loop hanging by"), 55);
}

TEST(BusLoop, DroppedBusEndsTheProcess) {
  Daemon d;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  d.KillBus();
  int status = d.WaitExit(10000);
  EXPECT_GT(status, 0);
  EXPECT_LT(status, 128);  // an exit, not a crash
  EXPECT_TRUE(d.HasLog("L5 package/src/dbus/bus_loop"));
  EXPECT_TRUE(d.HasLog("Bus connection lost"));
}

// A server settings change restarts through the interrupt path once the true
// reply is out; a second change in that second starts no second restart.
TEST(BusLoop, ForcedRestartAfterServerChange) {
  Daemon d;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  BusReply got = d.Call("GetSipSettings", "{}");
  json_t *settings = Parse(got);
  ASSERT_TRUE(json_is_object(json_object_get(settings, "remote"))) << got.text.value_or("");
  json_t *remote = json_object_get(settings, "remote");
  json_object_set_new(remote, "domain", json_string("sip.example.test"));
  char *text = json_dumps(settings, JSON_COMPACT);
  BusReply set = d.Call("SetSipSettings", std::string(text));
  json_object_set_new(remote, "domain", json_string("sip2.example.test"));
  char *text2 = json_dumps(settings, JSON_COMPACT);
  BusReply set2 = d.Call("SetSipSettings", std::string(text2));
  free(text);
  free(text2);
  json_decref(settings);
  json_t *reply = Parse(set);
  EXPECT_TRUE(json_is_true(json_object_get(reply, "result"))) << set.text.value_or(set.error);
  json_decref(reply);
  EXPECT_TRUE(set2.ok);
  ASSERT_TRUE(d.WaitLog("Получен сигнал \"2\"", 5000));
  EXPECT_EQ(d.WaitExit(10000), 2);
  int taken = 0;  // system-log records only (the journal has its own copy)
  for (auto &line : d.Logs())
    taken += line.find("L4 package/main/process") != std::string::npos &&
             line.find("Получен сигнал \"2\"") != std::string::npos;
  EXPECT_EQ(taken, 1);

  // The supervisor's next process reads the stored change.
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  BusReply again = d.Call("GetSipSettings", "{}");
  EXPECT_NE(again.text.value_or("").find("sip2.example.test"), std::string::npos);
  EXPECT_TRUE(d.SanitizerReports().empty()) << ::testing::PrintToString(d.SanitizerReports());
}
