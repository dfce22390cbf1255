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
  // Nobody owns the UART service yet, or there is no connection: a refusal, not a wait.
  EXPECT_NE(UartSendCommandCall(conn, 1), 0);
  EXPECT_NE(UartSendCommandCall(nullptr, 1), 0);

  // The payloads and answers the daemon's own commands get are checked in the
  // calls and startup tests; here the rest.
  PanelSim sim(bus);
  ASSERT_TRUE(sim.Start()) << sim.process().Stderr();
  EXPECT_EQ(UartSendCommandCall(conn, 0x0c0a), 0);  // taken
  ASSERT_TRUE(sim.Command("silent UartSendCommandCall"));
  EXPECT_NE(UartSendCommandCall(conn, 5), 0);  // never answered: gives up by itself
  ASSERT_TRUE(sim.Command("loud UartSendCommandCall"));
  EXPECT_TRUE(UartSendCommandOpenByIDWithSource(conn, 1, 9));
  ASSERT_TRUE(sim.Command("door fail"));
  EXPECT_FALSE(UartSendCommandOpenByIDWithSource(conn, 2, 10));
  EXPECT_TRUE(UartSetOfflineAssistantDelimiter(conn, 0x45));
  EXPECT_TRUE(UartSendCommandError(conn));
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
  EXPECT_EQ(got, (std::vector<std::string>{"Call 10,12 ->0", "Call 5,0", "OpenByIDWithSource 1,9 ->1",
                                           "OpenByIDWithSource 2,10 ->0", "UartSetOfflineAssistantDelimiter noreply 69",
                                           "Error noreply -", "ResetMicGain noreply camera -"}));

  BusClient client;
  ASSERT_TRUE(client.Subscribe());
  // The one-shot mode and JSON events (the daemon's tests send byte events).
  Process once;  // on the bus this process exports
  ASSERT_TRUE(once.Start({PANEL_SIM_BIN, "--send", "UART_EV_BYE", "0c00"}));
  EXPECT_TRUE(once.Wait(Millis(10000)) && once.ExitCode() == 0) << once.Stderr();
  auto event = client.WaitForSignal("UART_EV_BYE", Millis(5000));
  EXPECT_EQ(event ? event->bytes : Bytes{}, (Bytes{0x0c, 0x00}));
  ASSERT_TRUE(sim.SendJsonEvent("NotificationForcedPlay", "{\"name\": \"a.wav\"}"));
  event = client.WaitForSignal("NotificationForcedPlay", Millis(5000));
  EXPECT_EQ(event ? event->text.value_or("") : "", "{\"name\": \"a.wav\"}");

  // While another thread serves the connection the way the daemon's bus loop
  // does (read_write with no wait, one message off the queue), MCU commands and
  // camera calls from this thread all get through, and no method return lands
  // in its queue. The log level method is the library's.
  std::atomic<bool> stop{false};
  std::atomic<int> strayReturns{0};
  std::thread server([&] {
    for (int turn = 0; !stop && turn < 20000; ++turn) {
      dbus_connection_read_write(conn, 0);
      if (DBusMessage *m = dbus_connection_pop_message(conn)) {
        strayReturns += dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
        if (dbus_message_is_method_call(m, ORNIX_METHOD_IFACE, "DBusSetLogLevel")) DbusRespSetLogLevelApp(conn, m);
        dbus_message_unref(m);
      } else {
        usleep(2000);
      }
    }
  });
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(UartSendCommandCall(conn, static_cast<uint16_t>(i + 1)), 0);
    EXPECT_TRUE(DbusJsonMethodCall(conn, ORNIX_CAMERA_SERVICE, "ResetMicGain", nullptr));
  }
  EXPECT_TRUE(sim.WaitForCommand("ResetMicGain", Millis(5000), 21));
  EXPECT_EQ(sim.Count("UartSendCommandCall"), 22);

  // The log level follows the method; a level out of range is refused.
  EXPECT_EQ(client.Call("DBusSetLogLevel", R"({"level": 1})").text, R"({"result":true})");
  EXPECT_EQ(client.Call("DBusSetLogLevel", R"({"level": 9})").text, R"({"result":false})");
  EXPECT_EQ(LogGetLevel(), 1);
  LogSetLevel(3);
  EXPECT_EQ(strayReturns.load(), 0);
  stop = true;
  server.join();  // before its connection goes
  DbusClose(conn);
}
