// `cmake --install` of the build tree into staging directories: what lands
// where, with a prefix and with DESTDIR, and what the installed bus policy
// lets through on a private system bus (callers other than root are real
// processes that drop to an unprivileged uid before connecting).
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bus.h"
#include "process.h"

namespace {

const std::string kBuild = DORALIN_BUILD_DIR;

int RunTool(const std::vector<std::string> &args, const std::vector<std::string> &env, std::string *out) {
  Process p;
  ProcessOptions o;
  o.env = env;
  if (!p.Start(args, o) || !p.Wait(Millis(120000))) return -1;
  *out = p.Stdout() + p.Stderr();
  return p.ExitCode();
}

bool Executable(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXOTH);
}

std::string Line(const std::string &text, const std::string &key) {
  for (const std::string &l : SplitLines(text))
    if (l.rfind(key, 0) == 0) return l;
  return "";
}

// Checks the tree under `stage`, installed for `prefix`.
void CheckTree(const std::string &stage, const std::string &prefix) {
  SCOPED_TRACE(stage);
  EXPECT_TRUE(Executable(stage + "/sbin/doralin"));
  ASSERT_TRUE(Executable(stage + "/bin/doralinctl"));
  std::string out;
  EXPECT_EQ(RunTool({stage + "/bin/doralinctl", "--help"}, {}, &out), 0);
  EXPECT_NE(out.find("Usage: doralinctl"), std::string::npos);

  // What the policy allows is checked against a bus below; here it must be there.
  EXPECT_NE(ReadFile(stage + "/share/dbus-1/system.d/is.ornix.doralin.conf").find("<allow own=\"is.ornix.doralin\"/>"),
            std::string::npos);
  std::string unit = ReadFile(stage + "/lib/systemd/system/doralin.service");
  EXPECT_EQ(Line(unit, "ExecStart="), "ExecStart=" + prefix + "/sbin/doralin");
  EXPECT_EQ(Line(unit, "Restart="), "Restart=always");
  // Planned exits (settings restart 2, SIGTERM/network change 15) are not failures.
  std::string success = Line(unit, "SuccessExitStatus=");
  EXPECT_NE(success.find(" 2 "), std::string::npos) << success;
  EXPECT_NE(success.find(" 15"), std::string::npos) << success;

  // Syntax of the unit as systemd reads it (missing dependency units of a bare
  // staging root are expected; unknown keys or values are not).
  if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
    std::string verify;
    RunTool({"systemd-analyze", "verify", "--root=" + stage, stage + "/lib/systemd/system/doralin.service"}, {},
            &verify);
    for (const char *bad : {"Unknown", "Failed to parse", "ignoring", "Invalid"})
      EXPECT_EQ(verify.find(bad), std::string::npos) << verify;
  }

  // The SIP library config: the camera line is the first line naming both the
  // source key and a channel.
  std::string config = ReadFile(stage + "/etc/baresip/config"), camera;
  for (const char *key : {"sip_listen", "rtp_ports", "rtp_timeout"}) EXPECT_NE(Line(config, key), "") << key;
  for (const std::string &l : SplitLines(config))
    if (camera.empty() && l.find("rtspsrc_url") != std::string::npos && l.find("/ch") != std::string::npos) camera = l;
  EXPECT_EQ(camera.rfind("rtspsrc_url", 0), 0u) << camera;
  EXPECT_NE(camera.find("rtsp://127.0.0.1:554/ch1"), std::string::npos) << camera;

  for (const char *doc : {"bus-api.md", "configuration.md"})
    EXPECT_NE(ReadFile(stage + "/share/doc/doralin/" + doc), "") << doc;
}

}  // namespace

// A prefix tree, then a package build (prefix /usr under a staging DESTDIR;
// nothing outside it) whose policy is tried on a system bus, its group
// replaced by one the callers can be in. A call the bus delivers ends in "no
// reply" (the owner stays silent), one it refuses in "denied".
TEST(Install, TreesAndTheBusPolicy) {
  TempDir dir("doralin-install");
  chmod(dir.path().c_str(), 0755);  // unprivileged callers reach the socket and the client
  std::string out;
  ASSERT_EQ(RunTool({"cmake", "--install", kBuild, "--prefix", dir.Path("opt")}, {}, &out), 0) << out;
  CheckTree(dir.Path("opt"), dir.Path("opt"));
  ASSERT_EQ(RunTool({"cmake", "--install", kBuild, "--prefix", "/usr"}, {"DESTDIR=" + dir.Path("stage")}, &out), 0)
      << out;
  CheckTree(dir.Path("stage/usr"), "/usr");

  std::string policy = ReadFile(dir.Path("stage/usr/share/dbus-1/system.d/is.ornix.doralin.conf"));
  size_t group = policy.find("<policy group=\"");
  ASSERT_NE(group, std::string::npos) << policy;
  group += 15;
  policy.replace(group, policy.find('"', group) - group, "nogroup");
  dir.Write("policy.conf", policy);
  const std::string socket = dir.Path("bus.sock");
  // The stock defaults of a system bus: no names, no method calls but to the bus itself.
  dir.Write("bus.conf", "<busconfig><type>system</type><listen>unix:path=" + socket +
                            "</listen><auth>EXTERNAL</auth>\n<policy context=\"default\">\n"
                            "  <allow user=\"*\"/> <deny own=\"*\"/> <deny send_type=\"method_call\"/>\n"
                            "  <allow send_type=\"signal\"/> <allow receive_sender=\"*\"/>\n"
                            "  <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
                            "  <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
                            "  <allow send_destination=\"org.freedesktop.DBus\"/>\n</policy>\n<include>" +
                            dir.Path("policy.conf") + "</include></busconfig>\n");
  Process bus;
  ASSERT_TRUE(bus.Start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + dir.Path("bus.conf"),
                         "--print-address=1"}));
  ASSERT_TRUE(bus.WaitForStdout("unix:", Millis(10000))) << bus.Stderr();  // the policy parsed
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start callers under other uids";

  // Runs `args` against the bus as user and group `id` (as root when it is 0); its exit status.
  auto as = [&](int id, std::vector<std::string> args) {
    const std::string n = std::to_string(id);
    if (id != 0) args.insert(args.begin(), {"setpriv", "--reuid=" + n, "--regid=" + n, "--groups=" + n, "--"});
    return RunTool(args, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socket}, &out);
  };
  const int kNobody = 65534, kDaemon = 1;  // nobody is in nogroup (65534), daemon in group daemon (1)
  EXPECT_NE(as(kNobody, {"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                         "/org/freedesktop/DBus", "org.freedesktop.DBus.RequestName", "string:is.ornix.doralin",
                         "uint32:4"}),
            0);  // a member of the group, too
  EXPECT_NE(out.find("AccessDenied"), std::string::npos) << out;
  BusClient owner("unix:path=" + socket, "is.ornix.doralin");
  ASSERT_TRUE(owner.ok()) << "root could not own the name: " << bus.Stderr();
  const std::vector<std::string> getSos = {dir.Path("stage/usr/bin/doralinctl"), "--timeout", "300", "get", "sos"};
  for (int id : {0, kNobody}) {
    EXPECT_EQ(as(id, getSos), 3);
    EXPECT_NE(out.find("no reply"), std::string::npos) << id << ": " << out;
  }
  EXPECT_EQ(as(kDaemon, getSos), 3);
  EXPECT_NE(out.find("denied"), std::string::npos) << out;
}
