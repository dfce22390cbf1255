// `cmake --install` of the build tree into staging directories, with a prefix
// and with DESTDIR, and what lands where.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string kBuild = DORALIN_BUILD_DIR;

int RunTool(const std::vector<std::string> &args, const std::vector<std::string> &env, std::string *out) {
  Process p;
  ProcessOptions o;
  o.env = env;
  if (!p.Start(args, o) || !p.Wait(Millis(120000))) return -1;
  WaitFor([&] { return !p.Stdout().empty(); }, Millis(500));
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

  // What the policy allows is checked against a bus elsewhere; here it must be there.
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

  // The SIP library config: the camera line must be the first line naming both
  // the source key and a channel, short enough for the daemon's line reader.
  std::string config = ReadFile(stage + "/etc/baresip/config");
  for (const char *key : {"sip_listen", "rtp_ports", "rtp_timeout"}) EXPECT_NE(Line(config, key), "") << key;
  std::string camera;
  for (const std::string &l : SplitLines(config))
    if (l.find("rtspsrc_url") != std::string::npos && l.find("/ch") != std::string::npos) {
      camera = l;
      break;
    }
  EXPECT_EQ(camera.rfind("rtspsrc_url", 0), 0u) << camera;
  EXPECT_LT(camera.size(), 126u);
  EXPECT_NE(camera.find("rtsp://127.0.0.1:554/ch1"), std::string::npos) << camera;

  for (const char *doc : {"bus-api.md", "configuration.md"})
    EXPECT_NE(ReadFile(stage + "/share/doc/doralin/" + doc), "") << doc;
}

TEST(Install, PrefixAndDestdirTreesHoldEveryPieceInItsPlace) {
  ASSERT_TRUE(Executable(kBuild + "/tools/doralinctl/doralinctl")) << "build all targets first";
  TempDir dir("doralin-install");
  std::string out;

  ASSERT_EQ(RunTool({"cmake", "--install", kBuild, "--prefix", dir.Path("opt")}, {}, &out), 0) << out;
  CheckTree(dir.Path("opt"), dir.Path("opt"));

  // A package build: prefix /usr under a staging DESTDIR; nothing outside it.
  ASSERT_EQ(RunTool({"cmake", "--install", kBuild, "--prefix", "/usr"}, {"DESTDIR=" + dir.Path("stage")}, &out), 0)
      << out;
  CheckTree(dir.Path("stage/usr"), "/usr");

  // The installed policy is one the bus daemon accepts.
  std::string policy = dir.Path("stage/usr/share/dbus-1/system.d/is.ornix.doralin.conf");
  ASSERT_TRUE(dir.Write("bus.conf", "<busconfig><type>system</type><listen>unix:path=" + dir.Path("bus.sock") +
                                        "</listen><auth>EXTERNAL</auth><include>" + policy +
                                        "</include></busconfig>\n"));
  Process bus;
  ASSERT_TRUE(bus.Start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + dir.Path("bus.conf"),
                         "--print-address=1"}));
  EXPECT_TRUE(bus.WaitForStdout("unix:", Millis(10000))) << bus.Stderr();
  EXPECT_TRUE(bus.Running());
}

}  // namespace
