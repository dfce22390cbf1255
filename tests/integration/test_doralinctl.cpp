// doralinctl against a stand-in daemon on a private bus: the payload each
// command sends, how replies are shown, and the exit status of each outcome.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <jansson.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "daemon.h"
#include "ornix.h"
#include "process.h"

namespace {

const std::string kCtl = std::string(DORALIN_BUILD_DIR) + "/tools/doralinctl/doralinctl";

struct Seen {
  std::string method;
  std::optional<std::string> argument;
};

// Owns is.ornix.doralin and answers as the daemon would: a call whose
// argument mentions "refuse" gets false, "NoSuchMethod" the not-found answer,
// "Silent" nothing at all, everything else true.
class StandIn {
 public:
  explicit StandIn(const std::string &address) : client_(address, "is.ornix.doralin") {
    if (client_.ok()) thread_ = std::thread([this] { Serve(); });
  }
  ~StandIn() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return client_.ok(); }
  std::atomic<int> registered{0};

  std::vector<Seen> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(seen_, {});
  }

 private:
  void Serve() {
    DBusConnection *c = client_.conn();
    for (int turn = 0; turn < 6000 && !stop_; ++turn) {  // at most a minute
      dbus_connection_read_write(c, 10);
      while (DBusMessage *m = dbus_connection_pop_message(c)) {
        if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) Answer(c, m);
        dbus_message_unref(m);
      }
    }
  }

  void Answer(DBusConnection *c, DBusMessage *m) {
    Seen s{dbus_message_get_member(m), std::nullopt};
    const char *arg = nullptr;
    DBusError e;
    dbus_error_init(&e);
    if (dbus_message_get_args(m, &e, DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID)) s.argument = arg;
    dbus_error_free(&e);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(s);
    }
    if (s.method == "Silent") return;
    DBusMessage *r = dbus_message_new_method_return(m);
    if (s.method == "GetSipRegisterStatus") {
      uint8_t byte = static_cast<uint8_t>(registered.load());
      const uint8_t *p = &byte;
      dbus_message_append_args(r, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &p, 1, DBUS_TYPE_INVALID);
    } else {
      std::string text = s.argument && s.argument->find("refuse") != std::string::npos
                             ? "{\"result\":false}"
                             : "{\"result\":true}";
      if (s.method == "GetSos") text = "{\"sosRoom\":\"SOS\"}";
      if (s.method == "NoSuchMethod") text = "{\"error\":404,\"message\":\"Not Found\"}";
      const char *t = text.c_str();
      dbus_message_append_args(r, DBUS_TYPE_STRING, &t, DBUS_TYPE_INVALID);
    }
    dbus_connection_send(c, r, nullptr);
    dbus_connection_flush(c);
    dbus_message_unref(r);
  }

  BusClient client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs doralinctl to its end and collects everything it printed; a run that
