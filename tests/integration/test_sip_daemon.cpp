// Registration of the daemon's main account against sipp registrars: success
// through a digest challenge, rejections and an unreachable proxy that leave
// the daemon running, and settings the SIP library refuses (exit status 15).
#include "sip/re_headers.h"  // before jansson: both name JSON_STRING

#include <gtest/gtest.h>

#include <string>

#include "daemon.h"
#include "sipp.h"

namespace {

// A registrar answering the first REGISTER with the status in @STATUS@.
const char kRejecter[] = R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="rejecter">
  <recv request="REGISTER"/>
  <send><![CDATA[
SIP/2.0 @STATUS@
[last_Via:]
[last_From:]
[last_To:];tag=[pid]rej[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
</scenario>
)";

void Account(Daemon &d, int port, const std::string &password = "secret") {
  d.config.store = {{"domain", "\"127.0.0.1\""},      {"domainRegister", "\"127.0.0.1\""},
                    {"portRegister", std::to_string(port)}, {"username", "\"flat12\""},
                    {"password", "\"" + password + "\""}};
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

// The registrar with a digest challenge checks the credentials and answers a
// wrong digest with 403.
TEST(SipDaemon, RegistersAndReportsRegistrarRejections) {
  struct Case {
    std::string code, password;  // code "" when registered
  } cases[] = {{"", "secret"}, {"403", "w7rong"}, {"404 Not Found", "secret"}, {"500 Server Internal Error", "secret"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code + " " + c.password);
    std::string scenario = kRejecter;
    Sipp registrar;
    ASSERT_TRUE(registrar.Start(SippRun(c.code.size() > 3 ? scenario.replace(scenario.find("@STATUS@"), 8, c.code)
                                                          : "reg_challenge.xml")));
    Daemon d;
    Account(d, registrar.port(), c.password);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitStarted()) << Dump(d);
    EXPECT_TRUE(d.WaitLog("[Baresip]: Успешная авторизация с 1 попытки"));
    const std::string code = c.code.substr(0, 3);
    if (code.empty()) {
      EXPECT_TRUE(d.WaitLog("J3 300 package/src/sip/sip")) << Dump(d);
      EXPECT_TRUE(d.HasLog("L3 package/src/sip/sip") && d.HasLog("SIP registration success"));
    } else {
      EXPECT_TRUE(d.WaitLog("SIP registration failed (" + code)) << Dump(d);
      EXPECT_TRUE(d.WaitLog("J3 301 package/src/sip/sip")) << Dump(d);
      EXPECT_TRUE(d.HasLog("| " + code));  // the status as the journal's detail
    }
    BusReply r = d.Call("GetSipRegisterStatus");
    EXPECT_EQ(r.bytes, std::vector<uint8_t>{uint8_t(code.empty())}) << r.error;
    EXPECT_TRUE(d.Running());
    // The password never reaches the log.
    EXPECT_TRUE(d.HasLog("Baresip AOR: sip:flat12@127.0.0.1:" + std::to_string(registrar.port()) +
                         ";auth_pass=***"));
    EXPECT_FALSE(d.HasLog(c.password));
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
