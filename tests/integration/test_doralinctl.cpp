// doralinctl on a private bus: the payload each command sends (to a stand-in
// that records it), the exit status of each outcome, the offline store
// commands and the real daemon's replies.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>

#include <memory>
#include <string>
#include <vector>

#include "daemon.h"
#include "ornix.h"

namespace {

const std::string kCtl = std::string(DORALIN_BUILD_DIR) + "/tools/doralinctl/doralinctl";

// `text` parsed and written back compactly with sorted keys ("" when it is not JSON).
std::string Canonical(const char *text) {
  json_t *v = json_loads(text, JSON_DECODE_ANY, nullptr);
  char *out = v ? json_dumps(v, JSON_COMPACT | JSON_SORT_KEYS | JSON_ENCODE_ANY) : nullptr;
  std::string s = out ? out : "";
  free(out);
  json_decref(v);
  return s;
}

// Owns is.ornix.doralin; records each method call and answers it while Ctl
// waits: "GetSipRegisterStatus" with the byte `registered`, "NoSuchMethod"
// not-found, "Silent" not at all, an argument mentioning "refuse" false,
// anything else true.
struct StandIn {
  explicit StandIn(const std::string &address) : client(address, "is.ornix.doralin") {}
  void Serve() {
    dbus_connection_read_write(client.conn(), 0);
    while (DBusMessage *m = dbus_connection_pop_message(client.conn())) {
      if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) Answer(m);
      dbus_message_unref(m);
    }
  }
  void Answer(DBusMessage *m) {
    std::string method = dbus_message_get_member(m);
    std::optional<std::string> arg;
    const char *text = nullptr;
    if (dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) arg = Canonical(text);
    seen.emplace_back(method, arg);
    const char *reply = method == "NoSuchMethod" ? "{\"error\":404,\"message\":\"Not Found\"}"
                        : arg && arg->find("refuse") != std::string::npos ? "{\"result\":false}"
                                                                          : "{\"result\":true}";
    if (method == "GetSipRegisterStatus")
      client.Send(WithArg(dbus_message_new_method_return(m), std::vector<uint8_t>{registered}));
    else if (method != "Silent")
      client.Send(WithArg(dbus_message_new_method_return(m), std::string(reply)));
  }

  BusClient client;
  uint8_t registered = 0;
  std::vector<std::pair<std::string, std::optional<std::string>>> seen;
};

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs doralinctl to its end (killed after 10 s) with the bus at `address`,
// DORALIN_ROOT=root ("" is "/") and `input` on its standard input; `daemon`,
// when given, is served meanwhile.
Outcome Ctl(const std::string &address, std::vector<std::string> args, const std::string &input = "",
            const std::string &root = "", StandIn *daemon = nullptr) {
  Process p;
  args.insert(args.begin(), kCtl);
  if (!p.Start(args, {.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address, "DORALIN_ROOT=" + root}, .stdinPipe = true}))
    return {};
  p.WriteStdin(input);
  p.CloseStdin();
  for (int turn = 0; turn < 2000 && !p.Wait(Millis(5)); ++turn)
    if (daemon) daemon->Serve();
  return {p.ExitCode(), p.Stdout(), p.Stderr()};  // status -1 while it still runs
}

