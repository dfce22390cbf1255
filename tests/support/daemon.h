// End-to-end fixture: a temporary root, a private system bus and the real
// `doralin` binary, with helpers to talk to it over the bus and read its log.
//
//   Daemon d;
//   d.config.store.push_back({"doorHangupDelay", "5"});
//   ASSERT_TRUE(d.Start());                       // root, bus, daemon
//   ASSERT_TRUE(d.WaitLog("DoralinStarted"));     // or d.WaitStarted()
//   BusReply r = d.Call("GetDtmf", std::string("{}"));
//   d.Terminate();
//   EXPECT_EQ(d.WaitExit(10000), 15);
//
// Start() = Setup() + Launch(). Between the two a test may start panel-sim or
// other peers on BusAddress(), write more files under Root(), etc. Launch()
// may be called again after the daemon has exited (same root, same bus), e.g.
// to play the supervisor after a forced restart.
#pragma once

#include <dbus/dbus.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct DaemonConfig {
  std::vector<std::string> args;  // command-line arguments after argv[0]
  // Store values of section "doralin" written before start: key -> JSON text.
  std::vector<std::pair<std::string, std::string>> store;
  // Extra environment for the daemon, e.g. {"DORALIN_TEST_HOOKS", "1"}.
  std::vector<std::pair<std::string, std::string>> env;
  // Files written before start: path under the root ("/oem/x") -> content.
  std::vector<std::pair<std::string, std::string>> files;
  // SIP listen port on 127.0.0.1 and RTP port range; 0 picks free ones.
  int sipPort = 0;
  int rtpMin = 0;
  int rtpMax = 0;
  // Lines appended to etc/baresip/config.
  std::string baresipExtra;
  // When false, etc/baresip/config is not written at all.
  bool writeBaresipConfig = true;
};

struct BusReply {
  bool ok = false;           // a method return arrived
  std::string error;         // error name when an error reply arrived
  std::string text;          // first string argument, if any
  std::vector<uint8_t> bytes;  // first byte-array argument, if any
  std::string signature;     // signature of the reply
};

// A received broadcast signal.
struct BusSignal {
  std::string member;
  std::string interface;
  std::string text;
  std::vector<uint8_t> bytes;
};

class Daemon {
 public:
  Daemon();
  ~Daemon();
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  DaemonConfig config;

  bool Setup();   // temp root, files, store values, private bus, bus client
  bool Launch();  // spawn doralin with config.args
  bool Start() { return Setup() && Launch(); }

  const std::string &Root() const { return root_; }
  std::string Path(const std::string &path) const;  // root + path
  const std::string &BusAddress() const { return busAddress_; }
  int SipPort() const { return sipPort_; }
  int RtpMin() const { return rtpMin_; }
  int RtpMax() const { return rtpMax_; }
  pid_t Pid() const { return pid_; }
  pid_t BusPid() const { return busPid_; }

  // ---- log (stderr of every launch, in order) ----
  std::vector<std::string> Logs() const;
  bool HasLog(const std::string &text) const;
  int CountLog(const std::string &text) const;
  // Waits until `count` lines contain `text`.
  bool WaitLog(const std::string &text, int timeoutMs = 10000, int count = 1) const;
  // Waits for the "DoralinStarted" signal on the bus.
  bool WaitStarted(int timeoutMs = 15000);
  // Index of the first line containing text, -1 when none.
  int LogIndex(const std::string &text) const;

  // ---- bus ----
  // Method call to is.ornix.doralin; `json` absent sends no argument.
  BusReply Call(const std::string &method, std::optional<std::string> json = std::nullopt,
                int timeoutMs = 5000, const char *iface = nullptr);
  // Method call with one byte-array argument.
  BusReply CallBytes(const std::string &method, const std::vector<uint8_t> &bytes,
                     int timeoutMs = 5000);
  // Sends a prepared message (takes no ownership) and waits for the reply.
  BusReply CallMessage(DBusMessage *message, int timeoutMs = 5000);
  // Broadcast on is.ornix.Signal with one byte-array argument (absent: none).
  bool Signal(const std::string &member, std::optional<std::vector<uint8_t>> bytes);
  // Waits for a broadcast signal named `member` (any is.ornix.Signal signal).
  bool WaitSignal(const std::string &member, int timeoutMs = 10000, BusSignal *out = nullptr);
  // The test's own connection (for crafted messages).
  DBusConnection *Client() const { return client_; }
  // Unique bus name of the daemon, or "" when it does not own is.ornix.doralin.
  std::string DaemonUniqueName();

  // ---- process ----
  bool Running();
  void Kill(int sig);
  void Terminate() { Kill(15); }
  // Exit status (0..255), 128+signal when killed by a signal, -1 on timeout.
  int WaitExit(int timeoutMs = 15000);
  // Stops the private bus (SIGKILL).
  void KillBus();

 private:
  bool StartBus();
  void PumpClient(int timeoutMs);

  std::string tmp_;   // fixture directory: root/, bus/, logs
  std::string root_;
  std::string busAddress_;
  pid_t busPid_ = -1;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  int sipPort_ = 0, rtpMin_ = 0, rtpMax_ = 0;
  int launches_ = 0;
  DBusConnection *client_ = nullptr;
  std::vector<BusSignal> signals_;
};

// A port on 127.0.0.1 free for both UDP and TCP at the time of the call.
int DaemonFreePort();
