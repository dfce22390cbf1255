// doralinctl against the real daemon on a private bus: what each command
// changes, read back with another command, the exit status of each outcome,
// the offline store commands, the SIP config check, watch, the journal and a settings dump restored.
#include "sip/re_headers.h"  // before jansson: both name JSON_STRING

#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <string>
#include <vector>

#include "ornix.h"
#include "registered_daemon.h"

namespace {

const std::string kCtl = std::string(DORALIN_BUILD_DIR) + "/tools/doralinctl/doralinctl";

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs doralinctl to its end (killed after 10 s) with the bus at `address`,
// DORALIN_ROOT=root ("" is "/") and `input` on its standard input.
Outcome Ctl(const std::string &address, std::vector<std::string> args, const std::string &input = "",
            const std::string &root = "") {
  Process p;
  args.insert(args.begin(), kCtl);
  if (!p.Start(args, {.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address, "DORALIN_ROOT=" + root}, .stdinPipe = true}))
    return {};
  p.WriteStdin(input);
  p.CloseStdin();
  p.Wait(Millis(10000));
  return {p.ExitCode(), p.Stdout(), p.Stderr()};  // status -1 while it still runs
}

}  // namespace

TEST(Doralinctl, CommandsExitStatusStoreWatchJournalAndSettingsDump) {
  RegisteredDaemon registered;
  Daemon &d = registered.d;
  d.config.testVariant = true;  // a stalled bus loop answers no call
  d.config.panelSim = true;     // the MCU takes the alarm
  ASSERT_TRUE(registered.Setup());
  const std::string bus = d.BusAddress(), root = d.Root(), nowhere = "unix:path=/nonexistent/bus.sock";
  Outcome r = Ctl(bus, {"get", "sip"});  // nobody owns the name yet
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
  r = Ctl(nowhere, {"get", "sos"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
  // Usage errors are told before the bus is asked (which would say 3 here).
  for (const auto &args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"get", "nonsense"}, {"set", "sip", "{not json"}, {"set", "sip", "[1]"},
           {"accounts", "delete", "twelve"}, {"--timeout", "-5", "get", "sip"}, {"log-level", "9"}})
    EXPECT_EQ(Ctl(bus, args).status, 2) << (args.empty() ? "(none)" : args.back());

  // The store takes only the daemon's keys, each as it reads them at start.
  for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
           {"noSuchKey", "1"}, {"port", "abc"}, {"port", "70000"}, {"videoEnable", "1"}, {"dtmf_1", "12"},
           {"directRules", "[1]"}})
    EXPECT_EQ(Ctl("", {"store", "set", key, value}, "", root).status, 2) << key << " " << value;
  for (auto [key, value] : {std::pair{"sos", "1001"} /* a text, not the number */, {"doorHangupDelay", "7"},
                            {"transportTls", "true"}})
    EXPECT_EQ(Ctl("", {"store", "set", key, value}, "", root).status, 0) << key;
  EXPECT_EQ(Ctl("", {"store", "get", "sos", "-c"}, "", root).out, "\"1001\"\n");
  EXPECT_EQ(Ctl("", {"store", "get", "noSuchKey"}, "", root).status, 1);
  EXPECT_EQ(Ctl("", {"store", "set", "port"}, "", root).status, 2);
  // The SIP config checked as the daemon checks it at start: its own passes;
  // values out of range fail naming their keys, a misspelled key is warned
  // about once.
  r = Ctl("", {"config", "check"}, "", root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, root + "/etc/baresip/config: ok\n");
  ASSERT_TRUE(WriteFile(root + "/bad", "# a panel\nsip_listen 127.0.0.1:99999\nsip_regint 10\nsip_lisen x\n"
                                       "sip_lisen y\nrtp_latch maybe\nrtp_ports 20000-10000\nsip_keepalive 20\n"));
  r = Ctl("", {"config", "check", root + "/bad"}, "", root);
  EXPECT_EQ(r.status, 1);
  for (const char *text : {":2: sip_listen: port '99999' not in 0-65535", ":3: sip_regint: '10' not in 60-86400",
                           "warning: " , ":6: rtp_latch: 'maybe' is not yes or no", ":7: rtp_ports: '20000-10000'"})
    EXPECT_NE(r.err.find(text), std::string::npos) << text << r.err;
  EXPECT_EQ(r.err.find("sip_lisen"), r.err.rfind("sip_lisen")) << r.err;
  EXPECT_EQ(r.err.find("sip_keepalive"), std::string::npos) << r.err;
  EXPECT_EQ(Ctl("", {"config", "check", root + "/none"}, "", root).status, 1);
  ASSERT_TRUE(d.Launch() && d.WaitStarted());
  EXPECT_EQ(Ctl(bus, {"-c", "get", "sos"}).out, "{\"sosRoom\":\"1001\"}\n");
  EXPECT_EQ(Ctl(bus, {"-c", "get", "door"}).out, "{\"timeout\":7,\"sip\":false}\n");
  EXPECT_EQ(Ctl(nowhere, {"--address", bus, "get", "sos"}).status, 0);  // the option wins over the environment

  // Each command, then one that shows its effect (compact); a refusal and a
  // method not found end with 1, a call nobody answers with 3.
  const struct {
    std::vector<std::string> args, show;
    std::string shown;
    int status = 0;
    std::string input = "";
  } cases[] = {
      {{"set", "concierge", "sip:desk@10.0.0.2"}, {"get", "concierge"}, R"({"consiergeRoom":"sip:desk@10.0.0.2"})"},
      {{"set", "dtmf", "#", "*"}, {"get", "dtmf"}, R"({"1":"#","2":"*"})"},
      {{"reset", "dtmf"}, {"get", "dtmf"}, R"({"1":"1","2":"2"})"},
      {{"set", "door", "9", "on"}, {"get", "door"}, R"({"timeout":9,"sip":true})"},
      {{"set", "sip", R"({"videoEnable":true})"}, {"get", "sip"}, R"("videoEnable":true)"},
      {{"set", "gate", "-"}, {"get", "gate"}, R"("flatNumberSize":3)", 0, R"({"flatNumberSize":3})"},
      {{"set", "assistant", R"({"enable":false})"}, {"get", "assistant"}, R"({"enable":false,"online":true})"},
      {{"reset", "assistant"}, {"get", "assistant"}, R"({"enable":true,"online":true})"},
      {{"accounts", "set", "12", "1201", "1202"}, {"accounts", "12"}, R"({"12":["1201","1202"]})"},
      {{"accounts", "delete", "all"}, {"accounts"}, "{}\n"},
      {{"hangup", "--timeout", "2000"}, {"status"}, R"("state":"IDLE")"},  // options anywhere
      {{"alarm", "play", "fire.wav", "--text", "Пожар", "--only-panel"}, {"alarm", "status"},
       R"({"name":"fire.wav","isPlay":true})"},
      {{"alarm", "stop"}, {"alarm", "status"}, R"("isPlay":false)"},
      {{"set", "sos", std::string(120, 's')}, {"get", "sos"}, R"({"sosRoom":"1001"})", 1},
      {{"call", "NoSuchMethod"}, {"get", "sos"}, "1001", 1},
      {{"--timeout", "300", "call", "DoralinTestStall", R"({"seconds":1})"}, {"get", "sos"}, "1001", 3}};
  for (const auto &c : cases) {
    r = Ctl(bus, c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1] << ": " << r.err;
    std::vector<std::string> show = c.show;
    show.insert(show.begin(), "-c");
    EXPECT_NE(Ctl(bus, show).out.find(c.shown), std::string::npos) << c.show[0] << " after " << c.args[1];
  }
  auto alarm = d.Panel()->WaitForCommand("UartSendCommandPlayAlarmNotification", Millis(2000));
  EXPECT_EQ(alarm ? alarm->bytes : std::vector<uint8_t>{}, (std::vector<uint8_t>{1, 0xCF, 0xEE, 0xE6, 0xE0, 0xF0}));
  EXPECT_TRUE(d.WaitRegistered());
  r = Ctl(bus, {"register-status"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "registered\n");
  EXPECT_EQ(Ctl(bus, {"log-level", "1"}).status, 0);
  EXPECT_TRUE(d.WaitLog("Log level set to 1", 3000));

  // A UART-only dial seen by watch (the state now, then each change) and
  // status; watch ends on SIGINT.
  Process watch;
  ASSERT_TRUE(watch.Start({kCtl, "watch", "--address", bus}));
  ASSERT_TRUE(watch.WaitForStdout("\"state\":\"IDLE\"", Millis(5000))) << watch.Stderr();  // it listens
  ASSERT_TRUE(d.Signal("UART_EV_TRYING_CALL", std::vector<uint8_t>{12, 0, 1}));
  EXPECT_TRUE(watch.WaitForStdout("\"state\":\"OUTGOING_UART_DIALING\"", Millis(5000))) << watch.Stderr();
  EXPECT_NE(Ctl(bus, {"status", "-c"}).out.find("\"state\":\"OUTGOING_UART_DIALING\",\"callType\":\"NONE\""),
            std::string::npos);
  watch.Signal(SIGINT);
  EXPECT_TRUE(watch.Wait(Millis(3000)) && watch.ExitCode() == 0) << watch.Stderr();

  // Journal: the daemon's records and two written here, by code, limit and time.
  {
    ScopedEnv atRoot("DORALIN_ROOT", root);
    LogWriteMorvat(3, "test", 1, MORVAT_SIP_REG_FAIL, "SIP registration failed (%s)", "403 Forbidden");
    LogWriteMorvat(3, "test", 2, MORVAT_DOOR_DTMF, "Open main door by DTMF");
  }
  r = Ctl("", {"journal", "--code", "301", "--limit", "1"}, "", root);
  EXPECT_EQ(SplitLines(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.out.find(" L3 [301 SIP registration failed] SIP registration failed (403 Forbidden)\n"),
            std::string::npos) << r.out;
  EXPECT_NE(Ctl("", {"journal", "--code", "106"}, "", root).out.find("[106 door opened by DTMF] Open main"),
            std::string::npos);
  // Options before the command; spans and times past what a 32-bit long holds in milliseconds.
  EXPECT_NE(Ctl("", {"--since", "-30000m", "journal"}, "", root).out.find("Запуск приложения"), std::string::npos);
  r = Ctl("", {"journal", "--since", "@" + std::to_string(time(nullptr) + 3600)}, "", root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Ctl("", {"journal", "--since", "yesterday"}, "", root).status, 2);

  // Dump, change, restore, dump: the same document; the unchanged server is
  // left alone, so TLS stays on and the daemon is not restarted.
  const std::string before = Ctl(bus, {"settings", "dump"}).out;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"set", "sos", "2002"}, {"set", "dtmf", "#"}, {"set", "door", "9", "off"},
        {"accounts", "set", "12", "1201"}, {"set", "gate", R"({"prefixSize":3})"}})
    ASSERT_EQ(Ctl(bus, args).status, 0) << args[1];
  ASSERT_NE(Ctl(bus, {"settings", "dump"}).out, before);
  r = Ctl(bus, {"settings", "restore", "-"}, before);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Ctl(bus, {"settings", "dump"}).out, before);
  EXPECT_EQ(Ctl("", {"-c", "store", "get", "transportTls"}, "", root).out, "true\n");
  EXPECT_FALSE(d.WaitExit(1500) >= 0);
  EXPECT_EQ(Ctl(bus, {"settings", "restore", "-"}, R"({"sos":{"sosRoom":"x"},"volume":{}})").status, 2);
}
