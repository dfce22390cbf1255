// `cmake --install` of the build tree. A prefix tree keeps every file under
// its prefix, and its programs read their config there. A package tree (prefix /usr under DESTDIR) puts each file where
// the system reads it; systemd's own tools apply its users, directories and
// unit to the staged root; then, on Debian's stock system bus configuration
// with the staged policy, the staged daemon runs as its own user: a panel
// service in the group dials and is served, an outsider is refused.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../unit/test_wav_fixture.h"
#include "bus.h"
#include "process.h"

namespace {

const std::string kBuild = DORALIN_BUILD_DIR;

int RunTool(const std::vector<std::string> &args, const std::vector<std::string> &env, std::string *out) {
  Process p;
  if (!p.Start(args, {.env = env}) || !p.Wait(Millis(120000))) return -1;
  *out = p.Stdout() + p.Stderr();
  return p.ExitCode();
}

// Paths the last `cmake --install` wrote, as it names them (without DESTDIR).
std::vector<std::string> Installed() { return SplitLines(ReadFile(kBuild + "/install_manifest.txt")); }

// The line of `name` in a passwd or group file ("" when missing), and its id.
std::string Entry(const std::string &file, const std::string &name) {
  for (const std::string &l : SplitLines(ReadFile(file)))
    if (l.starts_with(name + ":")) return l;
  return "";
}
int IdOf(const std::string &file, const std::string &name) {
  const std::string l = Entry(file, name);
  return l.empty() ? -1 : atoi(l.c_str() + l.find(':', name.size() + 1) + 1);
}

uid_t Owner(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

// Debian's system bus configuration, listening on `socket`, run as the
// caller, reading its policies from `policyDir`.
std::string StockBusConfig(const std::string &socket, const std::string &policyDir) {
  std::string text;
  for (std::string l : SplitLines(ReadFile("/usr/share/dbus-1/system.conf"))) {
    if (l.find("<user>") != l.npos || l.find("<fork/>") != l.npos || l.find("<pidfile>") != l.npos) continue;
    if (l.find("<listen>") != l.npos) l = "<listen>unix:path=" + socket + "</listen>";
    if (l.find("<includedir>system.d</includedir>") != l.npos) l = "<includedir>" + policyDir + "</includedir>";
    text += l + "\n";
  }
  return text;
}

}  // namespace

TEST(Install, PackageTreeOnTheStockSystemBus) {
  TempDir dir("doralin-install");
  chmod(dir.path().c_str(), 0755);  // the daemon's and the callers' users reach the stage and the sockets
  std::string out;
  ASSERT_EQ(RunTool({"cmake", "--install", kBuild, "--prefix", dir.Path("opt")}, {}, &out), 0) << out;
  for (const std::string &path : Installed()) EXPECT_TRUE(path.starts_with(dir.Path("opt/"))) << path;
  {
    ScopedEnv noRoot("DORALIN_ROOT", std::nullopt);
    ASSERT_EQ(RunTool({dir.Path("opt/bin/doralinctl"), "config", "check"}, {}, &out), 0) << out;
    EXPECT_EQ(dir.Path("opt/etc/baresip/config") + ": ok\n", out);
    // A value the daemon refuses (exit 78) shows which file it read.
    ASSERT_TRUE(dir.Write("opt/etc/baresip/config", "sip_regint 5\n"));
    PrivateBus bus(false);
    ASSERT_TRUE(bus.ok());
    EXPECT_EQ(RunTool({dir.Path("opt/sbin/doralin")}, {bus.EnvEntry(), "DORALIN_LOG_STDERR=1"}, &out), 78) << out;
    EXPECT_NE(out.find(dir.Path("opt/etc/baresip/config") + ":1: sip_regint"), std::string::npos) << out;
  }

  const std::string stage = dir.Path("stage");
  ASSERT_EQ(RunTool({"cmake", "--install", kBuild, "--prefix", "/usr"}, {"DESTDIR=" + stage}, &out), 0) << out;
  ASSERT_EQ(RunTool({"pkg-config", "--variable=systemdsystemunitdir", "systemd"}, {}, &out), 0);
  const std::string unit = SplitLines(out).at(0) + "/doralin.service";
  const std::vector<std::string> installed = Installed();
  for (const std::string &path :
       {std::string("/etc/baresip/config"), unit, std::string("/usr/share/dbus-1/system.d/is.ornix.doralin.conf"),
        std::string("/usr/lib/sysusers.d/doralin.conf"), std::string("/usr/lib/tmpfiles.d/doralin.conf"),
        std::string("/usr/share/man/man8/doralin.8"), std::string("/usr/share/man/man1/doralinctl.1"),
        std::string("/usr/share/doc/doralin/LICENSE"), std::string("/usr/sbin/doralin")})
    EXPECT_NE(std::ranges::count(installed, path), 0) << path;
  if (geteuid() != 0) GTEST_SKIP() << "needs root for users, mounts and callers under other uids";

  // The panel's base users, then what systemd makes of the staged entries.
  ASSERT_TRUE(WriteFile(stage + "/etc/passwd", ReadFile("/etc/passwd")));
  ASSERT_TRUE(WriteFile(stage + "/etc/group", ReadFile("/etc/group")));
  ASSERT_EQ(RunTool({"systemd-sysusers", "--root=" + stage}, {}, &out), 0) << out;
  ASSERT_EQ(RunTool({"systemd-tmpfiles", "--create", "--root=" + stage}, {}, &out), 0) << out;
  const int user = IdOf(stage + "/etc/passwd", "doralin"), group = IdOf(stage + "/etc/group", "ornix");
  ASSERT_GT(user, 0);
  ASSERT_GT(group, 0);
  for (const char *path : {"/oem", "/var/lib/ornix/store.db", "/etc/baresip/config"})
    EXPECT_EQ(Owner(stage + path), uid_t(user)) << path;
  EXPECT_TRUE(Entry(stage + "/etc/group", "audio").ends_with("doralin")) << Entry(stage + "/etc/group", "audio");

  // The unit as systemd reads it; its hardening; the lost bus (69) counts as a failure.
  RunTool({"systemd-analyze", "verify", "--root=" + stage, stage + unit}, {}, &out);
  for (const char *bad : {"Unknown", "Failed to parse", "ignoring", "Invalid"})
    EXPECT_EQ(out.find(bad), std::string::npos) << out;
  RunTool({"systemd-analyze", "security", "--offline=true", "--root=" + stage, "doralin.service"}, {}, &out);
  const size_t level = out.find("Overall exposure level for doralin.service: ");
  ASSERT_NE(level, std::string::npos) << out;
  EXPECT_LE(atof(out.c_str() + level + 44), 4.0) << out.substr(level);
  const std::string units = ReadFile(stage + unit);
  const size_t success = units.find("\nSuccessExitStatus=");
  ASSERT_NE(success, std::string::npos);
  EXPECT_EQ(units.substr(success, units.find('\n', success + 1) - success).find(" 69"), std::string::npos);

  // The stock system bus with the staged policy, in a mount namespace that
  // sees the staged users (the bus resolves the policy's names).
  const std::string socket = dir.Path("bus.sock"), address = "unix:path=" + socket;
  ASSERT_TRUE(dir.Write("bus.conf", StockBusConfig(socket, stage + "/usr/share/dbus-1/system.d")));
  Process bus;
  ASSERT_TRUE(bus.Start({"unshare", "--mount", "--", "sh", "-c",
                         "mount --bind " + stage + "/etc/passwd /etc/passwd && mount --bind " + stage +
                             "/etc/group /etc/group && exec dbus-daemon --nofork --nopidfile --print-address=1"
                             " --config-file=" + dir.Path("bus.conf")}));
  ASSERT_TRUE(bus.WaitForStdout("unix:", Millis(10000))) << bus.Stderr();

  // The integrator's settings: loopback only, a registrar that never answers.
  std::string config = ReadFile(stage + "/etc/baresip/config"), local;
  for (const std::string &l : SplitLines(config))
    if (!l.starts_with("sip_listen") && !l.starts_with("net_interface") && !l.starts_with("rtp_ports"))
      local += l + "\n";
  const int rtp = 30000 + getpid() % 1000 * 20;
  local += "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) + "\nrtp_ports " + std::to_string(rtp) + "-" +
           std::to_string(rtp + 19) + "\n";
  ASSERT_TRUE(WriteFile(stage + "/etc/baresip/config", local));
  const std::string ctl = stage + "/usr/bin/doralinctl";
  const std::vector<std::string> env = {"DORALIN_ROOT=" + stage, "DBUS_SYSTEM_BUS_ADDRESS=" + address};
  ASSERT_EQ(RunTool({ctl, "store", "set", "domain", "127.0.0.1"}, env, &out), 0) << out;
  ASSERT_EQ(RunTool({ctl, "store", "set", "port", std::to_string(FreeUdpPort())}, env, &out), 0) << out;
  ASSERT_TRUE(mkdir((stage + "/tmp").c_str(), 0777) == 0 && chmod((stage + "/tmp").c_str(), 01777) == 0);

  StreamerSink notify(dir.Path("notify.sock"));  // systemd's notify socket
  ASSERT_TRUE(notify.ok() && chmod(dir.Path("notify.sock").c_str(), 0777) == 0);
  auto notified = [&notify](const std::string &text) {
    return WaitFor([&] {
      const std::vector<uint8_t> got = notify.Joined();
      return std::string(got.begin(), got.end()).find(text) != std::string::npos;
    }, Millis(10000));
  };
  Process daemon;
  std::vector<std::string> daemonEnv = env;
  daemonEnv.insert(daemonEnv.end(), {"DORALIN_LOG_STDERR=1", "NOTIFY_SOCKET=" + dir.Path("notify.sock"),
                                     "WATCHDOG_USEC=1000000"});
  ASSERT_TRUE(daemon.Start({"setpriv", "--reuid=" + std::to_string(user), "--regid=" + std::to_string(user),
                            "--groups=" + std::to_string(IdOf(stage + "/etc/group", "audio")), "--",
                            stage + "/usr/sbin/doralin"},
                           {.env = daemonEnv}));
  ASSERT_TRUE(notified("READY=1")) << daemon.Stderr();
  EXPECT_TRUE(notified("WATCHDOG=1"));

  // Runs `args` as uid `id` with the groups `groups`; its exit status.
  auto as = [&](int id, int groups, std::vector<std::string> args) {
    args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(id), "--regid=" + std::to_string(groups),
                               "--groups=" + std::to_string(groups), "--"});
    return RunTool(args, env, &out);
  };
  auto dial = [&](int id, int groups, const char *bytes) {
    return as(id, groups, {"dbus-send", "--system", "--type=signal", "/is/ornix",
                           "is.ornix.Signal.UART_EV_TRYING_CALL", std::string("array:byte:") + bytes});
  };
  const int kNobody = 65534, kBin = 2;  // a panel service in the group; an outsider
  BusClient watcher(address);
  ASSERT_TRUE(watcher.Subscribe("is.ornix.doralin.Status"));
  EXPECT_EQ(dial(kBin, kBin, "13,0,1"), 0);
  EXPECT_EQ(as(kBin, kBin, {ctl, "get", "sos"}), 3);
  EXPECT_NE(out.find("denied"), std::string::npos) << out;
  EXPECT_EQ(as(kNobody, group, {ctl, "register-status"}), 1) << out;  // its registrar never answers
  EXPECT_EQ(as(kNobody, group, {ctl, "-c", "status"}), 0) << out;
  EXPECT_NE(out.find("\"state\":\"IDLE\""), std::string::npos) << out;  // the outsider's dial never arrived
  EXPECT_EQ(dial(kNobody, group, "12,0,1"), 0);
  auto changed = watcher.WaitForSignal("StateChanged", Millis(5000));
  ASSERT_TRUE(changed) << daemon.Stderr();
  EXPECT_NE(changed->text.value_or("").find("\"state\":\"OUTGOING_UART_DIALING\""), std::string::npos);
  EXPECT_EQ(as(kNobody, group, {ctl, "accounts", "set", "12", "1201"}), 0) << out;  // /oem is writable
  EXPECT_EQ(ReadFile(stage + "/oem/sip_accounts.conf"), "{\"12\":[\"1201\"]}");

  // Introspection and Ping for the group (that every method is served:
  // reliability/test_bus_input).
  EXPECT_EQ(as(kNobody, group, {"busctl", "--address=" + address, "introspect", "is.ornix.doralin", "/is/ornix"}), 0)
      << out;
  EXPECT_NE(out.find(".StateChanged"), std::string::npos);
  EXPECT_EQ(as(kNobody, group, {"busctl", "--address=" + address, "call", "is.ornix.doralin", "/is/ornix",
                                "org.freedesktop.DBus.Peer", "Ping"}),
            0)
      << out;

  bus.Kill();
  ASSERT_TRUE(daemon.Wait(Millis(10000)));
  EXPECT_EQ(daemon.ExitCode(), 69) << daemon.Stderr();
}
