// Start-up order, options, refused bus names, signals and the SIP-side stop,
// against the real daemon on a private bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bus.h"
#include "daemon.h"

namespace {

bool Before(const Daemon &d, const std::string &a, const std::string &b) {
  int ia = d.LogIndex(a), ib = d.LogIndex(b);
  return ia >= 0 && ib >= 0 && ia < ib;
}

std::string Dump(const Daemon &d) { return ::testing::PrintToString(d.Logs()); }

}  // namespace

// Once the SIP loop runs, the SIP side takes SIGTERM and the loop's end leads
// to the ordinary stop with status 1.
TEST(Startup, OrderStartedSignalAndStopWhileSipLoopRuns) {
  Daemon d;
  d.config.args = {"--trace"};
  d.config.panelSim = true;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted()) << Dump(d);
  // The MCU start command (mode 0) went out before the started signal.
  auto start = d.Panel()->WaitForCommand("UartSendCommandStart", Millis(2000));
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(start->bytes, std::vector<uint8_t>{0});
  EXPECT_TRUE(d.WaitLog("Сброс всех вызовов"));
  EXPECT_TRUE(d.HasLog("J3 0 package/main/process"));  // both logs
  EXPECT_TRUE(Before(d, "Запуск приложения", "[Baresip]: Успешная авторизация с 1 попытки"));
  EXPECT_TRUE(Before(d, "Успешная авторизация", "Сброс всех вызовов"));
  EXPECT_FALSE(d.HasLog("Ошибка открытия сокета ассистента"));
  struct stat st;
  EXPECT_EQ(stat(d.Path("/tmp/offline.sock").c_str(), &st), 0);

  // Started is signalled just before the loop; give it a moment to take over.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  d.Terminate();
  EXPECT_EQ(d.WaitExit(15000), 1);
  EXPECT_TRUE(d.HasLog("Остановка приложения"));
  EXPECT_FALSE(d.HasLog("Получен сигнал"));
  EXPECT_TRUE(d.SanitizerReports().empty()) << Dump(d);

  // A registrar that never answers holds the orderly stop open; a second
  // SIGTERM then ends the process at once with status 0.
  const int port = FreeUdpPort(), silent = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Loopback(port);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  Daemon held;
  held.config.store = {{"domainRegister", "\"127.0.0.1\""}, {"portRegister", std::to_string(port)}};
  ASSERT_TRUE(held.Start());
  ASSERT_TRUE(held.WaitStarted());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  held.Terminate();
  ASSERT_TRUE(held.WaitLog("Terminated by signal 15"));
  EXPECT_TRUE(held.Running());
  held.Terminate();
  EXPECT_EQ(held.WaitExit(5000), 0);
  EXPECT_FALSE(held.HasLog("Остановка приложения"));
  close(silent);
}

TEST(Startup, OptionsSetTheLogLevel) {
  struct Case {
    std::vector<std::string> args;
    std::string fwEnv;
    bool trace, debug;  // level-1 / level-2 records expected
  } cases[] = {
      {{"--trace", "--debug"}, "", false, true},
      {{"--debug", "--trace"}, "", true, true},
      {{"--bogus", "x"}, "", false, false},
      {{"--debug"}, "doralin_loglevel=1\n", false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + c.fwEnv);
    Daemon d;
    d.config.args = c.args;
    if (!c.fwEnv.empty()) d.config.files.push_back({"/etc/fw_env", c.fwEnv});
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitStarted());
    // An unknown method logs its member at level 2.
    ASSERT_TRUE(d.Call("NoSuchMethod", "{}").ok);
    d.Call("GetSipRegisterStatus");  // one more turn of the loop
    EXPECT_EQ(d.HasLog("Сброс всех вызовов"), c.trace);
    EXPECT_EQ(d.HasLog("L2 "), c.debug);
  }
  // "--help" and "--version" answer and exit 0 before any use of the bus,
  // which does not exist here.
  for (std::string opt : {"--version", "--help"}) {
    Process p;
    ProcessOptions noBus;
    noBus.env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
    ASSERT_TRUE(p.Start({DORALIN_BIN, "--debug", opt}, noBus));
    EXPECT_TRUE(p.WaitForStdout(opt == "--help" ? "Usage: doralin" : "doralin " DORALIN_VERSION "\n", Millis(5000)));
    ASSERT_TRUE(p.Wait(Millis(5000)));
    EXPECT_EQ(p.ExitCode(), 0) << opt;
  }
}

TEST(Startup, NoBusOrRefusedNameEndsWithZero) {
  for (bool noBus : {true, false}) {
    Daemon d;
    ASSERT_TRUE(d.Setup());
    if (noBus) d.config.env.push_back({"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + d.Root() + "/nobus"});
    BusClient holder(d.BusAddress(), noBus ? "" : "is.ornix.doralin");
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(d.Launch());
    EXPECT_EQ(d.WaitExit(10000), 0) << noBus;
    EXPECT_FALSE(d.HasLog("Запуск приложения"));
  }
}

// SIGTERM before the SIP loop runs: an alarm to resume and a UART service that
// never answers hold start-up for the MCU's answer, so the signal lands there.
TEST(Startup, SigtermDuringStartupStopsWithSignalStatus) {
  Daemon d;
  d.config.args = {"--trace"};
  d.config.store = {{"isPlayAlarm", "true"}, {"alarmFileName", "\"alarm.wav\""}};
  ASSERT_TRUE(d.Setup());
  BusClient silentUart(d.BusAddress(), "is.ornix.uart");
  ASSERT_TRUE(silentUart.ok());
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitLog("Сброс всех вызовов", 15000));
  d.Terminate();
  ASSERT_TRUE(d.WaitLog("Получен сигнал \"15\"", 5000)) << Dump(d);
  EXPECT_TRUE(d.WaitLog("J4 0 package/main/process", 2000));
  EXPECT_TRUE(d.WaitLog("Baresip terminate with exit (1)", 2000));
  // The 3-second grace: still running a second after the signal was taken.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_TRUE(d.Running());
  EXPECT_EQ(d.WaitExit(10000), 15);
  EXPECT_TRUE(d.SanitizerReports().empty()) << Dump(d);
}

TEST(Startup, UdhcpcBoundExitsAndRebootStaysUp) {
  Daemon d;
  d.config.args = {"--trace"};
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  ASSERT_TRUE(d.Signal("REBOOT", std::nullopt));
  ASSERT_TRUE(d.WaitLog("Baresip terminate with exit (0)", 5000));
  BusReply r = d.Call("GetSipRegisterStatus", std::nullopt, 8000);  // after the 3 s pause
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(d.Running());

  ASSERT_TRUE(d.Signal("UDHCPC_BOUND", std::vector<uint8_t>{}));
  ASSERT_TRUE(d.WaitLog("Baresip terminate with exit (1)", 5000));
  EXPECT_EQ(d.WaitExit(10000), 15);
  EXPECT_TRUE(d.SanitizerReports().empty()) << Dump(d);
}
