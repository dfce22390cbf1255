// Registration of the daemon's main account against sipp registrars: success
// through a digest challenge, rejections and an unreachable proxy that leave
// the daemon running, and settings the SIP library refuses (exit status 15).
#include "sip/re_headers.h"  // before jansson: both name JSON_STRING

#include <gtest/gtest.h>

#include <string>

#include "daemon.h"
#include "sipp.h"

namespace {

// Answers @FIRST@ to the first REGISTER (401 challenges, any other status
// ends the registration there), then 200 OK.
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

void Account(Daemon &d, int port) {
  d.config.store = {{"domain", "\"127.0.0.1\""},      {"domainRegister", "\"127.0.0.1\""},
                    {"portRegister", std::to_string(port)}, {"username", "\"panel\""},
                    {"password", "\"s3cret\""}};
  d.config.args = {"--trace"};
}

// System-log lines (not their journal copies) that start with `prefix` and
// contain `text`.
int CountSyslog(const Daemon &d, const std::string &text, const std::string &prefix = "L") {
  int n = 0;
  for (const std::string &line : d.Logs()) n += line.rfind(prefix, 0) == 0 && line.find(text) != std::string::npos;
  return n;
}

std::string Dump(const Daemon &d) { return ::testing::PrintToString(d.Logs()); }

}  // namespace

TEST(SipDaemon, RegistersAndReportsRegistrarRejections) {
  for (std::string first : {"401 Unauthorized", "403 Forbidden", "404 Not Found", "500 Server Internal Error"}) {
    SCOPED_TRACE(first);
    const bool registered = first.rfind("401", 0) == 0;
    std::string scenario = kRegistrar;
    SippRun run(scenario.replace(scenario.find("@FIRST@"), 7, first));
    run.calls = 2;  // the stop unregisters: a second call
    Sipp registrar;
    ASSERT_TRUE(registrar.Start(run));
    Daemon d;
    Account(d, registrar.port());
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitStarted()) << Dump(d);
    EXPECT_TRUE(d.WaitLog("[Baresip]: Успешная авторизация с 1 попытки"));
    const std::string code = first.substr(0, 3);
    if (registered) {
      EXPECT_TRUE(d.WaitLog("J3 300 package/src/sip/sip")) << Dump(d);
      EXPECT_TRUE(d.HasLog("L3 package/src/sip/sip") && d.HasLog("SIP registration success"));
    } else {
      EXPECT_TRUE(d.WaitLog("SIP registration failed (" + code)) << Dump(d);
      EXPECT_TRUE(d.WaitLog("J3 301 package/src/sip/sip")) << Dump(d);
      EXPECT_TRUE(d.HasLog("| " + code));  // the status as the journal's detail
    }
    BusReply r = d.Call("GetSipRegisterStatus");
    EXPECT_EQ(r.bytes, std::vector<uint8_t>{uint8_t(registered)}) << r.error;
    EXPECT_TRUE(d.Running());
    // The password never reaches the log.
    EXPECT_TRUE(d.HasLog("Baresip AOR: sip:panel@127.0.0.1:" + std::to_string(registrar.port()) +
                         ";auth_pass=***"));
    EXPECT_FALSE(d.HasLog("s3cret"));
    d.Terminate();
    EXPECT_NE(d.WaitExit(40000), -1) << Dump(d);
  }
}

TEST(SipDaemon, UnreachableProxyLeavesTheDaemonRunning) {
  // Registration over TCP through a proxy port nobody listens on.
  Daemon d;
  Account(d, FreeUdpPort());
  d.config.store.insert(d.config.store.end(), {{"proxyEnable", "true"},
                                               {"proxyDomain", "\"127.0.0.1\""},
                                               {"proxyPort", std::to_string(FreeTcpPort())},
                                               {"transportUdp", "false"},
                                               {"transportTcp", "true"}});
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted()) << Dump(d);
  EXPECT_TRUE(d.HasLog(";outbound=sip:127.0.0.1:") && d.HasLog(";transport=tcp"));
  EXPECT_TRUE(d.WaitLog("Second UA ready for direct gate calls")) << Dump(d);
  EXPECT_EQ(d.Call("GetSipRegisterStatus").bytes, std::vector<uint8_t>{0});
  EXPECT_FALSE(d.HasLog("SIP registration success"));
  EXPECT_TRUE(d.Running());
  d.Terminate();
  EXPECT_NE(d.WaitExit(20000), -1);
}

// An account the SIP library refuses: five attempts, each after a failed one
// bringing the library up again, then the stop sequence with status 15.
TEST(SipDaemon, RefusedAccountSettingsEndAfterFiveAttempts) {
  Daemon d;
  Account(d, FreeUdpPort());
  d.config.store.push_back({"username", "\"\""});  // no user part: refused
  ASSERT_TRUE(d.Start());
  EXPECT_EQ(d.WaitExit(30000), 15) << Dump(d);
  EXPECT_EQ(CountSyslog(d, "[Baresip]: Ошибка применения параметров", "L5 package/main/process"), 4) << Dump(d);
  EXPECT_EQ(CountSyslog(d, "SIP library is closed, bringing it up again"), 4);
  const int gaveUp = d.LogIndex("[Baresip]: Неудачная попытка авторизации более 5 раз"),
            signal = d.LogIndex("Получен сигнал \"15\""), end = d.LogIndex("Baresip terminate with exit (1)");
  EXPECT_TRUE(gaveUp >= 0 && gaveUp < signal && signal < end) << Dump(d);
  EXPECT_FALSE(d.HasLog("Сброс всех вызовов") || d.HasLog("Успешная авторизация"));
}
