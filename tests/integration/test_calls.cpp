// Calls end to end: the daemon on a private bus with panel-sim as the panel,
// a sipp registrar, and sipp peers as the flats' handsets and gate panels.
#include "sip/re_headers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "panel_sim.h"
#include "sipp.h"

namespace {

using Store = std::vector<std::pair<std::string, std::string>>;

std::string Scenario(const std::string &name) {
  return "../../integration/scenarios_calls/" + name;
}

// Starts a sipp peer; a server when `target` is 0, else calling 127.0.0.1:target.
std::unique_ptr<Sipp> Peer(const std::string &scenario, int target = 0,
                           const std::vector<std::string> &args = {},
                           const std::string &injection = "") {
  auto peer = std::make_unique<Sipp>();
  SippRun run;
  run.scenario = Scenario(scenario);
  run.remotePort = target;
  run.args = args;
  run.injection = injection;
  run.timeout = Millis(30000);
  if (!peer->Start(run)) return nullptr;
  return peer;
}

std::string Account(const Sipp &peer, const std::string &user) {
  return "\"" + user + "@127.0.0.1:" + std::to_string(peer.port()) + "\"";
}

class CallRig {
 public:
  Daemon d;
  std::unique_ptr<PanelSim> panel;
  std::unique_ptr<Sipp> registrar;

  ~CallRig() {
    if (d.Running()) {
      // An orderly stop, so that a sanitizer build reports leaks and errors.
      d.Terminate();
      d.WaitExit(15000);
      for (const char *fault : {"Sanitizer", "runtime error:"})
        EXPECT_EQ(d.CountLog(fault), 0) << fault;
    }
    if (!::testing::Test::HasFailure()) return;
    auto lines = d.Logs();
    for (size_t i = lines.size() > 300 ? lines.size() - 300 : 0; i < lines.size(); ++i)
      fprintf(stderr, "daemon| %s\n", lines[i].c_str());
  }

  // `accounts` is the accounts file's JSON text.
  bool Start(const Store &store = {}, const std::string &accounts = "{}",
             const std::vector<std::string> &panelArgs = {"--gain", "7"}) {
    SippRun reg;
    reg.scenario = Scenario("registrar.xml");
    reg.timeout = Millis(300000);
    registrar = std::make_unique<Sipp>();
    if (!registrar->Start(reg)) return false;
    std::string port = std::to_string(registrar->port());
    d.config.args = {"--trace"};
    d.config.store = {{"domain", "\"127.0.0.1\""}, {"port", port}, {"portRegister", port},
                      {"username", "\"panel\""},   {"password", "\"secret\""},
                      {"videoEnable", "false"}};
    d.config.store.insert(d.config.store.end(), store.begin(), store.end());
    d.config.files = {{"/oem/sip_accounts.conf", accounts}};
    if (!d.Setup()) return false;
    panel = std::make_unique<PanelSim>(d.BusAddress(), panelArgs);
    if (!panel->Start() || !d.Launch() || !d.WaitStarted()) return false;
    return WaitFor(
        [this] {
          BusReply r = d.Call("GetSipRegisterStatus");
          return r.ok && r.bytes == std::vector<uint8_t>{1};
        },
        Millis(10000), Millis(100));
  }

  bool Event(const std::string &member, const std::vector<uint8_t> &bytes = {}) {
    return panel->SendEvent(member, bytes);
  }
  // The context went back to IDLE `count` times in all.
  bool WaitIdle(int count = 1) { return d.WaitLog("-> IDLE", 15000, count); }
  // Event journal records ("J<level> <code> <file>:<line> <text>") with `text`.
  int Journal(const std::string &code, const std::string &text) const {
    int n = 0;
    for (auto &line : d.Logs())
      n += line.rfind("J", 0) == 0 && line.find(" " + code + " ") != std::string::npos &&
           line.find(text) != std::string::npos;
    return n;
  }
};

std::vector<uint8_t> Trying(uint16_t flat, uint8_t route) {
  return {uint8_t(flat & 0xff), uint8_t(flat >> 8), route};
}

}  // namespace

