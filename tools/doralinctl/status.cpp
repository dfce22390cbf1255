// "status" and "watch": the daemon's status interface.
#include <signal.h>

#include <atomic>
#include <iostream>

#include "doralinctl.h"

namespace {

std::atomic<bool> interrupted{false};

void Interrupt(int) { interrupted = true; }

// One line per status, for pipes and logs.
void PrintLine(json_t *status) {
  Options oneLine;
  oneLine.compact = true;
  PrintJson(oneLine, status);
}

void PrintStateSignal(DBusMessage *m) {
  if (!dbus_message_is_signal(m, kStatusInterface, "StateChanged")) return;
  if (JsonPtr status = ReplyJson("StateChanged", m)) PrintLine(status.get());
}

}  // namespace

int RunStatus(const std::vector<std::string> &words, const Options &o) {
  if (words.size() != 1) return UsageError("status takes no arguments");
  ConnectionPtr conn = Connect(o);
  if (!conn) return kBusError;
  DBusMessagePtr reply = CallDaemon(conn.get(), o, kStatusInterface, "GetStatus", nullptr);
  if (!reply) return kBusError;
  JsonPtr status = ReplyJson("GetStatus", reply.get());
  if (!status) return kBusError;
  PrintJson(o, status.get());
  return kOk;
}

int RunWatch(const std::vector<std::string> &words, const Options &o) {
  if (words.size() != 1) return UsageError("watch takes no arguments");
  ConnectionPtr conn = Connect(o);
  if (!conn) return kBusError;
  DBusError err;
  dbus_error_init(&err);
  const std::string rule = std::string("type='signal',sender='") + o.destination + "',interface='" +
                           kStatusInterface + "',member='StateChanged'";
  dbus_bus_add_match(conn.get(), rule.c_str(), &err);
  const bool subscribed = !dbus_error_is_set(&err);
  if (!subscribed) std::cerr << "doralinctl: watch: " << err.message << "\n";
  dbus_error_free(&err);
  if (!subscribed) return kBusError;
  // Where it stands now, then every change (nothing now while the daemon is
  // away: its changes are printed once it is back).
  if (DBusMessagePtr reply = CallDaemon(conn.get(), o, kStatusInterface, "GetStatus", nullptr))
    if (JsonPtr status = ReplyJson("GetStatus", reply.get())) PrintLine(status.get());
  struct sigaction sa = {};
  sa.sa_handler = Interrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // Until interrupted; the wait is short so that an interrupt ends it soon.
  while (!interrupted) {
    if (!dbus_connection_read_write(conn.get(), 200)) {
      std::cerr << "doralinctl: watch: the bus connection closed\n";
      return kBusError;
    }
    while (DBusMessagePtr m{dbus_connection_pop_message(conn.get())}) PrintStateSignal(m.get());
  }
  return kOk;
}
