// Calls end to end: the daemon on a private bus with panel-sim as the panel,
// a sipp registrar, and sipp peers as the flats' handsets and gate panels.
#include "sip/re_headers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "daemon.h"
#include "panel_sim.h"
#include "sipp.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::string Scenario(const std::string &name) { return "../../integration/scenarios_calls/" + name; }

// A sipp peer: a server when `target` is 0, else calling 127.0.0.1:target.
std::unique_ptr<Sipp> Peer(const std::string &scenario, int target = 0, std::vector<std::string> args = {}) {
  auto peer = std::make_unique<Sipp>();
  SippRun run(Scenario(scenario), target);
  run.args = std::move(args);
  run.timeout = Millis(30000);
  return peer->Start(run) ? std::move(peer) : nullptr;
}

using Accounts = std::vector<std::pair<const Sipp *, std::string>>;
// ["<user>@127.0.0.1:<peer port>",...]
std::string List(const Accounts &accounts) {
  std::string list;
  for (auto &[peer, user] : accounts)
    list += (list.empty() ? "[\"" : ",\"") + user + "@127.0.0.1:" + std::to_string(peer->port()) + "\"";
  return list + "]";
}
// The accounts file: {"<flat>":[...],...}.
std::string Flats(const std::vector<std::pair<int, Accounts>> &flats) {
  std::string out;
  for (auto &[flat, accounts] : flats) out += (out.empty() ? "{\"" : ",\"") + std::to_string(flat) + "\":" + List(accounts);
  return out + "}";
}

Bytes Trying(uint16_t flat) { return {uint8_t(flat & 0xff), uint8_t(flat >> 8), 2}; }

struct CallRig {
  Daemon d;
  std::unique_ptr<PanelSim> panel;
  Sipp registrar;

  ~CallRig() {
    if (d.Running()) {  // an orderly stop, so that a sanitizer build reports leaks
      d.Terminate();
      d.WaitExit(15000);
      EXPECT_EQ(d.SanitizerReports().size(), 0u);
    }
    if (!::testing::Test::HasFailure()) return;
    auto lines = d.Logs();
    for (size_t i = lines.size() > 300 ? lines.size() - 300 : 0; i < lines.size(); ++i)
      fprintf(stderr, "daemon| %s\n", lines[i].c_str());
  }
  bool Start(const std::vector<std::pair<std::string, std::string>> &store = {},
             const std::string &accounts = "{}") {
    SippRun reg(Scenario("registrar.xml"));
    reg.timeout = Millis(300000);
    if (!registrar.Start(reg)) return false;
    std::string port = std::to_string(registrar.port());
    d.config.args = {"--trace"};
    d.config.store = {{"domain", "\"127.0.0.1\""}, {"port", port}, {"portRegister", port},
                      {"username", "\"panel\""}, {"password", "\"secret\""}, {"videoEnable", "false"}};
    d.config.store.insert(d.config.store.end(), store.begin(), store.end());
    d.config.files = {{"/oem/sip_accounts.conf", accounts}};
    if (!d.Setup()) return false;
    panel = std::make_unique<PanelSim>(d.BusAddress(), std::vector<std::string>{"--gain", "7"});
    if (!panel->Start() || !d.Launch() || !d.WaitStarted()) return false;
    return WaitFor([this] { return d.Call("GetSipRegisterStatus").bytes == Bytes{1}; }, Millis(10000),
                   Millis(100));
  }
  bool Event(const std::string &member, const Bytes &bytes = {}) { return panel->SendEvent(member, bytes); }
  // The context went back to IDLE `count` times in all.
  bool WaitIdle(int count = 1) { return d.WaitLog("-> IDLE", 15000, count); }
  Bytes Sent(const std::string &method, int nth = 1) {
    auto c = panel->WaitForCommand(method, Millis(5000), nth);
    return c ? c->bytes : Bytes{0xee};
  }
  // Event journal records ("J<level> <code> <file>:<line> <text>") with `text`.
  int Journal(const std::string &code, const std::string &text) const {
    int n = 0;
    for (auto &line : d.Logs())
      n += line.rfind("J", 0) == 0 && line.find(" " + code + " ") != std::string::npos &&
           line.find(text) != std::string::npos;
    return n;
  }
};

}  // namespace