// The payload each command sends and the exit status of each outcome, to a
// stand-in; then the offline store commands on the daemon's root before it
// starts, and its replies: what was stored (an integer as an integer) is what it serves.
TEST(Doralinctl, PayloadsExitStatusStoreAndTheRealDaemon) {
  Daemon d;
  ASSERT_TRUE(d.Setup());
  const std::string bus = d.BusAddress(), root = d.Root();
  Outcome r = Ctl(bus, {"get", "sip"});  // nobody owns the name yet
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
  auto daemon = std::make_unique<StandIn>(bus);
  ASSERT_TRUE(daemon->client.ok());
  auto ctl = [&](const std::vector<std::string> &args, const std::string &input = "") {
    return Ctl(bus, args, input, "", daemon.get());
  };
  const struct {
    std::vector<std::string> args;
    const char *method;
    const char *argument;  // null: the call must carry no argument
    int status = 0;
    std::string input = "";
  } cases[] = {
      {{"get", "sip"}, "GetSipSettings", nullptr},
      {{"set", "concierge", "sip:desk@10.0.0.2"}, "SetConcierge", R"({"consiergeRoom":"sip:desk@10.0.0.2"})"},
      {{"set", "dtmf", "#", "*"}, "SetDtmf", R"({"1":"#","2":"*"})"},
      {{"set", "door", "7", "on"}, "SetDoorHangupDelay", R"({"timeout":7,"sip":true})"},
      {{"set", "sip", R"({"remote":{"port":5070}})"}, "SetSipSettings", R"({"remote":{"port":5070}})"},
      {{"set", "gate", "-"}, "SetGateSettings", R"({"prefixSize":3})", 0, R"({"prefixSize":3})"},
      {{"reset", "assistant"}, "DeleteAssistant", nullptr},
      {{"accounts"}, "GetSipAccounts", nullptr},
      {{"accounts", "12"}, "GetSipAccounts", R"({"flat":12})"},
      {{"accounts", "set", "12", "1201", "1202"}, "SetSipAccounts", R"({"12":["1201","1202"]})"},
      {{"accounts", "delete", "all"}, "DeleteSipAccounts", R"({"flat":null})"},
      {{"hangup", "--timeout", "2000"}, "HangupActiveCall", nullptr},  // options anywhere
      {{"alarm", "play", "fire.wav", "--text", "Пожар", "--only-panel"}, "PlayAlarmNotification",
       R"({"name":"fire.wav","text":"Пожар","onlyPanel":true})"},
      {{"log-level", "1"}, "DBusSetLogLevel", R"({"level":1})"},
      {{"set", "sos", "refuse"}, "SetSos", R"({"sosRoom":"refuse"})", 1},
      {{"call", "NoSuchMethod"}, "NoSuchMethod", nullptr, 1},
      {{"register-status"}, "GetSipRegisterStatus", nullptr, 1},
      {{"--timeout", "300", "call", "Silent"}, "Silent", nullptr, 3},  // no reply
  };
  for (const auto &c : cases) {
    r = ctl(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.method << ": " << r.err;
    auto seen = std::exchange(daemon->seen, {});
    ASSERT_EQ(seen.size(), 1u) << c.method;
    EXPECT_EQ(seen[0].first, c.method);
    EXPECT_EQ(seen[0].second.value_or("(none)"), c.argument ? Canonical(c.argument) : "(none)");
  }

  daemon->registered = 1;
  EXPECT_EQ(ctl({"register-status"}).status, 0);
  const std::string nowhere = "unix:path=/nonexistent/bus.sock";
  r = Ctl(nowhere, {"get", "sos"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
  // An explicit address wins over the environment.
  EXPECT_EQ(Ctl(nowhere, {"--address", bus, "get", "sos"}, "", "", daemon.get()).status, 0);
  daemon->seen.clear();

  // Usage errors never reach the bus.
  for (const auto &args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"get", "nonsense"}, {"set", "sip", "{not json"}, {"set", "sip", "[1]"},
           {"accounts", "delete", "twelve"}, {"--timeout", "-5", "get", "sip"}})
    EXPECT_EQ(ctl(args).status, 2) << (args.empty() ? "(none)" : args.back());
  EXPECT_TRUE(daemon->seen.empty());
  daemon.reset();  // the name is free for the daemon

  // The store takes only the daemon's keys, each as it reads them at start.
  for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
           {"noSuchKey", "1"}, {"port", "abc"}, {"port", "70000"}, {"videoEnable", "1"}, {"dtmf_1", "12"},
           {"directRules", "[1]"}})
    EXPECT_EQ(Ctl("", {"store", "set", key, value}, "", root).status, 2) << key << " " << value;
  EXPECT_EQ(Ctl("", {"store", "set", "sos", "1001"}, "", root).status, 0);  // a text, not the number 1001
  EXPECT_EQ(Ctl("", {"store", "set", "doorHangupDelay", "7"}, "", root).status, 0);
  EXPECT_EQ(Ctl("", {"store", "set", "transportTls", "true"}, "", root).status, 0);
  EXPECT_EQ(Ctl("", {"store", "get", "sos", "-c"}, "", root).out, "\"1001\"\n");
  EXPECT_EQ(Ctl("", {"store", "get", "noSuchKey"}, "", root).status, 1);
  EXPECT_EQ(Ctl("", {"store", "set", "port"}, "", root).status, 2);
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  EXPECT_EQ(Ctl(bus, {"-c", "get", "sos"}).out, "{\"sosRoom\":\"1001\"}\n");
  EXPECT_EQ(Ctl(bus, {"-c", "get", "door"}).out, "{\"timeout\":7,\"sip\":false}\n");
  EXPECT_EQ(Ctl(bus, {"set", "dtmf", "#", "*"}).status, 0);
  EXPECT_EQ(Ctl(bus, {"reset", "dtmf"}).status, 0);
  EXPECT_EQ(Ctl(bus, {"-c", "get", "dtmf"}).out, "{\"1\":\"1\",\"2\":\"2\"}\n");  // the defaults

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
  EXPECT_NE(Ctl("", {"--since", "-1h", "journal"}, "", root).out.find("Запуск приложения"),
            std::string::npos);  // options before the command
  EXPECT_EQ(Ctl("", {"journal", "--since", "@" + std::to_string(time(nullptr) + 3600)}, "", root).out, "");
  EXPECT_EQ(Ctl("", {"journal", "--since", "yesterday"}, "", root).status, 2);

  // Dump, change, restore, dump: the same document; the unchanged server is
  // left alone, so TLS stays on and the daemon is not restarted.
  const std::string before = Ctl(bus, {"settings", "dump"}).out;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"set", "sos", "2002"}, {"set", "dtmf", "#"}, {"set", "door", "9", "on"},
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

}  // namespace
