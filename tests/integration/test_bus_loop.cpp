// The bus loop against the real daemon: not-found answers, bad input, late
// replies, the watchdog, the forced restart and a dropped bus.
#include <gtest/gtest.h>
#include <jansson.h>
#include <pthread.h>
#include <unistd.h>

#include "bus.h"
#include "context.h"
#include "daemon.h"
#include "dbus/bus_loop.h"
#include "ornix.h"

namespace {

const char *const kSetters[] = {"SetDtmf", "SetSos", "SetConcierge", "SetFlat0", "SetGateSettings", "SetAssistant",
                                "SetDoorHangupDelay", "SetSipAccounts", "DeleteSipAccounts",
                                "PlayAlarmNotification", "SetSipSettings"};
const char *const kOthers[] = {"GetDtmf", "DeleteDtmf", "GetSos", "GetConcierge", "GetFlat0", "GetSipSettings",
                               "GetGateSettings", "GetAssistant", "DeleteAssistant", "GetRegisterStatus",
                               "HangupActiveCall", "GetDoorHangupDelay", "GetSipAccounts", "DBusSetLogLevel",
                               "NotificationGetPlayFile", "StopAlarmNotification",
                               "AlarmNotificationGetPlayFile", "AssistantMakeFilesList"};
const char *const kSignals[] = {
    "NotificationForcedStop", "NotificationForcedPlay", "UART_EV_DIAL", "UART_EV_SOS", "UART_EV_CONCIERGE",
    "UART_EV_TRYING_CALL", "UART_EV_TRYING_FLAT0", "UART_EV_TRYING_SOS", "UART_EV_TRYING_CONCIERGE",
    "UART_EV_DIAL_GATE", "UART_EV_BYE", "UART_EV_ANSWER", "UART_EV_OPEN", "UART_EV_OPEN_HANDSET",
    "UART_EV_ADD_KEY", "UART_EV_RFID_OPEN", "UART_EV_RFID_ANY_KEY_OPEN", "UART_EV_RFID_OPEN_ENC",
    "UART_EV_RFID_NOT_OPEN", "UART_EV_RFID_NOT_OPEN_ENCRYPTION", "UART_EV_KEY_REQUEST_FLAT",
    "UART_EV_PASS_OPEN", "UART_EV_PASS_NOT_OPEN", "UART_EV_TAMPER_ALARM", "UART_EV_NOTIFY_FLAT",
    "UART_EV_ALARM_NOTIFICATION_FLATS"};

// A member of the reply's JSON object, serialised ("" when absent).
std::string Member(const BusReply &r, const char *key) {
  json_t *v = r.text ? json_loads(r.text->c_str(), 0, nullptr) : nullptr;
  char *text = json_dumps(json_object_get(v, key), JSON_ENCODE_ANY);
  std::string out = text ? text : "";
  free(text);
  json_decref(v);
  return out;
}

bool IsNotFound(const BusReply &r) { return Member(r, "error") == "404"; }
bool IsBoolean(const BusReply &r) {
  std::string v = Member(r, "result");
  return v == "true" || v == "false";
}

// The lag printed in the watchdog's exit record, -1 when there is none.
int ExitLag(const Daemon &d) {
  const std::string prefix = "Detect dbus loop hanging by ";
  for (auto &line : d.Logs())
    if (line.find(prefix) != std::string::npos && line.find("Exit!") != std::string::npos)
      return atoi(line.c_str() + line.find(prefix) + prefix.size());
  return -1;
}

}  // namespace