// A flat with three accounts: all ring, the second answers, the others are
// cancelled; the talk starts, DTMF opens both doors, the callee hangs up.
TEST(Calls, ThreeAccountsSecondAnswersDtmfOpensDoorsCalleeHangsUp) {
  auto first = Peer("callee_ring_cancel.xml");
  auto second = Peer("callee_dtmf_bye.xml");
  auto third = Peer("callee_ring_cancel.xml");
  ASSERT_TRUE(first && second && third);
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"12\":[" + Account(*first, "1201") + "," + Account(*second, "1202") +
                                "," + Account(*third, "1203") + "]}"));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));

  EXPECT_EQ(second->Wait(), 0) << second->Output();
  EXPECT_EQ(first->Wait(), 0) << first->Output();
  EXPECT_EQ(third->Wait(), 0) << third->Output();
  EXPECT_NE(second->Output().find("INVITE sip:1202@127.0.0.1"), std::string::npos);

  auto reply = rig.panel->WaitForCommand("UartSendCommandReply", Millis(5000));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->bytes, (std::vector<uint8_t>{0x06, 0x00, 0x21}));
  auto gain = rig.panel->WaitForCommand("SetMicGain", Millis(5000));
  ASSERT_TRUE(gain);
  EXPECT_EQ(gain->service, "is.ornix.camera");
  EXPECT_EQ(gain->json, "{\"gainMicFactor\":7}");

  auto mainDoor = rig.panel->WaitForCommand("UartSendCommandOpenByIDWithSource", Millis(5000));
  auto secondDoor = rig.panel->WaitForCommand("UartSendCommandOpenByIDWithSource", Millis(5000), 2);
  ASSERT_TRUE(mainDoor && secondDoor);
  EXPECT_EQ(mainDoor->bytes, (std::vector<uint8_t>{1, 9}));
  EXPECT_EQ(secondDoor->bytes, (std::vector<uint8_t>{2, 10}));

  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandBye", Millis(5000)));
  EXPECT_TRUE(rig.panel->WaitForCommand("ResetMicGain", Millis(5000)));
  EXPECT_EQ(rig.Journal("701", "SIP handset talk started for apartment 12"), 1);
  EXPECT_EQ(rig.Journal("106", "Open main door by DTMF"), 1);
  EXPECT_EQ(rig.Journal("106", "Open second door by DTMF"), 1);
  EXPECT_EQ(rig.Journal("0", "All calls are done for apartment 12"), 1);
  EXPECT_TRUE(rig.d.HasLog("Set state: OUTGOING_SIP_ESTABLISHED -> IDLE"));
}

// The door hang-up timer ends a call after the delay; when the callee hangs up
// first the timer leaves everything alone.
TEST(Calls, DoorHangupTimer) {
  auto waiting = Peer("callee_door_wait_bye.xml");
  auto leaving = Peer("callee_door_bye.xml");
  ASSERT_TRUE(waiting && leaving);
  CallRig rig;
  ASSERT_TRUE(rig.Start({{"doorHangupOn", "true"}, {"doorHangupDelay", "1"}},
                        "{\"12\":[" + Account(*waiting, "1201") + "],\"13\":[" +
                            Account(*leaving, "1301") + "]}"));

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));
  EXPECT_EQ(waiting->Wait(), 0) << waiting->Output();  // the BYE came from the panel
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_EQ(rig.d.CountLog("Call HangupCallback"), 1);
  EXPECT_EQ(rig.panel->Count("UartSendCommandBye"), 1);

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(13, 2)));
  EXPECT_EQ(leaving->Wait(), 0) << leaving->Output();
  ASSERT_TRUE(rig.WaitIdle(2));
  // Well past the delay: the second call's timer found its call gone.
  EXPECT_FALSE(rig.d.WaitLog("Call HangupCallback", 2500, 2));
  EXPECT_EQ(rig.panel->Count("UartSendCommandBye"), 2);
  EXPECT_TRUE(rig.d.Running());
}

