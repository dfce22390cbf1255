// doralinctl on a private bus: the payload each command sends (to a stand-in
// that records it), the exit status of each outcome, the offline store
// commands, and the real daemon's replies.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
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

// Runs doralinctl to its end with the bus at `address` (and DORALIN_ROOT=root
// when given), collecting all it printed; killed after 10 s (status -1).
Outcome Ctl(const std::string &address, std::vector<std::string> args, const std::string &input = "",
            const std::string &root = "") {
  args.insert(args.begin(), kCtl);
  std::vector<std::string> env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address};
  if (!root.empty()) env.push_back("DORALIN_ROOT=" + root);
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "DBUS_SYSTEM_BUS_ADDRESS=", 24) && strncmp(*e, "DORALIN_ROOT=", 13)) env.push_back(*e);
  std::vector<char *> argv, envp;
  for (std::string &a : args) argv.push_back(a.data());
  for (std::string &e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]), close(out[1]), close(err[1]);
  if (write(in[1], input.data(), input.size()) < 0) {}
  close(in[1]);
  Outcome r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  for (int turn = 0; open > 0 && turn < 100; ++turn) {  // 10 s
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      char buf[4096];
      ssize_t n = fds[i].revents ? read(fds[i].fd, buf, sizeof buf) : 0;
      if (n > 0) (i ? r.err : r.out).append(buf, n);
      if (fds[i].revents && n <= 0) close(fds[i].fd), fds[i].fd = -1, --open;
    }
  }
  if (open > 0) kill(pid, SIGKILL);
  for (pollfd &f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  EXPECT_EQ(Ctl(bus, {"set", "sip", R"({"remote":{"port":0}})"}).status, 1);
  EXPECT_EQ(Ctl(bus, {"accounts", "set", "12", "1201", "1202"}).status, 0);
  EXPECT_EQ(Ctl(bus, {"-c", "accounts", "12"}).out, "{\"12\":[\"1201\",\"1202\"]}\n");
  EXPECT_EQ(Ctl(bus, {"accounts", "set", "13", "a", "a"}).status, 1);
  EXPECT_EQ(Ctl(bus, {"set", "door", "7", "on"}).status, 0);
  EXPECT_EQ(Ctl(bus, {"-c", "get", "door"}).out, "{\"timeout\":7,\"sip\":true}\n");
  EXPECT_EQ(Ctl(bus, {"register-status"}).out, "not registered\n");  // no registrar here
  EXPECT_EQ(Ctl(bus, {"call", "NoSuchMethod"}).status, 1);
  EXPECT_TRUE(d.Running());
}

}  // namespace
