// The bus loop against the real daemon: not-found answers, bad input, the
// forced restart, the watchdog and a dropped bus.
#include <gtest/gtest.h>

#include "daemon.h"

namespace {

bool IsNotFound(const BusReply &r) { return r.text.value_or("").find("\"error\":404") != std::string::npos; }

// The lag printed in the watchdog's exit record, -1 when there is none.
int ExitLag(const Daemon &d) {
  const int i = d.LogIndex("secs. Exit!");
  return i < 0 ? -1 : atoi(d.Logs()[i].c_str() + d.Logs()[i].find("hanging by ") + 11);
}

}  // namespace

// A server change forces a restart through the interrupt path after the true
// reply; a second change within that second starts no second one. Started
// again as the test variant: a slow handler warns and the loop goes on, one
// stuck past the 60-second limit ends the process; started again, it ends by
// itself when the bus drops.
TEST(BusLoop, NotFoundBadInputRestartWatchdogAndDroppedBus) {
  // The shipped daemon carries no test hook, whatever its environment says.
  const std::string shipped = ReadFile(DORALIN_BIN);
  for (const char *hook : {"DoralinTestStall", "DORALIN_TEST_HOOKS", "DORALIN_WATCHDOG_LIMIT"})
    EXPECT_EQ(shipped.find(hook), std::string::npos) << hook;
  Daemon d;
  d.config.env = {{"DORALIN_TEST_HOOKS", "1"}};
  ASSERT_TRUE(d.Start());
  ASSERT_TRUE(d.WaitStarted());
  EXPECT_TRUE(IsNotFound(d.Call("NoSuchMethod", "{}")));
  EXPECT_TRUE(IsNotFound(d.Call("GetDtmf", "{}", 5000, "org.example.Other")));

  // Every method with every kind of bad input: reliability/test_bus_input.
  // Unreadable JSON: refused with the setter's own record, in both logs.
  for (auto [method, record] : {std::pair{"SetSipAccounts", "Неверный формат JSON со списком SIP аккаунтов"},
                                {"DeleteSipAccounts", "Ошибка удаления SIP аккаунтов. Неверный формат JSON: "},
                                {"PlayAlarmNotification", "PlayAlarmNotification: ожидается JSON-объект"}}) {
    const int before = d.CountLog(record);
    EXPECT_EQ(d.Call(method, "not json {").text, "{\"result\":false}") << method;
    EXPECT_EQ(d.CountLog(record), before + 2) << method;
  }
  EXPECT_TRUE(d.Call("GetSipRegisterStatus", std::nullopt, 20000).ok);

  EXPECT_EQ(d.Call("SetSipSettings", "{\"remote\":{\"domain\":\"127.0.0.1\"}}").text, "{\"result\":true}");
  EXPECT_TRUE(d.Call("SetSipSettings", "{\"remote\":{\"port\":5070}}").ok);
  EXPECT_EQ(d.WaitExit(10000), 2);
  EXPECT_EQ(d.CountLog("Получен сигнал \"2\""), 2);  // one restart: its system-log and journal records
  EXPECT_TRUE(d.SanitizerReports().empty()) << ::testing::PrintToString(d.SanitizerReports());

  const int warnings = d.CountLog("L4 package/src/dbus/bus_loop");
  d.config.testVariant = true;
  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  BusReply r = d.Call("DoralinTestStall", "{\"seconds\":5}", 15000);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_GE(d.CountLog("L4 package/src/dbus/bus_loop"), warnings + 2);
  EXPECT_EQ(ExitLag(d), -1);
  EXPECT_TRUE(d.Running());

  EXPECT_FALSE(d.Call("DoralinTestStall", "{\"seconds\":90}", 100).ok);  // not waited for
  EXPECT_EQ(d.WaitExit(75000), 0);
  EXPECT_GT(ExitLag(d), 60);
  EXPECT_LT(ExitLag(d), 64);

  ASSERT_TRUE(d.Launch());
  ASSERT_TRUE(d.WaitStarted());
  d.KillBus();
  int status = d.WaitExit(10000);
  EXPECT_GT(status, 0);
  EXPECT_LT(status, 128);  // an exit, not a crash
  EXPECT_TRUE(d.HasLog("Bus connection lost"));
}