// A flat with three accounts: all ring, the second answers, the others are
// cancelled; the talk starts, DTMF opens both doors, the callee hangs up.
TEST(Calls, ThreeAccountsSecondAnswersDtmfOpensDoorsCalleeHangsUp) {
  auto first = Peer("callee_ring_cancel.xml"), second = Peer("callee_dtmf_bye.xml"),
       third = Peer("callee_ring_cancel.xml");
  ASSERT_TRUE(first && second && third);
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, Flats({{12, {{first.get(), "1201"}, {second.get(), "1202"}, {third.get(), "1203"}}}})));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12)));
  for (Sipp *peer : {second.get(), first.get(), third.get()}) EXPECT_EQ(peer->Wait(), 0) << peer->Output();
  EXPECT_NE(second->Output().find("INVITE sip:1202@127.0.0.1"), std::string::npos);
  EXPECT_EQ(rig.Sent("UartSendCommandReply"), (Bytes{0x06, 0x00, 0x21}));
  auto gain = rig.panel->WaitForCommand("SetMicGain", Millis(5000));
  EXPECT_EQ(gain ? gain->json : "", "{\"gainMicFactor\":7}");
  EXPECT_EQ(rig.Sent("UartSendCommandOpenByIDWithSource"), (Bytes{1, 9}));
  EXPECT_EQ(rig.Sent("UartSendCommandOpenByIDWithSource", 2), (Bytes{2, 10}));
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandBye", Millis(5000)));
  EXPECT_TRUE(rig.panel->WaitForCommand("ResetMicGain", Millis(5000)));
  for (auto [code, text] : {std::pair{"701", "SIP handset talk started for apartment 12"},
                            {"106", "Open main door by DTMF"}, {"106", "Open second door by DTMF"},
                            {"0", "All calls are done for apartment 12"}})
    EXPECT_EQ(rig.Journal(code, text), 1) << text;
}

// The door hang-up timer ends a call after the delay; when the callee hangs up
// first the timer leaves everything alone.
TEST(Calls, DoorHangupTimer) {
  auto waiting = Peer("callee_door_wait_bye.xml"), leaving = Peer("callee_door_bye.xml");
  ASSERT_TRUE(waiting && leaving);
  CallRig rig;
  ASSERT_TRUE(rig.Start({{"doorHangupOn", "true"}, {"doorHangupDelay", "1"}},
                        Flats({{12, {{waiting.get(), "1201"}}}, {13, {{leaving.get(), "1301"}}}})));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12)));
  EXPECT_EQ(waiting->Wait(), 0) << waiting->Output();  // the BYE came from the panel
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_EQ(rig.d.CountLog("Call HangupCallback"), 1);
  EXPECT_EQ(rig.panel->Count("UartSendCommandBye"), 1);

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(13)));
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
  auto talking = Peer("callee_answer_wait_bye.xml"), busy = Peer("callee_busy.xml"),
       ringing = Peer("callee_ring_cancel.xml"), late = Peer("callee_answer_after_cancel.xml"),
       busyFirst = Peer("callee_busy.xml"), ringingSecond = Peer("callee_ring_cancel.xml");
  ASSERT_TRUE(talking && busy && ringing && late && busyFirst && ringingSecond);
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, Flats({{12, {{talking.get(), "1201"}}}, {13, {{busy.get(), "1301"}}},
                                   {14, {{ringing.get(), "1401"}}}, {15, {{late.get(), "1501"}}},
                                   {16, {{busyFirst.get(), "1601"}, {ringingSecond.get(), "1602"}}}})));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12)));
  ASSERT_TRUE(rig.d.WaitLog("Set state: OUTGOING_SIP_DIALING -> OUTGOING_SIP_ESTABLISHED"));
  EXPECT_NE(rig.d.Call("HangupActiveCall", "{}").text.value_or("").find("true"), std::string::npos);
  EXPECT_EQ(talking->Wait(), 0) << talking->Output();
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_TRUE(rig.panel->WaitForCommand("ResetMicGain", Millis(5000)));
  EXPECT_EQ(rig.Journal("0", "All calls are done for apartment 12"), 1);
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandByeWithState", Millis(5000)));
  EXPECT_EQ(rig.panel->Count("UartSendCommandByeWithState"), 1);  // told once

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(13)));
  EXPECT_EQ(busy->Wait(), 0) << busy->Output();
  ASSERT_TRUE(rig.WaitIdle(2));
  EXPECT_TRUE(rig.d.HasLog("Call ended unsuccessfully scode=486 flat=13"));

  // The panel hangs up while the flat rings, then while a 200 crosses the
  // CANCEL: the late call is ended, not adopted.
  int idle = 2;
  for (auto [flat, peer] : {std::pair{14, ringing.get()}, {15, late.get()}}) {
    ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(flat)));
    ASSERT_TRUE(rig.d.WaitLog("Outgoing SIP leg created", 10000, flat - 13));
    ASSERT_TRUE(rig.Event("UART_EV_BYE"));
    EXPECT_EQ(peer->Wait(), 0) << peer->Output();  // it saw the CANCEL or got its BYE
    ASSERT_TRUE(rig.WaitIdle(++idle));
  }

  // The current leg ends first: the other leg becomes current and rings on
  // until the panel hangs up.
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(16)));
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

