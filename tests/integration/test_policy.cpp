// The shipped system-bus policy, loaded into a private system bus: who may
// own is.ornix.doralin and who may call its methods. Callers other than root
// are real processes that drop to an unprivileged uid before connecting.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;

const std::string kPolicy = std::string(DORALIN_SOURCE_DIR) + "/packaging/is.ornix.doralin.conf";
const std::string kCtl = std::string(DORALIN_BUILD_DIR) + "/tools/doralinctl/doralinctl";

// A system bus with the stock restrictive defaults of a system bus and the
// daemon's policy on top (its group replaced by `group` when given).
class PolicyBus {
 public:
  explicit PolicyBus(const std::string &group = "") {
    chmod(dir_.path().c_str(), 0755);  // unprivileged callers must reach the socket
    std::string policy = ReadFile(kPolicy);
    if (policy.empty()) return;
    if (!group.empty()) {
      const std::string from = "group=\"ornix\"";
      size_t at = policy.find(from);
      if (at == std::string::npos) return;
      policy.replace(at, from.size(), "group=\"" + group + "\"");
    }
    dir_.Write("policy.conf", policy);
    std::string socket = dir_.Path("bus.sock");
    dir_.Write("bus.conf",
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n  <type>system</type>\n"
               "  <listen>unix:path=" + socket + "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n    <deny own=\"*\"/>\n"
               "    <deny send_type=\"method_call\"/>\n    <allow send_type=\"signal\"/>\n"
               "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
               "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
               "    <allow receive_type=\"method_call\"/>\n    <allow receive_type=\"method_return\"/>\n"
               "    <allow receive_type=\"error\"/>\n    <allow receive_type=\"signal\"/>\n"
               "    <allow send_destination=\"org.freedesktop.DBus\"/>\n"
               "  </policy>\n"
               "  <include>" + dir_.Path("policy.conf") + "</include>\n"
               "</busconfig>\n");
    if (!daemon_.Start({"dbus-daemon", "--nofork", "--nopidfile",
                        "--config-file=" + dir_.Path("bus.conf"), "--print-address=1"}))
      return;
    if (WaitFor([&] { return daemon_.Stdout().find('\n') != std::string::npos || !daemon_.Running(); },
                Millis(10000)) && daemon_.Running())
      address_ = "unix:path=" + socket;
    // Callers that drop privileges get their own copy of the client.
    fs::copy_file(kCtl, dir_.Path("doralinctl"), fs::copy_options::overwrite_existing);
    chmod(dir_.Path("doralinctl").c_str(), 0755);
  }
  ~PolicyBus() { daemon_.Stop(); }

  bool ok() const { return !address_.empty(); }
  const std::string &address() const { return address_; }
  std::string Log() const { return daemon_.Stderr(); }

  // Runs `args` as uid:gid (root when uid is 0) against this bus; exit status,
  // -1 when it did not end within 10 s. Its stderr goes to *err.
  int RunAs(int uid, int gid, std::vector<std::string> args, std::string *err = nullptr) {
    if (args[0] == "doralinctl") args[0] = dir_.Path("doralinctl");
    if (uid != 0) {
      std::vector<std::string> drop = {"setpriv", "--reuid=" + std::to_string(uid),
                                       "--regid=" + std::to_string(gid),
                                       "--groups=" + std::to_string(gid), "--"};
      args.insert(args.begin(), drop.begin(), drop.end());
    }
    Process p;
    ProcessOptions o;
    o.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
    if (!p.Start(args, o) || !p.Wait(Millis(10000))) return -1;
    WaitFor([&] { return !p.Stderr().empty(); }, Millis(200));
    if (err) *err = p.Stderr();
    return p.ExitCode();
  }

 private:
  TempDir dir_{"doralin-policy"};
  Process daemon_;
  std::string address_;
};

// Owns the daemon's name (as root) and answers every method call true.
class Service {
 public:
  explicit Service(const std::string &address) : client_(address, "is.ornix.doralin") {
    if (!client_.ok()) return;
    thread_ = std::thread([this] {
      for (int turn = 0; turn < 6000 && !stop_; ++turn) {  // at most a minute
        dbus_connection_read_write(client_.conn(), 10);
        while (DBusMessage *m = dbus_connection_pop_message(client_.conn())) {
          if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
            ++calls;
            DBusMessage *r = dbus_message_new_method_return(m);
            const char *text = "{\"result\":true}";
            dbus_message_append_args(r, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
            dbus_connection_send(client_.conn(), r, nullptr);
            dbus_message_unref(r);
          }
          dbus_message_unref(m);
        }
      }
    });
  }
  ~Service() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return client_.ok(); }
  std::atomic<int> calls{0};

 private:
  BusClient client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

const int kNobody = 65534, kNogroup = 65534, kDaemonUser = 1, kDaemonGroup = 1;

std::vector<std::string> OwnName() {
  return {"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
          "/org/freedesktop/DBus", "org.freedesktop.DBus.RequestName",
          "string:is.ornix.doralin", "uint32:4"};
}

TEST(Policy, OnlyRootOwnsAndOnlyRootAndTheGroupCall) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start callers under other uids";
  {
    PolicyBus bus;
    ASSERT_TRUE(bus.ok()) << bus.Log();
    std::string err;
    EXPECT_NE(bus.RunAs(kNobody, kNogroup, OwnName(), &err), 0);
    EXPECT_NE(err.find("AccessDenied"), std::string::npos) << err;

    Service service(bus.address());
    ASSERT_TRUE(service.ok()) << "root could not own the name: " << bus.Log();

    EXPECT_EQ(bus.RunAs(0, 0, {"doralinctl", "get", "sos"}, &err), 0) << err;
    EXPECT_EQ(service.calls, 1);
    // nobody is not in the panel services' group.
    EXPECT_EQ(bus.RunAs(kNobody, kNogroup, {"doralinctl", "get", "sos"}, &err), 3);
    EXPECT_NE(err.find("denied"), std::string::npos) << err;
    EXPECT_EQ(service.calls, 1);
  }
  {
    // The group the build substitutes: members call, others still do not.
    PolicyBus bus("nogroup");
    ASSERT_TRUE(bus.ok()) << bus.Log();
    Service service(bus.address());
    ASSERT_TRUE(service.ok());
    std::string err;
    EXPECT_EQ(bus.RunAs(kNobody, kNogroup, {"doralinctl", "set", "sos", "101"}, &err), 0) << err;
    EXPECT_EQ(service.calls, 1);
    EXPECT_EQ(bus.RunAs(kDaemonUser, kDaemonGroup, {"doralinctl", "get", "sos"}, &err), 3);
    EXPECT_NE(err.find("denied"), std::string::npos) << err;
    // Group members may call methods but still not take the name.
    EXPECT_NE(bus.RunAs(kNobody, kNogroup, OwnName(), &err), 0);
    EXPECT_EQ(service.calls, 1);
  }
}

}  // namespace
