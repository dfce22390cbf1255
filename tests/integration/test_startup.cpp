// Start-up order, options, refused bus names, signals and the SIP-side stop,
// and the registration of the main account against sipp registrars, against
// the real daemon on a private bus.
#include "sip/re_headers.h"  // before jansson: both name JSON_STRING

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "registered_daemon.h"

namespace {

// The thread named in the first "Baresip event: <event>" line ("" when none).
std::string EventThread(const Daemon &d, const std::string &event) {
  const int i = d.LogIndex("Baresip event: " + event + ",");
  return i < 0 ? "" : d.Logs()[size_t(i)].substr(d.Logs()[size_t(i)].rfind("tid="));
}

// A gate panel's call to flat 12, answered at the handset; the caller then
// waits for the panel's BYE.
bool AnsweredCall(Daemon &d, Sipp &gate) {
  return gate.Start(SippRun("caller.xml", d.SipPort(), {"-s", "12", "-set", "wait", "1"})) &&
         d.Panel()->WaitForCommand("UartSendCommandCall", Millis(5000)) &&
         d.Panel()->SendEvent("UART_EV_ANSWER", {}) &&
         WaitFor([&] { return gate.Output().find("ACK sip:") != std::string::npos; }, Millis(5000));
}

// CPU seconds the process has used (user and system: fields 14 and 15 of /proc's stat).
double CpuSeconds(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  unsigned long user = 0, system = 0;
  sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

// Once the SIP loop runs, the SIP side takes SIGTERM and the loop's end leads
// to the ordinary stop with status 1; started again, REBOOT leaves it up and
// UDHCPC_BOUND ends it with status 15.
TEST(Startup, OrderStartedSignalAndStopsWhileSipLoopRuns) {
  Daemon d;
  d.config.args = {"--debug", "--trace"};  // the last one wins: level 1
  d.config.panelSim = true;
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  // The MCU start command (mode 0) went out before the started signal.
  auto start = d.Panel()->WaitForCommand("UartSendCommandStart", Millis(2000));
  EXPECT_EQ(start ? start->bytes : std::vector<uint8_t>{}, std::vector<uint8_t>{0});
  ASSERT_TRUE(d.WaitLog("Сброс всех вызовов"));
  const int begin = d.LogIndex("Запуск приложения"), auth = d.LogIndex("[Baresip]: Успешная авторизация с 1 попытки");
  EXPECT_TRUE(begin >= 0 && begin < auth && auth < d.LogIndex("Сброс всех вызовов"));

  // Started is signalled just before the loop; an answer shows it has taken over.
  EXPECT_NE(Exchange(d.SipPort(), Request("OPTIONS"), 5000), "");
  d.Terminate();
  EXPECT_EQ(d.WaitExit(15000), 1);
  EXPECT_TRUE(d.HasLog("Остановка приложения"));
  EXPECT_FALSE(d.HasLog("Получен сигнал"));
  // REBOOT during a call: the call is ended on the SIP loop's thread and its
  // close handled as any other; later panel events find no call.
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  Sipp gate;
  ASSERT_TRUE(AnsweredCall(d, gate)) << gate.Output();
  ASSERT_TRUE(d.Signal("REBOOT", std::nullopt));
  ASSERT_TRUE(d.WaitLog("Baresip terminate with exit (0)", 5000));
  BusReply r = d.Call("GetSipRegisterStatus", std::nullopt, 8000);  // after the 3 s pause
  EXPECT_TRUE(r.ok && d.Running()) << r.error;
  EXPECT_EQ(gate.Wait(), 0) << gate.Output();
  EXPECT_TRUE(d.HasLog("INCOMING_ESTABLISHED -> IDLE"));
  EXPECT_EQ(EventThread(d, "CALL_CLOSED"), EventThread(d, "CALL_INCOMING"));
  ASSERT_TRUE(d.Panel()->SendEvent("UART_EV_OPEN_HANDSET", {}) && d.Panel()->SendEvent("UART_EV_DIAL", {12, 0}));
  EXPECT_TRUE(d.WaitLog("SIP registration failed, can't make call"));
  EXPECT_EQ(d.Panel()->Count("UartSendCommandByeWithState"), 1);
  ASSERT_TRUE(d.Signal("UDHCPC_BOUND", std::vector<uint8_t>{}));
  EXPECT_EQ(d.WaitExit(15000), 15);
  EXPECT_TRUE(d.HasLog("Baresip terminate with exit (1)"));
  EXPECT_TRUE(d.SanitizerReports().empty());

  // A registrar that never answers holds the orderly stop open, here with a
  // call up: the call ends at once, the MCU is told, a panel event meanwhile
  // finds no call; a second SIGTERM then ends the process with status 0.
  const int port = FreeUdpPort(), silent = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Loopback(port);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  Daemon held;
  held.config.args = {"--bogus", "x"};  // ignored: the default level 3
  held.config.store = {{"domainRegister", "\"127.0.0.1\""}, {"portRegister", std::to_string(port)}};
  held.config.panelSim = true;
  ASSERT_TRUE(held.Start());
  ASSERT_TRUE(held.WaitStarted());
  Sipp heldGate;
  ASSERT_TRUE(AnsweredCall(held, heldGate)) << heldGate.Output();
  held.Terminate();
  EXPECT_EQ(heldGate.Wait(), 0) << heldGate.Output();
  ASSERT_TRUE(held.HasLog("Terminated by signal 15"));
  EXPECT_TRUE(held.HasLog("All calls are done for apartment 12"));
  ASSERT_TRUE(held.Panel()->SendEvent("UART_EV_OPEN_HANDSET", {}));
  EXPECT_TRUE(held.WaitLog("Open from handset!"));
  EXPECT_EQ(held.Panel()->Count("UartSendCommandByeWithState"), 1);
  EXPECT_TRUE(held.Running());
  held.Terminate();
  EXPECT_EQ(held.WaitExit(5000), 0);
  EXPECT_FALSE(held.HasLog("Остановка приложения"));
  EXPECT_FALSE(held.HasLog("L2 ") || held.HasLog("L1 "));
  EXPECT_TRUE(held.SanitizerReports().empty());
  close(silent);
}

// Without a bus, with the daemon's name taken, or asked for "--help": status 0
// before any start.
TEST(Startup, NoBusRefusedNameAndHelpEndWithZero) {
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
  Process help;  // with no bus either: the usage shows that the option was read
  ASSERT_TRUE(
      help.Start({DORALIN_BIN, "--debug", "--help"}, {.env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"}}));
  EXPECT_TRUE(help.WaitForStdout("Usage: doralin", Millis(5000)));
  EXPECT_TRUE(help.Wait(Millis(5000)) && help.ExitCode() == 0);
}

// A sip_listen address the host lacks, or a port out of range: start-up
// stops with status 78 (EX_CONFIG) and the reason, before SIP registers. A misspelled
// key is one warning, however often it is used.
TEST(Startup, SipListenThatCannotBeBoundStopsStartUp) {
  for (auto [at, why] : {std::pair{"192.0.2.1:5060", "SIP cannot listen on sip_listen"},
                         {"127.0.0.1:99999", "sip_listen: port '99999' not in 0-65535"}}) {
    Daemon d;
    d.config.files.push_back(
        {"/etc/baresip/config", std::string("sip_listen\t") + at + "\nrtp_timout 5\nrtp_timout 6\n"});
    ASSERT_TRUE(d.Start());
    EXPECT_EQ(d.WaitExit(15000), 78) << at;
    EXPECT_TRUE(d.HasLog(why)) << at;
    EXPECT_EQ(1, d.CountLog("rtp_timout: unknown key")) << at;
    EXPECT_FALSE(d.HasLog("SIP registration")) << at;
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
  ASSERT_TRUE(d.WaitLog("Получен сигнал \"15\"", 5000));
  EXPECT_TRUE(d.WaitLog("Baresip terminate with exit (1)", 2000));
  // The 3-second grace: still running a second after the signal was taken.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_TRUE(d.Running());
  EXPECT_EQ(d.WaitExit(10000), 15);
  EXPECT_TRUE(d.SanitizerReports().empty());
}

// The registrar checks the digest and challenges a wrong one again: reported
// (journal, RegistrationChanged), and the daemon goes on (a successful one: tests/reliability/test_bus_input.cpp).
// Then a TCP proxy nobody listens on, set over the bus: the restart it asks
// for registers through it, fails, and the daemon goes on again.
TEST(SipDaemon, RegistrarRejectionAndUnreachableProxyLeaveTheDaemonRunning) {
  RegisteredDaemon r({.args = {"-set", "challenge", "1"}, .user = "flat12", .password = "w7rong"});
  Daemon &d = r.d;
  d.config.args = {"--trace"};
  ASSERT_TRUE(r.Setup() && d.Launch() && d.WaitStarted());
  EXPECT_TRUE(d.HasLog("[Baresip]: Успешная авторизация с 1 попытки"));  // a rejection is no failed attempt
  // Integrators see it as a signal with the registrar's status.
  EXPECT_EQ(d.WaitRegistration(R"("state":"failed")", 20000),
            R"({"state":"failed","code":401,"reason":"Unauthorized"})");
  EXPECT_TRUE(d.HasLog("J3 301 package/src/sip/sip"));
  EXPECT_EQ(d.Call("GetSipRegisterStatus").bytes, std::vector<uint8_t>{0});

  const std::string proxy = std::to_string(FreeTcpPort());
  EXPECT_EQ(d.Call("SetSipSettings", R"({"remote":{"domain":"127.0.0.1","proxy":{"domain":"127.0.0.1","port":)" + proxy +
                                         R"(,"enable":true},"transport":{"udp":false,"tcp":true}}})").text,
            R"({"result":true})");
  EXPECT_EQ(d.WaitExit(15000), 2);
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  EXPECT_TRUE(d.HasLog(";auth_pass=***;outbound=sip:127.0.0.1:" + proxy + ";transport=tcp"));
  EXPECT_EQ(d.Call("GetSipRegisterStatus").bytes, std::vector<uint8_t>{0});
  EXPECT_TRUE(d.Running());
  EXPECT_FALSE(d.HasLog("w7rong"));  // the password never reaches the log
  d.Terminate();
  EXPECT_NE(d.WaitExit(40000), -1);
}

// A registrar that stops answering the keep-alives: the daemon reports the
// registration lost (status, signal, journal 301) instead of registered.
TEST(SipDaemon, UnansweredKeepAliveIsAFailedRegistration) {
  RegisteredDaemon r({.args = {"-set", "probes", "1"}, .registrations = 2, .life = Millis(30000)});
  Daemon &d = r.d;
  d.config.baresipExtra = "sip_keepalive\t1\n";
  ASSERT_TRUE(r.Start());
  EXPECT_EQ(r.registrar.Wait(), 0) << r.registrar.Output();  // both probes came
  const std::string lost = d.WaitRegistration("Keep-alive unanswered", 60000);
  EXPECT_EQ(lost.rfind(R"({"state":"failed","code":408,"reason":"Keep-alive unanswered)", 0), 0u) << lost;
  EXPECT_FALSE(d.Registered());
  EXPECT_TRUE(d.HasLog("J3 301 package/src/sip/sip"));
}

// An account the SIP library refuses: five attempts, each after a failed one
// bringing the library up again, then the stop sequence with status 15.
TEST(SipDaemon, RefusedAccountSettingsEndAfterFiveAttempts) {
  Daemon d;
  d.UseServer(FreeUdpPort(), 0, "");  // no user part: refused
  // Boot level 1, then "--trace --debug": the last option wins, level 2.
  d.config.args = {"--trace", "--debug"};
  d.config.files.push_back({"/etc/fw_env", "doralin_loglevel=1\n"});
  d.config.panelSim = true;
  ASSERT_TRUE(d.Start());
  // No registration result ever comes: a dial during the stop's grace waits
  // for one without spending the processor (counted until the process ends).
  ASSERT_TRUE(d.WaitLog("[Baresip]: Неудачная попытка авторизации более 5 раз", 30000));
  const double cpu = CpuSeconds(d.Pid());
  ASSERT_TRUE(d.Panel()->SendEvent("UART_EV_DIAL", {12, 0}));
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, id_t(d.Pid()), &info, WEXITED | WNOWAIT), 0);
  EXPECT_LT(CpuSeconds(d.Pid()) - cpu, 0.5);
  EXPECT_EQ(d.WaitExit(30000), 15);
  EXPECT_EQ(d.CountLog("[Baresip]: Ошибка применения параметров"), 8);  // both logs
  EXPECT_EQ(d.CountLog("SIP library is closed, bringing it up again"), 4);
  EXPECT_FALSE(d.HasLog("Baresip AOR:"));  // a level-1 record
  const int gaveUp = d.LogIndex("[Baresip]: Неудачная попытка авторизации более 5 раз");
  EXPECT_TRUE(gaveUp >= 0 && gaveUp < d.LogIndex("Получен сигнал \"15\""));
  EXPECT_FALSE(d.HasLog("Сброс всех вызовов") || d.HasLog("Успешная авторизация"));
}