// Panel events that are short, out of range or out of order change nothing;
// then, with video on, the answered call streams the camera towards the
// callee's media address, ignores a second trying and dial, and the hang-up
// stops the stream.
TEST(Calls, BadPanelEventsThenVideoCall) {
  auto callee = Peer("callee_answer_wait_bye.xml");
  ASSERT_TRUE(callee);
  CallRig rig;
  ASSERT_TRUE(rig.Start({{"videoEnable", "true"}, {"videoStreamId", "2"}}, Flats({{12, {{callee.get(), "1201"}}}})));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));  // answer while idle
  EXPECT_NE(rig.d.Call("HangupActiveCall", "{}").text.value_or("").find("true"), std::string::npos);
  for (auto &[member, bytes] : std::vector<std::pair<std::string, Bytes>>{
           {"UART_EV_TRYING_CALL", {12, 0}}, {"UART_EV_TRYING_CALL", {}}, {"UART_EV_DIAL", {12}},
           {"UART_EV_DIAL_GATE", {1, 0, 12}}, {"UART_EV_TRYING_CALL", Trying(0)},
           {"UART_EV_TRYING_CALL", Trying(10000)}, {"UART_EV_TRYING_SOS", Trying(65535)}})
    ASSERT_TRUE(rig.Event(member, bytes));
  ASSERT_TRUE(rig.d.WaitLog("[direct] UartEvDialGate bad dbus payload"));
  ASSERT_TRUE(rig.d.WaitLog("Trying ignored: flat 65535 out of range"));
  EXPECT_TRUE(rig.d.HasLog("Trying ignored: flat 10000 out of range"));
  EXPECT_TRUE(rig.d.HasLog("TryingCallHandler: ignore COMMON trying for flat 0"));
  EXPECT_FALSE(rig.d.HasLog("Set state:"));
  for (std::string m : {"UART_EV_TRYING_CALL", "UART_EV_DIAL", "UART_EV_DIAL_GATE", "UART_EV_TRYING_SOS"})
    EXPECT_TRUE(std::ranges::any_of(rig.d.Logs(), [&](const std::string &l) {
      return l.starts_with("L2 package/src/dbus/call_events:") && l.ends_with(" " + m);
    })) << m;  // each handler logs its member first

  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12)));
  ASSERT_TRUE(rig.d.WaitLog("Video start flat=12"));
  std::string line = rig.d.Logs()[size_t(rig.d.LogIndex("Video start flat=12"))];
  EXPECT_NE(line.find("url=rtsp://127.0.0.1:554/ch2/trackID=0 streamId=2 "
                      "transport=RTP/AVP/UDP;unicast;client_port="), std::string::npos) << line;
  EXPECT_NE(line.find("-12345;address=127.0.0.1"), std::string::npos) << line;
  EXPECT_EQ(line.find("client_port=0-"), std::string::npos) << line;
  ASSERT_TRUE(rig.d.WaitLog("OUTGOING_SIP_ESTABLISHED"));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12)));
  ASSERT_TRUE(rig.Event("UART_EV_DIAL", {12, 0}));
  ASSERT_TRUE(rig.d.WaitLog("TryingCallHandler: ignore duplicate trying in state=11"));
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(callee->Wait(), 0) << callee->Output();
  ASSERT_TRUE(rig.WaitIdle());
  ASSERT_TRUE(rig.d.WaitLog("Video stop flat=12"));
  EXPECT_EQ(rig.d.CountLog("Video start flat="), 1);
  EXPECT_EQ(rig.d.CountLog("Outgoing call start"), 1);
}

