// End-to-end fixture: a temporary root, a private system bus and the real
// `doralin` binary, with helpers to talk to it over the bus and read its log.
//
//   Daemon d;
//   d.config.store.push_back({"doorHangupDelay", "5"});
//   ASSERT_TRUE(d.Start());                       // root, bus, daemon
//   ASSERT_TRUE(d.WaitStarted());                 // the "DoralinStarted" signal
//   BusReply r = d.Call("GetDtmf", "{}");          // r.ok, *r.text
//   d.Terminate();                                // SIGTERM
//   EXPECT_EQ(d.WaitExit(10000), 1);              // SIP loop ended, orderly stop
//
// Start() = Setup() + Launch(). Between the two a test may start panel-sim or
// other peers on BusAddress(), write more files under Root(), etc. Launch()
// may be called again after the daemon has exited (same root, same bus), e.g.
// to play the supervisor after a forced restart.
#pragma once

#include <utility>

#include "bus.h"
#include "panel_sim.h"

struct DaemonConfig {
  std::vector<std::string> args;  // command-line arguments after argv[0]
  // Program and options run in front of the binary, e.g. {"valgrind", "-q"}.
  std::vector<std::string> wrapper;
  // Store values of section "doralin" written before start: key -> JSON text.
  std::vector<std::pair<std::string, std::string>> store;
  // Extra environment for the daemon, e.g. {"SIPUA_LOG", "1"}.
  std::vector<std::pair<std::string, std::string>> env;
  // Runs the test variant of the daemon (with "DoralinTestStall").
  bool testVariant = false;
  // Files written before start: path under the root ("/oem/x") -> content.
  std::vector<std::pair<std::string, std::string>> files;
  std::string baresipExtra;  // lines appended to etc/baresip/config
  std::string rtspUrl = "rtsp://127.0.0.1:554/ch1/trackID=0";  // its camera line
  // Starts panel-sim (the panel's UART and camera services) in Setup(), with
  // these arguments; off by default (tests may start their own PanelSim).
  bool panelSim = false;
  std::vector<std::string> panelArgs;
};

class Daemon {
 public:
  // Kills a daemon still running; when the test failed, prints its last 200 log lines.
  ~Daemon();

  DaemonConfig config;

  // Store values for a SIP server on 127.0.0.1: registrations to `registrar`,
  // calls to `calls` (0: the registrar too), video off; the test's own store
  // values win.
  void UseServer(int registrar, int calls = 0, const std::string &user = "panel",
                 const std::string &password = "secret");

  bool Setup();   // temp root, files, store values, private bus, bus client
  bool Launch();  // spawn doralin with config.args
  bool Start() { return Setup() && Launch(); }

  const std::string &Root() const { return root_; }
  std::string Path(const std::string &path) const { return root_ + path; }
  std::string BusAddress() const { return bus_ ? bus_->address() : std::string(); }
  int SipPort() const { return sipPort_; }
  pid_t Pid() const { return process_ ? process_->pid() : -1; }

  // ---- log (stderr of every launch, in order) ----
  std::vector<std::string> Logs() const;
  bool HasLog(const std::string &text) const { return LogIndex(text) >= 0; }
  int CountLog(const std::string &text) const;
  // Waits until `count` lines contain `text`.
  bool WaitLog(const std::string &text, int timeoutMs = 10000, int count = 1) const {
    return WaitFor([&] { return CountLog(text) >= count; }, Millis(timeoutMs), Millis(20));
  }
  // Waits for the "DoralinStarted" signal on the bus.
  bool WaitStarted(int timeoutMs = 15000) {
    return client_ && client_->WaitForSignal("DoralinStarted", Millis(timeoutMs));
  }
  // Lines of sanitizer reports (ASan, LSan, UBSan) in the log; empty when clean.
  std::vector<std::string> SanitizerReports() const;
  // Index of the first line containing text, -1 when none.
  int LogIndex(const std::string &text) const;

  // ---- bus (see BusClient) ----
  BusReply Call(const std::string &method, std::optional<std::string> json = std::nullopt, int timeoutMs = 5000,
                const char *iface = nullptr) {
    return client_ ? client_->Call(method, json, timeoutMs, iface) : BusReply{};
  }
  template <class Arg = std::optional<std::string>>
  bool Signal(const std::string &member, const Arg &arg = std::nullopt) {
    return client_ && client_->Signal(member, arg);
  }
  // The reply's text, or "<error name: message>".
  std::string Text(const std::string &method, std::optional<std::string> json = std::nullopt) {
    BusReply r = Call(method, json);
    return r.ok ? r.text.value_or("<no text>") : "<" + r.error + ">";
  }
  bool Registered() { return Call("GetSipRegisterStatus").bytes == std::vector<uint8_t>{1}; }
  bool WaitRegistered(int timeoutMs = 15000) {
    return WaitFor([this] { return Registered(); }, Millis(timeoutMs), Millis(100));
  }
  // The next "RegistrationChanged" signal's text that contains `text`; "" when none came in time.
  std::string WaitRegistration(const std::string &text, int timeoutMs);
  // ---- call state, as the "StateChanged" signals tell it ----
  // The states entered so far, in order (every launch).
  const std::vector<std::string> &States();
  // Waits until the call enters `state` after the state the last WaitState
  // found; so consecutive waits walk through the states in order.
  bool WaitState(const std::string &state, int timeoutMs = 15000);

  PanelSim *Panel() const { return panel_.get(); }
  // The test's own connection (for crafted messages).
  BusClient *Bus() const { return client_.get(); }

  // ---- process ----
  bool Running() { return process_ && process_->Running(); }
  void Kill(int sig) {
    if (process_) process_->Signal(sig);
  }
  void Terminate() { Kill(15); }
  // Exit status (0..255), 128+signal when killed by a signal, -1 on timeout.
  int WaitExit(int timeoutMs = 15000) {
    return process_ && process_->Wait(Millis(timeoutMs)) ? process_->ExitCode() : -1;
  }
  // Kills the private bus's dbus-daemon (SIGKILL): every connection drops.
  void KillBus() {
    if (bus_) bus_->Kill();
  }

 private:
  // Declared so that the destructor ends the daemon before its peers and the bus.
  std::unique_ptr<TempDir> tmp_;  // root/ and the logs of earlier launches
  std::string root_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<BusClient> client_;
  std::unique_ptr<PanelSim> panel_;
  std::unique_ptr<Process> process_;
  std::string earlierLogs_;  // stderr of launches before the current one
  std::vector<std::string> states_;
  size_t stateCursor_ = 0;  // past the state the last WaitState found
  int sipPort_ = 0;
};