// Hang-ups from the panel (method and bye event), a busy and an unanswered
// callee: each call ends, the MCU is told and the context is IDLE again.
TEST(Calls, PanelHangupBusyAndUnansweredCallees) {
  auto talking = Peer("callee_answer_wait_bye.xml");
  auto busy = Peer("callee_busy.xml");
  auto ringing = Peer("callee_ring_cancel.xml");
  auto late = Peer("callee_answer_after_cancel.xml");
  auto busyFirst = Peer("callee_busy.xml");
  auto ringingSecond = Peer("callee_ring_cancel.xml");
  ASSERT_TRUE(talking && busy && ringing && late && busyFirst && ringingSecond);
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"12\":[" + Account(*talking, "1201") + "],\"13\":[" +
                                Account(*busy, "1301") + "],\"14\":[" +
                                Account(*ringing, "1401") + "],\"15\":[" +
                                Account(*late, "1501") + "],\"16\":[" +
                                Account(*busyFirst, "1601") + "," +
                                Account(*ringingSecond, "1602") + "]}"));

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));
  ASSERT_TRUE(rig.d.WaitLog("Set state: OUTGOING_SIP_DIALING -> OUTGOING_SIP_ESTABLISHED"));
  BusReply hangup = rig.d.Call("HangupActiveCall", "{}");
  ASSERT_TRUE(hangup.ok);
  EXPECT_NE(hangup.text.value_or("").find("true"), std::string::npos);
  EXPECT_EQ(talking->Wait(), 0) << talking->Output();
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_TRUE(rig.panel->WaitForCommand("ResetMicGain", Millis(5000)));
  EXPECT_EQ(rig.Journal("0", "All calls are done for apartment 12"), 1);
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandByeWithState", Millis(5000)));
  EXPECT_EQ(rig.panel->Count("UartSendCommandByeWithState"), 1);  // told once

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(13, 2)));
  EXPECT_EQ(busy->Wait(), 0) << busy->Output();
  ASSERT_TRUE(rig.WaitIdle(2));
  EXPECT_TRUE(rig.d.HasLog("Call ended unsuccessfully scode=486 flat=13"));

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(14, 2)));
  ASSERT_TRUE(rig.d.WaitLog("Outgoing SIP leg created"));
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(ringing->Wait(), 0) << ringing->Output();  // it saw the CANCEL
  ASSERT_TRUE(rig.WaitIdle(3));

  // A 200 that crosses the CANCEL: the late call is ended, not adopted.
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(15, 2)));
  ASSERT_TRUE(rig.d.WaitLog("Outgoing SIP leg created", 10000, 2));
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(late->Wait(), 0) << late->Output();  // it got its BYE
  ASSERT_TRUE(rig.WaitIdle(4));

  // The current leg ends first: the other leg becomes current and rings on
  // until the panel hangs up.
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(16, 2)));
  EXPECT_EQ(busyFirst->Wait(), 0) << busyFirst->Output();
  ASSERT_TRUE(rig.d.WaitLog("Switch currentCall to"));
  EXPECT_TRUE(rig.d.HasLog("Call leg closed flat=16"));
  EXPECT_TRUE(rig.d.HasLog("other_calls_remain scode=486"));
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(ringingSecond->Wait(), 0) << ringingSecond->Output();
  ASSERT_TRUE(rig.WaitIdle(5));
  EXPECT_GE(rig.panel->Count("UartSendCommandBye") + rig.panel->Count("UartSendCommandByeWithState"), 2);
  EXPECT_EQ(rig.d.CountLog("Set state: OUTGOING_SIP_DIALING -> OUTGOING_SIP_ESTABLISHED"), 1);
  EXPECT_EQ(rig.d.CountLog("SIP call is established"), 2);  // both logs, first call only
}

// With video on, the answered call starts the camera stream towards the
// callee's media address and the hang-up stops it.
TEST(Calls, VideoStartsAndStopsWithTheCall) {
  auto callee = Peer("callee_answer_wait_bye.xml");
  ASSERT_TRUE(callee);
  CallRig rig;
  ASSERT_TRUE(rig.Start({{"videoEnable", "true"}, {"videoStreamId", "2"}},
                        "{\"12\":[" + Account(*callee, "1201") + "]}"));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));
  ASSERT_TRUE(rig.d.WaitLog("Video start flat=12"));
  std::string line = rig.d.Logs()[size_t(rig.d.LogIndex("Video start flat=12"))];
  EXPECT_NE(line.find("url=rtsp://127.0.0.1:554/ch2/trackID=0 streamId=2 "
                      "transport=RTP/AVP/UDP;unicast;client_port="),
            std::string::npos) << line;
  EXPECT_NE(line.find("-12345;address=127.0.0.1"), std::string::npos) << line;
  EXPECT_EQ(line.find("client_port=0-"), std::string::npos) << line;
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(callee->Wait(), 0) << callee->Output();
  ASSERT_TRUE(rig.d.WaitLog("Video stop flat=12"));
  EXPECT_EQ(rig.d.CountLog("Video start flat="), 1);
}