// takes more than 10 s is killed and reported with status -1.
Outcome CtlAt(const std::string &address, std::vector<std::string> args, const std::string &input = "",
              const std::string &root = "") {
  args.insert(args.begin(), kCtl);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string busEntry = "DBUS_SYSTEM_BUS_ADDRESS=" + address;
  std::vector<char *> envp;
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "DBUS_SYSTEM_BUS_ADDRESS=", 24) != 0 && strncmp(*e, "DORALIN_ROOT=", 13) != 0)
      envp.push_back(*e);
  envp.push_back(busEntry.data());
  std::string rootEntry = "DORALIN_ROOT=" + root;
  if (!root.empty()) envp.push_back(rootEntry.data());
  envp.push_back(nullptr);
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {}
  close(in[1]);
  Outcome r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  auto deadline = std::chrono::steady_clock::now() + Millis(10000);
  while ((fds[0].fd >= 0 || fds[1].fd >= 0) && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i ? r.err : r.out).append(buf, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (pollfd &f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  if (fds[0].fd >= 0 || fds[1].fd >= 0) kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

Outcome Ctl(const PrivateBus &bus, std::vector<std::string> args, const std::string &input = "",
            const std::string &root = "") {
  return CtlAt(bus.address(), std::move(args), input, root);
}

bool SameJson(const std::string &a, const std::string &b) {
  json_t *x = json_loads(a.c_str(), JSON_DECODE_ANY, nullptr);
  json_t *y = json_loads(b.c_str(), JSON_DECODE_ANY, nullptr);
  bool same = x && y && json_equal(x, y);
  json_decref(x);
  json_decref(y);
  return same;
}

class DoralinctlTest : public ::testing::Test {
 protected:
  PrivateBus bus;
};

TEST_F(DoralinctlTest, CommandsSendTheDaemonsPayloads) {
  ASSERT_TRUE(bus.ok());
  StandIn daemon(bus.address());
  ASSERT_TRUE(daemon.ok());
  struct Case {
    std::vector<std::string> args;
    std::string method;
    const char *argument;  // null: the call must carry no argument
    std::string input = "";
  };
  const std::vector<Case> cases = {
      {{"get", "sip"}, "GetSipSettings", nullptr},
      {{"get", "door"}, "GetDoorHangupDelay", nullptr},
      {{"set", "sos", "1001"}, "SetSos", R"({"sosRoom":"1001"})"},
      {{"set", "concierge", "sip:desk@10.0.0.2"}, "SetConcierge", R"({"consiergeRoom":"sip:desk@10.0.0.2"})"},
      {{"set", "dtmf", "#", "*"}, "SetDtmf", R"({"1":"#","2":"*"})"},
      {{"set", "door", "7", "on"}, "SetDoorHangupDelay", R"({"timeout":7,"sip":true})"},
      {{"set", "sip", R"({"remote":{"domain":"pbx.lan","port":5070}})"}, "SetSipSettings",
       R"({"remote":{"domain":"pbx.lan","port":5070}})"},
      {{"set", "gate", "-"}, "SetGateSettings", R"({"prefixSize":3})", R"({"prefixSize":3})"},
      {{"reset", "assistant"}, "DeleteAssistant", nullptr},
      {{"accounts"}, "GetSipAccounts", nullptr},
      {{"accounts", "12"}, "GetSipAccounts", R"({"flat":12})"},
      {{"accounts", "set", "12", "1201", "1202"}, "SetSipAccounts", R"({"12":["1201","1202"]})"},
      {{"accounts", "set", "7"}, "SetSipAccounts", R"({"7":[]})"},
      {{"accounts", "load", R"({"7":["701"],"8":[]})"}, "SetSipAccounts", R"({"7":["701"],"8":[]})"},
      {{"accounts", "delete", "12"}, "DeleteSipAccounts", R"({"flat":12})"},
      {{"accounts", "delete", "all"}, "DeleteSipAccounts", R"({"flat":null})"},
      {{"hangup"}, "HangupActiveCall", nullptr},
      {{"alarm", "play", "fire.wav", "--text", "Пожар", "--only-panel"}, "PlayAlarmNotification",
       R"({"name":"fire.wav","text":"Пожар","onlyPanel":true})"},
      {{"alarm", "stop"}, "StopAlarmNotification", nullptr},
      {{"assistant", "reload"}, "AssistantMakeFilesList", nullptr},
      {{"log-level", "1"}, "DBusSetLogLevel", R"({"level":1})"},
      {{"call", "SetFlat0", R"({"flat0Room":"100"})"}, "SetFlat0", R"({"flat0Room":"100"})"},
  };
  for (const Case &c : cases) {
    std::string line = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
    Outcome r = Ctl(bus, c.args, c.input);
    EXPECT_EQ(r.status, 0) << line << ": " << r.err;
    std::vector<Seen> seen = daemon.Take();
    ASSERT_EQ(seen.size(), 1u) << line;
    EXPECT_EQ(seen[0].method, c.method) << line;
    if (c.argument) {
      ASSERT_TRUE(seen[0].argument.has_value()) << line;
      EXPECT_TRUE(SameJson(*seen[0].argument, c.argument)) << line << ": " << *seen[0].argument;
    } else {
      EXPECT_FALSE(seen[0].argument.has_value()) << line;
    }
  }
  // Replies are printed as JSON, compact on request.
  Outcome r = Ctl(bus, {"-c", "get", "sos"});
  EXPECT_EQ(r.out, "{\"sosRoom\":\"SOS\"}\n");
}

TEST_F(DoralinctlTest, ExitStatusTellsDoneFromRefusedFromErrors) {
  ASSERT_TRUE(bus.ok());
  {
    // Nobody owns the name yet.
    Outcome r = Ctl(bus, {"get", "sip"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
  }
  StandIn daemon(bus.address());
  ASSERT_TRUE(daemon.ok());

  Outcome r = Ctl(bus, {"set", "sos", "refuse"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("false"), std::string::npos);
  r = Ctl(bus, {"call", "NoSuchMethod"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("404"), std::string::npos);

  r = Ctl(bus, {"register-status"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "not registered\n");
  daemon.registered = 1;
  r = Ctl(bus, {"register-status"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "registered\n");

  r = Ctl(bus, {"--timeout", "300", "call", "Silent"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("no reply within 300 ms"), std::string::npos) << r.err;
  daemon.Take();

  // Usage errors never reach the bus.
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"get", "nonsense"},
      {"set", "sip", "{not json"},
      {"set", "sip", "[1,2]"},
      {"set", "door", "soon"},
      {"accounts", "delete", "twelve"},
      {"log-level", "9"},
      {"--timeout", "-5", "get", "sip"},
      {"--bogus", "get", "sip"},
  };
  for (const auto &args : bad) {
    r = Ctl(bus, args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_TRUE(daemon.Take().empty());
  r = Ctl(bus, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit status"), std::string::npos);

  // An explicit address wins over the environment; a dead one is a bus error.
  r = Ctl(bus, {"--address", bus.address(), "-c", "get", "sos"});
  EXPECT_EQ(r.status, 0);
  r = Ctl(bus, {"--address", "unix:path=/nonexistent/bus.sock", "get", "sos"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
}

TEST_F(DoralinctlTest, StoreCommandsReadAndWriteTheDeviceStore) {
  TempDir root("doralinctl-store");
  EXPECT_EQ(Ctl(bus, {"store", "set", "port", "6000"}, "", root.path()).status, 0);
  EXPECT_EQ(Ctl(bus, {"store", "set", "domain", "pbx.lan"}, "", root.path()).status, 0);
  EXPECT_EQ(Ctl(bus, {"store", "set", "doorHangupOn", "true"}, "", root.path()).status, 0);
  Outcome r = Ctl(bus, {"-c", "store", "get", "domain"}, "", root.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\"pbx.lan\"\n");
  EXPECT_EQ(Ctl(bus, {"store", "get", "username"}, "", root.path()).status, 1);
  EXPECT_EQ(Ctl(bus, {"store", "set", "port"}, "", root.path()).status, 2);

  ScopedEnv env("DORALIN_ROOT", root.path());
  json_t *port = StoreGetVariable(nullptr, "doralin", "port");
  json_t *domain = StoreGetVariable(nullptr, "doralin", "domain");
  json_t *on = StoreGetVariable(nullptr, "doralin", "doorHangupOn");
  EXPECT_EQ(json_integer_value(port), 6000);
  EXPECT_STREQ(json_string_value(domain), "pbx.lan");
  EXPECT_TRUE(json_is_true(on));
  json_decref(port);
  json_decref(domain);
  json_decref(on);
}

// The same client against the real daemon: its replies are understood and
// its refusals come out as status 1.
TEST(DoralinctlDaemon, TalksToTheRealDaemon) {
  Daemon d;
  ASSERT_TRUE(d.Setup());
  // Prepared offline, read by the daemon at start.
  EXPECT_EQ(CtlAt("", {"store", "set", "sos", "from-store"}, "", d.Root()).status, 0);
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  const std::string bus = d.BusAddress();
  EXPECT_EQ(CtlAt(bus, {"-c", "get", "sos"}).out, "{\"sosRoom\":\"from-store\"}\n");
  EXPECT_EQ(CtlAt(bus, {"set", "sos", "1001"}).status, 0);
  EXPECT_EQ(CtlAt(bus, {"-c", "get", "sos"}).out, "{\"sosRoom\":\"1001\"}\n");
  EXPECT_EQ(CtlAt(bus, {"set", "sos", std::string(120, 's')}).status, 1);
  EXPECT_EQ(CtlAt(bus, {"set", "sip", R"({"remote":{"port":0}})"}).status, 1);
  EXPECT_EQ(CtlAt(bus, {"accounts", "set", "12", "1201", "1202"}).status, 0);
  EXPECT_EQ(CtlAt(bus, {"-c", "accounts", "12"}).out, "{\"12\":[\"1201\",\"1202\"]}\n");
  EXPECT_EQ(CtlAt(bus, {"accounts", "set", "13", "a", "a"}).status, 1);
  EXPECT_EQ(CtlAt(bus, {"-c", "set", "door", "7", "on"}).status, 0);
  EXPECT_EQ(CtlAt(bus, {"-c", "get", "door"}).out, "{\"timeout\":7,\"sip\":true}\n");
  Outcome r = CtlAt(bus, {"register-status"});
  EXPECT_EQ(r.status, 1);  // no registrar in this test
  EXPECT_EQ(r.out, "not registered\n");
  EXPECT_EQ(CtlAt(bus, {"call", "NoSuchMethod"}).status, 1);
  EXPECT_TRUE(d.Running());
}

}  // namespace
