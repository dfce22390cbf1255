// A private system-type bus per test and a small client for it.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <deque>
#include <memory>

#include "process.h"

// Starts its own dbus-daemon (permissive policy, unix socket in a temporary
// directory) and stops it on destruction. With exportSystemAddress the
// constructor also sets DBUS_SYSTEM_BUS_ADDRESS for this process (restored on
// destruction), so DbusConnect() and children started afterwards use this bus.
class PrivateBus {
 public:
  explicit PrivateBus(bool exportSystemAddress = true);

  bool ok() const { return !address_.empty(); }
  // "unix:path=/tmp/.../bus.sock" (empty when the daemon did not start).
  const std::string &address() const { return address_; }
  // "DBUS_SYSTEM_BUS_ADDRESS=<address>" for ProcessOptions::env.
  std::string EnvEntry() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }
  // SIGKILL to the dbus-daemon: every connection drops.
  void Kill() { daemon_.Kill(); }

 private:
  TempDir dir_{"doralin-bus"};
  Process daemon_;
  std::string address_;
  std::unique_ptr<ScopedEnv> env_;
};

struct BusSignal {
  std::string member;
  std::optional<std::string> text;  // first argument when it is a string
  std::vector<uint8_t> bytes;        // first argument when it is an ay
};

struct BusReply {
  bool ok = false;                  // a method return arrived
  std::string error;                // error name (and message) otherwise
  std::optional<std::string> text;  // first string argument of the return
  std::vector<uint8_t> bytes;       // first ay argument of the return
};

// Appends one string (`json`, when set) or one ay (`bytes`) argument.
DBusMessage *WithArg(DBusMessage *message, const std::optional<std::string> &json);
DBusMessage *WithArg(DBusMessage *message, const std::vector<uint8_t> &bytes);

// A private connection of its own to a bus. Not shared between threads.
class BusClient {
 public:
  // Connects to `address` (empty: the one in DBUS_SYSTEM_BUS_ADDRESS) and, when
  // `name` is given, requests it as primary owner.
  explicit BusClient(const std::string &address = "", const std::string &name = "");
  ~BusClient() {
    if (!conn_) return;
    dbus_connection_close(conn_);
    dbus_connection_unref(conn_);
  }
  BusClient(const BusClient &) = delete;
  BusClient &operator=(const BusClient &) = delete;

  bool ok() const { return conn_ != nullptr; }

  // Method `method` of is.ornix.doralin (interface is.ornix.Method unless
  // `iface`), path /is/ornix; one string argument holding `json` unless it is
  // nullopt. Waits for the reply.
  BusReply Call(const std::string &method, const std::optional<std::string> &json = std::nullopt,
                int timeoutMs = 5000, const char *iface = nullptr);
  // Sends `message` (taken over) and waits for its reply.
  BusReply Call(DBusMessage *message, int timeoutMs = 5000);
  // Sends `message` (taken over) without waiting for anything.
  bool Send(DBusMessage *message);
  // Broadcast on is.ornix.Signal, path /is/ornix, with a string (JSON) or a
  // byte-array argument, or none.
  template <class Arg = std::optional<std::string>>
  bool Signal(const std::string &member, const Arg &arg = std::nullopt) {
    return Send(WithArg(dbus_message_new_signal("/is/ornix", "is.ornix.Signal", member.c_str()), arg));
  }

  // Starts collecting signals of `interface` (all signals when empty).
  bool Subscribe(const std::string &interface = "is.ornix.Signal");
  // Waits for the next collected signal named `member` (any when empty) whose
  // text contains `text`, and removes it from the queue.
  std::optional<BusSignal> WaitForSignal(const std::string &member, Millis timeout, const std::string &text = "");

 private:
  void Pump();

  DBusConnection *conn_ = nullptr;
  std::deque<BusSignal> signals_;
};
