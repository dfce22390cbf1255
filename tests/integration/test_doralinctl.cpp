// doralinctl on a private bus: the payload each command sends (to a stand-in
// that records it), the exit status of each outcome, the offline store
// commands, and the real daemon's replies.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "ornix.h"

namespace {

const std::string kCtl = std::string(DORALIN_BUILD_DIR) + "/tools/doralinctl/doralinctl";

// Owns is.ornix.doralin and records each call. Answers: "GetSipRegisterStatus"
// the byte `registered`, "NoSuchMethod" not-found, "Silent" nothing, an
// argument mentioning "refuse" false, anything else true.
struct StandIn {
  explicit StandIn(const std::string &address) : client(address, "is.ornix.doralin") {
    if (client.ok()) thread = std::thread([this] { Serve(); });
  }
  ~StandIn() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(seen, {});
  }
  void Serve() {
    for (int turn = 0; turn < 6000 && !stop; ++turn) {  // at most a minute
      dbus_connection_read_write(client.conn(), 10);
      while (DBusMessage *m = dbus_connection_pop_message(client.conn())) {
        if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) Answer(m);
        dbus_message_unref(m);
      }
    }
  }
  void Answer(DBusMessage *m) {
    std::string method = dbus_message_get_member(m);
    std::optional<std::string> arg;
    const char *text = nullptr;
    if (dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) arg = text;
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.emplace_back(method, arg);
    }
    if (method == "Silent") return;
    DBusMessage *r = dbus_message_new_method_return(m);
    if (method == "GetSipRegisterStatus") {
      uint8_t byte = static_cast<uint8_t>(registered.load());
      const uint8_t *p = &byte;
      dbus_message_append_args(r, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &p, 1, DBUS_TYPE_INVALID);
    } else {
      const char *reply = method == "NoSuchMethod" ? "{\"error\":404,\"message\":\"Not Found\"}"
                          : method == "GetSos"     ? "{\"sosRoom\":\"SOS\"}"
                          : arg && arg->find("refuse") != std::string::npos ? "{\"result\":false}"
                                                                            : "{\"result\":true}";
      dbus_message_append_args(r, DBUS_TYPE_STRING, &reply, DBUS_TYPE_INVALID);
    }
    dbus_connection_send(client.conn(), r, nullptr);
    dbus_connection_flush(client.conn());
    dbus_message_unref(r);
  }

  BusClient client;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<int> registered{0};
  std::mutex mutex;
  std::vector<std::pair<std::string, std::optional<std::string>>> seen;
};

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs doralinctl to its end with the bus at `address` (and DORALIN_ROOT=root
// when given), collecting all it printed; killed after 10 s.
Outcome Ctl(const std::string &address, const std::vector<std::string> &args, const std::string &input = "",
            const std::string &root = "") {
  TempDir dir("doralinctl");
  dir.Write("in", input);
  std::string command = "env -u DORALIN_ROOT DBUS_SYSTEM_BUS_ADDRESS=" + Quote(address) +
                        (root.empty() ? "" : " DORALIN_ROOT=" + Quote(root)) + " timeout -s KILL 10 " + kCtl;
  for (const std::string &a : args) command += " " + Quote(a);
  command += " <" + dir.Path("in") + " 2>" + dir.Path("err");
  Outcome r;
  FILE *p = popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int status = p ? pclose(p) : -1;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = dir.Read("err");
  return r;
}

bool SameJson(const std::string &a, const char *b) {
  json_t *x = json_loads(a.c_str(), JSON_DECODE_ANY, nullptr), *y = json_loads(b, JSON_DECODE_ANY, nullptr);
  bool same = x && y && json_equal(x, y);
  json_decref(x);
  json_decref(y);
  return same;
}

// The payload each command sends, then the exit status of each outcome.
TEST(Doralinctl, PayloadsAndExitStatus) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok());
  Outcome r = Ctl(bus.address(), {"get", "sip"});  // nobody owns the name yet
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
  StandIn daemon(bus.address());
  ASSERT_TRUE(daemon.client.ok());
  const struct {
    std::vector<std::string> args;
    const char *method;
    const char *argument;  // null: the call must carry no argument
    std::string input;
  } cases[] = {
      {{"get", "sip"}, "GetSipSettings", nullptr, ""},
      {{"set", "concierge", "sip:desk@10.0.0.2"}, "SetConcierge", R"({"consiergeRoom":"sip:desk@10.0.0.2"})", ""},
      {{"set", "dtmf", "#", "*"}, "SetDtmf", R"({"1":"#","2":"*"})", ""},
      {{"set", "door", "7", "on"}, "SetDoorHangupDelay", R"({"timeout":7,"sip":true})", ""},
      {{"set", "sip", R"({"remote":{"port":5070}})"}, "SetSipSettings", R"({"remote":{"port":5070}})", ""},
      {{"set", "gate", "-"}, "SetGateSettings", R"({"prefixSize":3})", R"({"prefixSize":3})"},
      {{"reset", "assistant"}, "DeleteAssistant", nullptr, ""},
      {{"accounts"}, "GetSipAccounts", nullptr, ""},
      {{"accounts", "12"}, "GetSipAccounts", R"({"flat":12})", ""},
      {{"accounts", "set", "12", "1201", "1202"}, "SetSipAccounts", R"({"12":["1201","1202"]})", ""},
      {{"accounts", "delete", "all"}, "DeleteSipAccounts", R"({"flat":null})", ""},
      {{"hangup"}, "HangupActiveCall", nullptr, ""},
      {{"alarm", "play", "fire.wav", "--text", "Пожар", "--only-panel"}, "PlayAlarmNotification",
       R"({"name":"fire.wav","text":"Пожар","onlyPanel":true})", ""},
      {{"log-level", "1"}, "DBusSetLogLevel", R"({"level":1})", ""},
  };
  for (const auto &c : cases) {
    r = Ctl(bus.address(), c.args, c.input);
    EXPECT_EQ(r.status, 0) << c.method << ": " << r.err;
    auto seen = daemon.Take();
    ASSERT_EQ(seen.size(), 1u) << c.method;
    EXPECT_EQ(seen[0].first, c.method);
    EXPECT_EQ(seen[0].second.has_value(), c.argument != nullptr) << c.method;
    if (c.argument && seen[0].second) {
      EXPECT_TRUE(SameJson(*seen[0].second, c.argument)) << *seen[0].second;
    }
  }
  EXPECT_EQ(Ctl(bus.address(), {"-c", "get", "sos"}).out, "{\"sosRoom\":\"SOS\"}\n");

  EXPECT_EQ(Ctl(bus.address(), {"set", "sos", "refuse"}).status, 1);
  EXPECT_EQ(Ctl(bus.address(), {"call", "NoSuchMethod"}).status, 1);
  r = Ctl(bus.address(), {"register-status"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "not registered\n");
  daemon.registered = 1;
  EXPECT_EQ(Ctl(bus.address(), {"register-status"}).status, 0);
  r = Ctl(bus.address(), {"--timeout", "300", "call", "Silent"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("no reply within 300 ms"), std::string::npos) << r.err;
  r = Ctl("unix:path=/nonexistent/bus.sock", {"get", "sos"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
  // An explicit address wins over the environment.
  EXPECT_EQ(Ctl("unix:path=/nonexistent/bus.sock", {"--address", bus.address(), "get", "sos"}).status, 0);
  daemon.Take();

  // Usage errors never reach the bus.
  for (const auto &args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"get", "nonsense"}, {"set", "sip", "{not json"}, {"set", "sip", "[1]"},
           {"accounts", "delete", "twelve"}, {"--timeout", "-5", "get", "sip"}})
    EXPECT_EQ(Ctl(bus.address(), args).status, 2) << (args.empty() ? "(none)" : args.back());
  EXPECT_TRUE(daemon.Take().empty());
}

TEST(Doralinctl, StoreCommandsReadAndWriteTheDeviceStore) {
  TempDir root("doralinctl-store");
  EXPECT_EQ(Ctl("", {"store", "set", "port", "6000"}, "", root.path()).status, 0);
  EXPECT_EQ(Ctl("", {"store", "set", "domain", "pbx.lan"}, "", root.path()).status, 0);
  EXPECT_EQ(Ctl("", {"-c", "store", "get", "domain"}, "", root.path()).out, "\"pbx.lan\"\n");
  EXPECT_EQ(Ctl("", {"store", "get", "username"}, "", root.path()).status, 1);
  EXPECT_EQ(Ctl("", {"store", "set", "port"}, "", root.path()).status, 2);
  ScopedEnv env("DORALIN_ROOT", root.path());
  json_t *port = StoreGetVariable(nullptr, "doralin", "port");
  EXPECT_EQ(json_integer_value(port), 6000);  // an integer, not the text "6000"
  json_decref(port);
}

TEST(Doralinctl, TalksToTheRealDaemon) {
  Daemon d;
  ASSERT_TRUE(d.Setup());
  // Prepared offline, read by the daemon at start.
  EXPECT_EQ(Ctl("", {"store", "set", "sos", "from-store"}, "", d.Root()).status, 0);
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  const std::string bus = d.BusAddress();
  EXPECT_EQ(Ctl(bus, {"-c", "get", "sos"}).out, "{\"sosRoom\":\"from-store\"}\n");
  EXPECT_EQ(Ctl(bus, {"set", "sos", std::string(120, 's')}).status, 1);
  EXPECT_EQ(Ctl(bus, {"accounts", "set", "12", "1201", "1202"}).status, 0);
  EXPECT_EQ(Ctl(bus, {"-c", "accounts", "12"}).out, "{\"12\":[\"1201\",\"1202\"]}\n");
  EXPECT_EQ(Ctl(bus, {"set", "door", "7", "on"}).status, 0);
  EXPECT_EQ(Ctl(bus, {"-c", "get", "door"}).out, "{\"timeout\":7,\"sip\":true}\n");
  EXPECT_EQ(Ctl(bus, {"register-status"}).out, "not registered\n");  // no registrar here
}

}  // namespace