// Ends with a server change: the forced restart goes through the interrupt
// path after the true reply; a second change within that second starts no
// second restart.
TEST(BusLoop, NotFoundBadInputAndForcedRestart) {
  Daemon d;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  EXPECT_TRUE(IsNotFound(d.Call("NoSuchMethod", "{}")));
  EXPECT_TRUE(IsNotFound(d.Call("GetDtmf", "{}", 5000, "org.example.Other")));
  EXPECT_TRUE(IsNotFound(d.Call("DoralinTestStall", "{\"seconds\":0}")));  // hooks off
  EXPECT_EQ(d.Call("GetSipRegisterStatus").bytes, std::vector<uint8_t>{0});  // no registrar here

  // Validation is the handlers'; the wrappers survive and give a boolean.
  for (const char *m : kSetters) {
    SCOPED_TRACE(m);
    for (const char *arg : {"", "not json", "[1,2]", "17", "null", "{\"x\":"})
      EXPECT_TRUE(IsBoolean(d.Call(m, std::string(arg))));
    EXPECT_TRUE(IsBoolean(d.Call(m)));                       // no argument
    EXPECT_TRUE(IsBoolean(d.CallBytes(m, {'{', '}', 0})));  // wrong D-Bus type
  }
  for (const char *m : kOthers) {
    BusReply r = d.CallBytes(m, {1});
    EXPECT_TRUE(r.ok && !IsNotFound(r)) << m;
  }
  // Signals without payload, with an empty one and with a string; unknown ones.
  for (const char *s : kSignals) {
    d.Signal(s, std::nullopt);
    d.Signal(s, std::vector<uint8_t>{});
    d.Bus()->SendJsonSignal(s, std::string("{}"));
  }
  d.Signal("NoSuchSignal", std::vector<uint8_t>{1, 2});
  BusReply r = d.Call("GetSipRegisterStatus", std::nullopt, 20000);
  EXPECT_TRUE(r.ok) << r.error;

  BusReply first = d.Call("SetSipSettings", "{\"remote\":{\"domain\":\"sip.example.test\"}}");
  BusReply second = d.Call("SetSipSettings", "{\"remote\":{\"domain\":\"sip2.example.test\"}}");
  EXPECT_EQ(Member(first, "result"), "true") << first.text.value_or(first.error);
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(d.WaitExit(10000), 2);
  int taken = 0;  // system-log records only (the journal has its own copy)
  for (auto &line : d.Logs())
    taken += line.rfind("L4 package/main/process", 0) == 0 && line.find("Получен сигнал \"2\"") != std::string::npos;
  EXPECT_EQ(taken, 1);
  EXPECT_TRUE(d.SanitizerReports().empty()) << ::testing::PrintToString(d.SanitizerReports());
}

// A reply that comes after its caller gave up lands in the loop's queue; it is
// dropped and the messages behind it are served. The loop runs in a child of
// the test so that this thread can be the caller that gave up.
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
  DBusMessage *answer =
      dbus_connection_send_with_reply_and_block(CallContext.dbus, ask, 100, nullptr);
  dbus_message_unref(ask);
  if (answer) _exit(4);
  DBusMessage *call = nullptr;
  for (int i = 0; i < 100 && !call; ++i) {
    dbus_connection_read_write(peer.conn(), 20);
    while (DBusMessage *m = dbus_connection_pop_message(peer.conn()))
      if (!call && dbus_message_is_method_call(m, "test.Peer", "Ask")) call = m;
      else dbus_message_unref(m);
  }
  if (!call) _exit(5);
  peer.Send(dbus_message_new_method_return(call));
  dbus_message_unref(call);
  BusClient client(address);
  for (int i = 0; i < 3; ++i)
    if (!client.CallJson("NoSuchMethod", std::string("{}")).ok) _exit(6);
  _exit(0);
}

TEST(BusLoopDeathTest, LateReplyIsDropped) {
  PrivateBus bus(false);
  ASSERT_TRUE(bus.ok());
  EXPECT_EXIT(LateReplyScenario(bus.address()), ::testing::ExitedWithCode(0),
              "Dropping a method return nobody waits for \\(reply to [0-9]+\\)");
}

// A slow handler warns and the loop goes on; one stuck past the 60-second
// limit ends the process.
TEST(BusLoop, SlowHandlerWarnsThenWatchdogExits) {
  Daemon d;
  d.config.env.push_back({"DORALIN_TEST_HOOKS", "1"});
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  BusReply r = d.Call("DoralinTestStall", "{\"seconds\":5}", 15000);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_GE(d.CountLog("L4 package/src/dbus/bus_loop"), 2);
  EXPECT_GE(d.CountLog("J4 0 package/src/dbus/bus_loop"), 2);
  EXPECT_EQ(ExitLag(d), -1);
  EXPECT_TRUE(d.Running());

  DBusMessage *m = WithArg(dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH, ORNIX_METHOD_IFACE,
                                                        "DoralinTestStall"),
                           std::string("{\"seconds\":90}"));
  dbus_message_set_no_reply(m, TRUE);
  ASSERT_TRUE(d.Bus()->Send(m));
  EXPECT_EQ(d.WaitExit(75000), 0);
  EXPECT_GT(ExitLag(d), 60);
  EXPECT_LT(ExitLag(d), 64);
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
}