// Debian's baresip as an independent peer: a flat's handset that answers by
// itself and opens the second door, then a gate panel calling a flat.
TEST(Calls, DebianBaresipAsHandsetAndAsGate) {
  BaresipPeer handset;
  ASSERT_TRUE(handset.Start("1201", true));
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"12\":[\"1201@127.0.0.1:" + std::to_string(handset.sipPort()) + "\"]}"));
  ASSERT_TRUE(rig.Event("UART_EV_TRYING_CALL", Trying(12)));
  ASSERT_TRUE(rig.d.WaitLog("Set state: OUTGOING_SIP_DIALING -> OUTGOING_SIP_ESTABLISHED")) << handset.Output();
  ASSERT_TRUE(handset.Type("2"));
  EXPECT_EQ(rig.Sent("UartSendCommandOpenByIDWithSource"), (Bytes{2, 10}));
  ASSERT_TRUE(rig.d.Call("HangupActiveCall", "{}").ok);
  EXPECT_TRUE(handset.WaitControl("CALL_CLOSED", Millis(5000)));
  ASSERT_TRUE(rig.WaitIdle());

  BaresipPeer gate;
  ASSERT_TRUE(gate.Start("gate", false));
  ASSERT_NE(gate.Command("dial", "sip:0105@127.0.0.1:" + std::to_string(rig.d.SipPort())), "");
  auto ring = rig.panel->WaitForCommand("UartSendCommandCall", Millis(10000));
  ASSERT_TRUE(ring) << gate.Output();
  EXPECT_EQ(ring->bytes, (Bytes{105, 0}));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(gate.WaitControl("CALL_ESTABLISHED", Millis(5000))) << gate.Output();
  ASSERT_NE(gate.Command("hangup", ""), "");
  ASSERT_TRUE(rig.WaitIdle(2));
  EXPECT_TRUE(rig.d.HasLog("Set state: INCOMING_ESTABLISHED -> IDLE"));
}

