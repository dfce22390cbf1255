// MCU commands, bus payload helpers and panel-sim on a private bus.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "ornix.h"
#include "panel_sim.h"
#include "process.h"

using Bytes = std::vector<uint8_t>;

TEST(PanelSim, McuCommandsEventsAndASharedConnection) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok());
  DBusConnection *conn = DbusConnect("is.ornix.doralin");
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(DbusConnect("is.ornix.doralin"), nullptr);  // the name is owned once only
  // Nobody owns the UART service yet, or there is no connection at all.
  uint8_t reply[3] = {0x06, 0x00, 0x21};
  EXPECT_NE(UartSendCommandCall(conn, 1), 0);
  EXPECT_FALSE(UartSendCommandOpenByIDWithSource(conn, 1, 9));
  EXPECT_FALSE(UartSendCommandReply(conn, reply, 3));
  EXPECT_EQ(reply[1], 0);
  EXPECT_FALSE(UartSendCommandReplayAlarmNotification(conn));
  EXPECT_NE(UartSendCommandCall(nullptr, 1), 0);
  EXPECT_FALSE(UartSendCommandBye(nullptr));

  PanelSim sim(bus, {"--gain", "42"});
  ASSERT_TRUE(sim.Start()) << sim.process().Stderr();
  EXPECT_TRUE(UartSendCommandStart(conn, 0));
  EXPECT_EQ(UartSendCommandCall(conn, 0x0c0a), 0);  // taken
  ASSERT_TRUE(sim.Command("silent UartSendCommandCall"));
  EXPECT_NE(UartSendCommandCall(conn, 5), 0);  // never answered: gives up by itself
  ASSERT_TRUE(sim.Command("loud UartSendCommandCall"));
  ASSERT_TRUE(sim.Command("call refuse"));
  EXPECT_NE(UartSendCommandCall(conn, 12), 0);
  EXPECT_TRUE(UartSendCommandOpenByIDWithSource(conn, 1, 9));
  ASSERT_TRUE(sim.Command("door fail"));
  EXPECT_FALSE(UartSendCommandOpenByIDWithSource(conn, 2, 10));
  EXPECT_TRUE(UartSendCommandReply(conn, reply, 3));
  EXPECT_EQ(reply[1], 42);
  const uint8_t line[] = {0xCF, 0xF0};
  EXPECT_TRUE(UartSendCommandPlayAlarmNotification(conn, 1, line, 2));
  ASSERT_TRUE(sim.Command("alarm fail"));
  EXPECT_FALSE(UartSendCommandStopAlarmNotification(conn));
  EXPECT_TRUE(UartSetOfflineAssistantDelimiter(conn, 0x45));
  EXPECT_TRUE(UartSendCommandByeWithState(conn, 1));
  EXPECT_TRUE(UartSendCommandError(conn));
  EXPECT_TRUE(UartSendCommandBye(conn));
  json_t *gain = json_pack("{s:i}", "gainMicFactor", 42);
  EXPECT_TRUE(DbusJsonMethodCall(conn, ORNIX_CAMERA_SERVICE, "SetMicGain", gain));
  json_decref(gain);
  EXPECT_TRUE(DbusJsonMethodCall(conn, ORNIX_CAMERA_SERVICE, "ResetMicGain", nullptr));

  ASSERT_TRUE(sim.WaitForCommand("ResetMicGain", Millis(5000)));
  // Commands reach the MCU in the order they were given, with their payloads
  // (flats little-endian), answers and reply expectations.
  std::vector<std::string> got;
  for (auto &c : sim.Commands()) {
    std::string row = c.method.substr(c.method.rfind("UartSendCommand", 0) == 0 ? 15 : 0);  // the common prefix
    row += (c.noReply ? " noreply" : "") + std::string(c.service == ORNIX_CAMERA_SERVICE ? " camera " : " ");
    for (size_t i = 0; i < c.bytes.size(); ++i) row += (i ? "," : "") + std::to_string(c.bytes[i]);
    if (!c.hasBytes) row += "-";
    row += c.answer ? " ->" + std::to_string(c.answer->empty() ? -1 : (*c.answer)[0]) : "";
    got.push_back(row + (c.text ? " " + c.json : ""));
  }
  EXPECT_EQ(got, (std::vector<std::string>{
                     "Start noreply 0", "Call 10,12 ->0", "Call 5,0", "Call 12,0 ->1", "OpenByIDWithSource 1,9 ->1",
                     "OpenByIDWithSource 2,10 ->0", "Reply 6,0,33 ->6", "PlayAlarmNotification 1,207,240 ->1",
                     "StopAlarmNotification - ->0", "UartSetOfflineAssistantDelimiter noreply 69",
                     "ByeWithState noreply 1", "Error noreply -", "Bye noreply -",
                     "SetMicGain noreply camera - {\"gainMicFactor\":42}", "ResetMicGain noreply camera -"}));

  BusClient client;
  ASSERT_TRUE(client.Subscribe());
  // The one-shot mode and JSON events (the daemon's tests send byte events).
  Process once;
  ProcessOptions options;
  options.env = {bus.EnvEntry()};
  ASSERT_TRUE(once.Start({PANEL_SIM_BIN, "--send", "UART_EV_BYE", "0c00"}, options));
  ASSERT_TRUE(once.Wait(Millis(10000)));
  EXPECT_EQ(once.ExitCode(), 0) << once.Stderr();
  auto event = client.WaitForSignal("UART_EV_BYE", Millis(5000));
  EXPECT_EQ(event ? event->bytes : Bytes{}, (Bytes{0x0c, 0x00}));
  ASSERT_TRUE(sim.SendJsonEvent("NotificationForcedPlay", "{\"name\": \"a.wav\"}"));
  event = client.WaitForSignal("NotificationForcedPlay", Millis(5000));
  EXPECT_EQ(event ? event->text.value_or("") : "", "{\"name\": \"a.wav\"}");

  // While another thread serves the connection the way the daemon's bus loop
  // does (read_write with no wait, one message off the queue), MCU commands and
  // camera calls from this thread all get through, and no method return lands
  // in its queue. The log level method is the library's.
  ASSERT_TRUE(sim.Command("call take"));
  std::atomic<bool> stop{false};
  std::atomic<int> strayReturns{0};
  std::thread server([&] {
    for (int turn = 0; !stop && turn < 20000; ++turn) {
      dbus_connection_read_write(conn, 0);
      DBusMessage *m = dbus_connection_pop_message(conn);
      if (!m) {
        usleep(2000);
        continue;
      }
      strayReturns += dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
      if (dbus_message_is_method_call(m, ORNIX_METHOD_IFACE, "DBusSetLogLevel")) DbusRespSetLogLevelApp(conn, m);
      dbus_message_unref(m);
    }
  });
  ScopedEnv copy("DORALIN_LOG_STDERR", std::nullopt);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(UartSendCommandCall(conn, static_cast<uint16_t>(i + 1)), 0);
    EXPECT_TRUE(DbusJsonMethodCall(conn, ORNIX_CAMERA_SERVICE, "ResetMicGain", nullptr));
  }
  EXPECT_TRUE(sim.WaitForCommand("ResetMicGain", Millis(5000), 21));
  EXPECT_EQ(sim.Count("UartSendCommandCall"), 23);

  // The log level follows the method; a level out of range is refused.
  for (auto [level, result] : {std::pair{1, "true"}, {9, "false"}})
    EXPECT_EQ(client.CallJson("DBusSetLogLevel", "{\"level\": " + std::to_string(level) + "}").text.value_or(""),
              std::string("{\"result\":") + result + "}");
  EXPECT_EQ(LogGetLevel(), 1);
  LogSetLevel(3);
  EXPECT_EQ(strayReturns.load(), 0);
  stop = true;
  server.join();  // before its connection goes
  DbusClose(conn);
}