// Debian's baresip as an independent peer: a flat's handset that answers by
// itself and opens the second door, then a gate panel calling a flat.
TEST(Calls, DebianBaresipAsHandsetAndAsGate) {
  BaresipPeer handset;
  ASSERT_TRUE(handset.Start("1201", true));
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"12\":[\"1201@127.0.0.1:" + std::to_string(handset.sipPort()) +
                                "\"]}"));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));
  ASSERT_TRUE(rig.d.WaitLog("Set state: OUTGOING_SIP_DIALING -> OUTGOING_SIP_ESTABLISHED"))
      << handset.Output();
  ASSERT_TRUE(handset.Type("2"));
  auto door = rig.panel->WaitForCommand("UartSendCommandOpenByIDWithSource", Millis(5000));
  ASSERT_TRUE(door);
  EXPECT_EQ(door->bytes, (std::vector<uint8_t>{2, 10}));
  BusReply hangup = rig.d.Call("HangupActiveCall", "{}");
  ASSERT_TRUE(hangup.ok);
  EXPECT_TRUE(handset.WaitControl("CALL_CLOSED", Millis(5000)));
  ASSERT_TRUE(rig.WaitIdle());

  BaresipPeer gate;
  ASSERT_TRUE(gate.Start("gate", false));
  ASSERT_NE(gate.Command("dial", "sip:0105@127.0.0.1:" + std::to_string(rig.d.SipPort())), "");
  auto ring = rig.panel->WaitForCommand("UartSendCommandCall", Millis(10000));
  ASSERT_TRUE(ring) << gate.Output();
  EXPECT_EQ(ring->bytes, (std::vector<uint8_t>{105, 0}));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(gate.WaitControl("CALL_ESTABLISHED", Millis(5000))) << gate.Output();
  ASSERT_NE(gate.Command("hangup", ""), "");
  ASSERT_TRUE(rig.WaitIdle(2));
  EXPECT_TRUE(rig.d.HasLog("Set state: INCOMING_ESTABLISHED -> IDLE"));
}

// Panel events that are short, out of range or out of order change nothing
// and never place a call.
TEST(Calls, BadPanelEventsChangeNothing) {
  auto callee = Peer("callee_answer_wait_bye.xml");
  ASSERT_TRUE(callee);
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"12\":[" + Account(*callee, "1201") + "]}"));

  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));  // answer while idle
  BusReply idleHangup = rig.d.Call("HangupActiveCall", "{}");
  EXPECT_NE(idleHangup.text.value_or("").find("true"), std::string::npos);
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", {12, 0}));           // short
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", {}));                // empty
  ASSERT_TRUE(rig.Event("UART_EV_DIAL", {12}));                     // short
  ASSERT_TRUE(rig.Event("UART_EV_DIAL_GATE", {1, 0, 12}));          // short
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(0, 2)));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(10000, 2)));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_SOS", Trying(65535, 2)));
  ASSERT_TRUE(rig.d.WaitLog("[direct] UartEvDialGate bad dbus payload"));
  ASSERT_TRUE(rig.d.WaitLog("Trying ignored: flat 65535 out of range"));
  EXPECT_TRUE(rig.d.HasLog("Trying ignored: flat 10000 out of range"));
  EXPECT_TRUE(rig.d.HasLog("TryingCallHandler: ignore COMMON trying for flat 0"));
  EXPECT_FALSE(rig.d.HasLog("Outgoing call start"));
  EXPECT_FALSE(rig.d.HasLog("Set state:"));

  // A second dial and trying during a call are ignored; the call goes on.
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));
  ASSERT_TRUE(rig.d.WaitLog("OUTGOING_SIP_ESTABLISHED"));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12, 2)));
  ASSERT_TRUE(rig.Event("UART_EV_DIAL", {12, 0}));
  ASSERT_TRUE(rig.d.WaitLog("TryingCallHandler: ignore duplicate trying in state=11"));
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(callee->Wait(), 0) << callee->Output();
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_EQ(rig.d.CountLog("Outgoing call start"), 1);
  EXPECT_TRUE(rig.d.Running());
}

// A gate panel calls flat 105 (user part "0105"): the flat rings with its
// accounts in the header, the handset answers, the gate hangs up.
TEST(Calls, IncomingGateCallAnsweredFromHandset) {
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"105\":[\"1051\",\"1052\"]}"));
  auto gate = Peer("caller_answered.xml", rig.d.SipPort(), {"-s", "0105", "-trace_logs"});
  ASSERT_TRUE(gate);
  auto call = rig.panel->WaitForCommand("UartSendCommandCall", Millis(10000));
  ASSERT_TRUE(call);
  EXPECT_EQ(call->bytes, (std::vector<uint8_t>{105, 0}));
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> INCOMING_DIALING"));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  EXPECT_EQ(gate->Wait(), 0) << gate->Output();
  EXPECT_NE(gate->Output().find("X-Ornix-AccountsList: [\"1051\",\"1052\"]"), std::string::npos)
      << gate->Output();
  auto gain = rig.panel->WaitForCommand("SetMicGain", Millis(5000));
  ASSERT_TRUE(gain);
  EXPECT_EQ(gain->json, "{}");
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_TRUE(rig.d.HasLog("Set state: INCOMING_DIALING -> INCOMING_ESTABLISHED"));
  auto bye = rig.panel->WaitForCommand("UartSendCommandByeWithState", Millis(5000));
  ASSERT_TRUE(bye);
  EXPECT_EQ(bye->bytes, (std::vector<uint8_t>{1}));
}