// Gate panels calling in: unknown or malformed flats get 404; flat 105 (user
// part "0105") rings with its accounts in the header and is answered from the
// handset; a call while another is up gets 486, a caller may give up while the
// flat rings, and a flat the MCU cannot ring gets 603.
TEST(Calls, IncomingGateCalls) {
  CallRig rig;
  ASSERT_TRUE(rig.Start({}, "{\"105\":[\"1051\",\"1052\"]}"));
  const int port = rig.d.SipPort();
  for (const char *user : {"10000", "12a", "-5"})
    EXPECT_EQ(Peer("caller_rejected_404.xml", port, {"-s", user})->Wait(), 0) << user;
  EXPECT_FALSE(rig.d.HasLog("INCOMING_DIALING"));

  auto gate = Peer("caller_answered.xml", port, {"-s", "0105", "-trace_logs"});
  ASSERT_TRUE(gate);
  EXPECT_EQ(rig.Sent("UartSendCommandCall"), (Bytes{105, 0}));
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> INCOMING_DIALING"));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  EXPECT_EQ(gate->Wait(), 0) << gate->Output();
  EXPECT_NE(gate->Output().find("X-Ornix-AccountsList: [\"1051\",\"1052\"]"), std::string::npos);
  auto gain = rig.panel->WaitForCommand("SetMicGain", Millis(5000));
  EXPECT_EQ(gain ? gain->json : "", "{}");
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_TRUE(rig.d.HasLog("Set state: INCOMING_DIALING -> INCOMING_ESTABLISHED"));
  EXPECT_EQ(rig.Sent("UartSendCommandByeWithState"), Bytes{1});

  auto first = Peer("caller_answered.xml", port, {"-s", "12"});
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> INCOMING_DIALING", 10000, 2));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(rig.d.WaitLog("-> INCOMING_ESTABLISHED", 10000, 2));
  auto busy = Peer("caller_rejected_486.xml", port, {"-s", "13"});
  EXPECT_EQ(busy->Wait(), 0) << busy->Output();
  EXPECT_TRUE(rig.d.HasLog("Skip CloseCallHandler cleanup for rejected incoming call"));
  EXPECT_EQ(first->Wait(), 0) << first->Output();
  ASSERT_TRUE(rig.WaitIdle(2));

  // A caller that gives up while the flat rings: back to IDLE, MCU told.
  int byes = rig.panel->Count("UartSendCommandByeWithState");
  auto leaving = Peer("caller_cancel.xml", port, {"-s", "15"});
  EXPECT_EQ(leaving->Wait(), 0) << leaving->Output();
  ASSERT_TRUE(rig.WaitIdle(3));
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandByeWithState", Millis(5000), byes + 1));

  ASSERT_TRUE(rig.panel->Command("call refuse"));
  auto declined = Peer("caller_rejected_603.xml", port, {"-s", "14"});
  EXPECT_EQ(declined->Wait(), 0) << declined->Output();
  ASSERT_TRUE(rig.WaitIdle(4));
  EXPECT_TRUE(rig.d.HasLog("Incoming call line check failed scode=603 flat=14"));
  EXPECT_TRUE(rig.d.Running());
}

// Direct mode: the gate panel dials the entrance panel named by the rules,
// reads the accounts from its 180 and calls them; the one that answers stays.
TEST(Calls, DirectGateCallFollowsAccountsHeader) {
  auto flatA = Peer("callee_answer_wait_bye.xml"), flatB = Peer("callee_ring_cancel.xml");
  ASSERT_TRUE(flatA && flatB);
  // Entrance panels are dialled on port 5060; a loopback address of its own
  // keeps that port free of clashes with other tests running in parallel.
  std::string entranceIp = "127." + std::to_string(1 + getpid() % 250) + "." +
                           std::to_string(1 + (getpid() / 250) % 250) + ".7";
  Sipp entrance;
  SippRun run(Scenario("entrance_accounts_ring.xml"));
  run.localPort = 5060;
  run.args = {"-i", entranceIp};
  run.injection = "SEQUENTIAL\n" + List({{flatA.get(), "201"}, {flatB.get(), "202"}}) + ";\n";
  run.timeout = Millis(30000);
  ASSERT_TRUE(entrance.Start(run));
  CallRig rig;
  ASSERT_TRUE(rig.Start({{"directMode", "true"}, {"directRules", "{\"7\":{\"1-99\":\"" + entranceIp + "\"}}"}}));
  ASSERT_TRUE(rig.Event("UART_EV_DIAL_GATE", {7, 0, 12, 0}));
  ASSERT_TRUE(rig.d.WaitLog("Parallel accounts list flat=12 count=2"));
  ASSERT_TRUE(rig.d.WaitLog("Call established"));
  EXPECT_EQ(entrance.Wait(), 0) << entrance.Output();
  EXPECT_EQ(flatB->Wait(), 0) << flatB->Output();
  EXPECT_NE(entrance.Output().find("INVITE sip:12@" + entranceIp + ":5060"), std::string::npos);
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  EXPECT_EQ(flatA->Wait(), 0) << flatA->Output();
  ASSERT_TRUE(rig.WaitIdle());
  EXPECT_EQ(rig.d.CountLog("Load accounts from SIP header"), 2);  // both logs, once
}
