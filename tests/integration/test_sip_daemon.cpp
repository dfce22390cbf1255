// Registration of the daemon's main account against sipp registrars: success
// through a digest challenge, rejections and an unreachable proxy that leave
// the daemon running, and settings the SIP library refuses (exit status 15).
#include <gtest/gtest.h>

#include <string>

#include "daemon.h"
#include "process.h"

namespace {

const char kRegistrar[] = R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="registrar">
  <recv request="REGISTER"/>
  <send><![CDATA[
SIP/2.0 @FIRST@
[last_Via:]
[last_From:]
[last_To:];tag=[pid]reg[call_number]
[last_Call-ID:]
[last_CSeq:]
WWW-Authenticate: Digest realm="doralin.test", nonce="77aa01b2"
Content-Length: 0

]]></send>
  <recv request="REGISTER"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]reg[call_number]
[last_Call-ID:]
[last_CSeq:]
[last_Contact:];expires=3600
Content-Length: 0

]]></send>
</scenario>
)";

// A registrar answering `first` to the first REGISTER (401 challenges, any
// other status ends the registration there).
std::string Registrar(const std::string &first) {
  std::string text = kRegistrar;
  text.replace(text.find("@FIRST@"), 7, first);
  return text;
}

bool StartSipp(Process &sipp, const TempDir &dir, const std::string &scenario, int port) {
  const std::string file = dir.Path("scenario.xml");
  return WriteFile(file, scenario) &&
         sipp.Start({"sipp", "-sf", file, "-i", "127.0.0.1", "-p", std::to_string(port), "-m",
                     "2", "-nostdin", "-timeout", "30s"});
}

void Account(Daemon &d, int port) {
  d.config.store = {{"domain", "\"127.0.0.1\""},
                    {"domainRegister", "\"127.0.0.1\""},
                    {"portRegister", std::to_string(port)},
                    {"username", "\"panel\""},
                    {"password", "\"s3cret\""}};
  d.config.args = {"--trace"};
}

// System-log lines (not their journal copies) that contain `text`.
int CountSyslog(const Daemon &d, const std::string &text) {
  int n = 0;
  for (const std::string &line : d.Logs()) n += line[0] == 'L' && line.find(text) != std::string::npos;
  return n;
}

std::string Dump(const Daemon &d) {
  std::string out;
  for (const std::string &line : d.Logs()) out += line + "\n";
  return out;
}

}  // namespace

TEST(SipDaemon, RegistersAndReportsRegistrarRejections) {
  struct Case {
    const char *first;  // the registrar's answer to the first REGISTER
    bool registered;
  } cases[] = {{"401 Unauthorized", true}, {"403 Forbidden", false},
               {"404 Not Found", false}, {"500 Server Internal Error", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.first);
    TempDir dir("sip-daemon");
    Process registrar;
    const int port = FreeUdpPort();
    ASSERT_TRUE(StartSipp(registrar, dir, Registrar(c.first), port));
    Daemon d;
    Account(d, port);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitStarted()) << Dump(d);
    EXPECT_TRUE(d.HasLog("[Baresip]: Успешная авторизация с 1 попытки"));
    const std::string code = std::string(c.first).substr(0, 3);
    if (c.registered) {
      EXPECT_TRUE(d.WaitLog("J3 300 package/src/sip/sip")) << Dump(d);
      EXPECT_TRUE(d.HasLog("L3 package/src/sip/sip") && d.HasLog("SIP registration success"));
    } else {
      EXPECT_TRUE(d.WaitLog("SIP registration failed (" + code)) << Dump(d);
      EXPECT_TRUE(d.WaitLog("J3 301 package/src/sip/sip")) << Dump(d);
      EXPECT_TRUE(d.HasLog("| " + code));  // the status as the journal's detail
    }
    BusReply r = d.Call("GetSipRegisterStatus");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.bytes.size(), 1u);
    EXPECT_EQ(r.bytes[0], c.registered ? 1 : 0);
    EXPECT_TRUE(d.Running());
    // The password never reaches the log.
    EXPECT_TRUE(d.HasLog("Baresip AOR: sip:panel@127.0.0.1:" + std::to_string(port) +
                         ";auth_pass=***"));
    EXPECT_FALSE(d.HasLog("s3cret"));
    // The stop unregisters first (the registrar serves that as a second call).
    d.Terminate();
    EXPECT_NE(d.WaitExit(40000), -1) << Dump(d);
  }
}

TEST(SipDaemon, UnreachableProxyLeavesTheDaemonRunning) {
  // Registration over TCP through a proxy port nobody listens on.
  Daemon d;
  Account(d, FreeUdpPort());
  d.config.store.push_back({"proxyEnable", "true"});
  d.config.store.push_back({"proxyDomain", "\"127.0.0.1\""});
  d.config.store.push_back({"proxyPort", std::to_string(FreeTcpPort())});
  d.config.store.push_back({"transportUdp", "false"});
  d.config.store.push_back({"transportTcp", "true"});
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted()) << Dump(d);
  EXPECT_TRUE(d.HasLog(";outbound=sip:127.0.0.1:"));
  EXPECT_TRUE(d.HasLog(";transport=tcp"));
  EXPECT_TRUE(d.WaitLog("Second UA ready for direct gate calls")) << Dump(d);
  BusReply r = d.Call("GetSipRegisterStatus");
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.bytes.size(), 1u);
  EXPECT_EQ(r.bytes[0], 0);
  EXPECT_FALSE(d.HasLog("SIP registration success"));
  EXPECT_TRUE(d.Running());
  d.Terminate();
  EXPECT_NE(d.WaitExit(20000), -1);
}

TEST(SipDaemon, RefusedAccountSettingsEndAfterFiveAttempts) {
  Daemon d;
  Account(d, FreeUdpPort());
  d.config.store.push_back({"username", "\"\""});  // no user part: refused
  ASSERT_TRUE(d.Start());
  EXPECT_EQ(d.WaitExit(30000), 15) << Dump(d);
  EXPECT_EQ(CountSyslog(d, "[Baresip]: Ошибка применения параметров"), 4) << Dump(d);
  EXPECT_TRUE(d.HasLog("[Baresip]: Неудачная попытка авторизации более 5 раз"));
  // Each attempt after a failed one brought the library up again first.
  EXPECT_EQ(CountSyslog(d, "SIP library is closed, bringing it up again"), 4);
}