// Incoming calls rejected: unknown or malformed flats with 404, a call while
// another is up with 486, a flat the MCU cannot ring with 603.
TEST(Calls, IncomingGateCallsRejected) {
  CallRig rig;
  ASSERT_TRUE(rig.Start());
  for (const char *user : {"10000", "12a", "-5"})
    EXPECT_EQ(Peer("caller_rejected_404.xml", rig.d.SipPort(), {"-s", user})->Wait(), 0) << user;
  EXPECT_FALSE(rig.d.HasLog("INCOMING_DIALING"));

  auto first = Peer("caller_answered.xml", rig.d.SipPort(), {"-s", "12"});
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> INCOMING_DIALING"));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(rig.d.WaitLog("-> INCOMING_ESTABLISHED"));
  auto busy = Peer("caller_rejected_486.xml", rig.d.SipPort(), {"-s", "13"});
  EXPECT_EQ(busy->Wait(), 0) << busy->Output();
  EXPECT_TRUE(rig.d.HasLog("Skip CloseCallHandler cleanup for rejected incoming call"));
  EXPECT_EQ(first->Wait(), 0) << first->Output();
  ASSERT_TRUE(rig.WaitIdle());

  // A caller that gives up while the flat rings: back to IDLE, MCU told.
  int byes = rig.panel->Count("UartSendCommandByeWithState");
  auto leaving = Peer("caller_cancel.xml", rig.d.SipPort(), {"-s", "15"});
  EXPECT_EQ(leaving->Wait(), 0) << leaving->Output();
  ASSERT_TRUE(rig.WaitIdle(2));
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandByeWithState", Millis(5000), byes + 1));

  ASSERT_TRUE(rig.panel->Command("call refuse"));
  auto declined = Peer("caller_rejected_603.xml", rig.d.SipPort(), {"-s", "14"});
  EXPECT_EQ(declined->Wait(), 0) << declined->Output();
  ASSERT_TRUE(rig.WaitIdle(3));
  EXPECT_TRUE(rig.d.HasLog("Incoming call line check failed scode=603 flat=14"));
  EXPECT_TRUE(rig.d.Running());
}

// Direct mode: the gate panel dials the entrance panel named by the rules,
// reads the accounts from its 180 and calls them; the one that answers stays.
TEST(Calls, DirectGateCallFollowsAccountsHeader) {
  auto flatA = Peer("callee_answer_wait_bye.xml");
  auto flatB = Peer("callee_ring_cancel.xml");
  ASSERT_TRUE(flatA && flatB);
  std::string list = "[" + Account(*flatA, "201") + "," + Account(*flatB, "202") + "]";
  // Entrance panels are dialled on port 5060; a loopback address of its own
  // keeps that port free of clashes with other tests running in parallel.
  std::string entranceIp = "127." + std::to_string(1 + getpid() % 250) + "." +
                           std::to_string(1 + (getpid() / 250) % 250) + ".7";
  auto entrance = std::make_unique<Sipp>();
  SippRun run;
  run.scenario = Scenario("entrance_accounts_ring.xml");
  run.localPort = 5060;
  run.args = {"-i", entranceIp};
  run.injection = "SEQUENTIAL\n" + list + ";\n";
  run.timeout = Millis(30000);
  ASSERT_TRUE(entrance->Start(run));
  CallRig rig;
  ASSERT_TRUE(rig.Start({{"directMode", "true"},
                         {"directRules", "{\"7\":{\"1-99\":\"" + entranceIp + "\"}}"}}));
  ASSERT_TRUE(rig.Event("UART_EV_DIAL_GATE", {7, 0, 12, 0}));

  ASSERT_TRUE(rig.d.WaitLog("Parallel accounts list flat=12 count=2"));
  ASSERT_TRUE(rig.d.WaitLog("Call established"));
  EXPECT_EQ(entrance->Wait(), 0) << entrance->Output();
  EXPECT_EQ(flatB->Wait(), 0) << flatB->Output();
  EXPECT_NE(entrance->Output().find("INVITE sip:12@" + entranceIp + ":5060"), std::string::npos);
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(flatA->Wait(), 0) << flatA->Output();
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_EQ(rig.d.CountLog("Load accounts from SIP header"), 2);  // both logs, once
}
