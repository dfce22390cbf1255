// panel-sim as a test peer: the panel's UART and camera services on a bus.
//
//   PrivateBus bus;
//   PanelSim sim(bus.address());              // or PanelSim sim(bus, {"--call", "refuse"})
//   ASSERT_TRUE(sim.Start());
//   ... the code under test sends MCU commands ...
//   auto call = sim.WaitForCommand("UartSendCommandCall", Millis(5000));
//   EXPECT_EQ(call->bytes, (std::vector<uint8_t>{0x0c, 0x00}));
//   sim.SendEvent("UART_EV_BYE", {0x0c, 0x00});
#pragma once

#include <jansson.h>

#include "bus.h"

struct PanelCommand {
  double t = 0;                     // CLOCK_MONOTONIC milliseconds when received
  std::string service;              // "is.ornix.uart" or "is.ornix.camera"
  std::string method;
  bool noReply = false;
  std::vector<uint8_t> bytes;       // the ay argument, when there was one
  bool hasBytes = false;
  std::optional<std::string> text;  // the string argument, when there was one
  std::string json;                 // that text parsed and re-encoded compactly (sorted keys), or ""
  std::optional<std::vector<uint8_t>> answer;  // bytes answered, when bytes were answered
};

class PanelSim {
 public:
  PanelSim(const std::string &busAddress, std::vector<std::string> args = {})
      : address_(busAddress), args_(std::move(args)) {}
  PanelSim(const PrivateBus &bus, std::vector<std::string> args = {}) : PanelSim(bus.address(), std::move(args)) {}
  ~PanelSim() { Stop(); }

  // Starts the program and waits until it owns its names.
  bool Start(Millis timeout = Millis(10000));
  bool Stop() {
    process_.CloseStdin();
    return process_.Stop(Millis(3000));
  }
  Process &process() { return process_; }
  const std::string &LogPath() const { return logPath_; }

  // Every command recorded so far (only those named `method` when given), in
  // arrival order.
  std::vector<PanelCommand> Commands(const std::string &method = "") const;
  int Count(const std::string &method) const { return int(Commands(method).size()); }
  // Waits until at least `nth` commands named `method` (any when empty) were
  // received and returns the nth (1-based).
  std::optional<PanelCommand> WaitForCommand(const std::string &method, Millis timeout, int nth = 1) const;

  // Sends one is.ornix.Signal signal from the panel-sim's connection and waits
  // until it is on the bus.
  bool SendEvent(const std::string &member, const std::vector<uint8_t> &bytes);
  bool SendJsonEvent(const std::string &member, const std::string &json) {
    return Command("signal-json " + member + " " + json);
  }
  // Any stdin command ("call refuse", "gain 42", "door fail"...); true on "ok".
  bool Command(const std::string &line, Millis timeout = Millis(5000));

 private:
  std::string address_;
  std::vector<std::string> args_;
  TempDir dir_{"doralin-panel"};
  std::string logPath_ = dir_.Path("commands.jsonl");
  Process process_;
};
