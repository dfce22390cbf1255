#define LOG_MODULE "package/src/dbus/status"
#include "bus/status.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "bus/introspection_xml.h"
#include "context/context.h"
#include "ornix.h"
#include "sip/bracket.h"
#include "sip/call_info.h"
#include "sip/sip.h"

namespace {

const auto processStart = std::chrono::steady_clock::now();

// States set since the bus loop's last turn, in order. Filled on any thread
// by SetState, emptied by the loop; bounded, since the loop also signals the
// state it finds, so the last change is never lost. Plain storage: the loop
// may still turn while the process runs its exit-time destructors.
constexpr size_t kMaxPendingStates = 64;
std::mutex pendingLock;
CallState pendingStates[kMaxPendingStates];
size_t pendingCount = 0;
CallState lastSignalled = IDLE;  // bus loop thread only
// The registration as last signalled (bus loop thread only).
SipRegistrationChange lastRegistration{"none", 0, ""};

// New JSON value: {"state", "callType", "flat", "peer", "registration":
// {"registered", "state", "lastError"}, "refused": {"mediaPackets",
// "mediaOffers", "connections", "tlsServers"}, "uptime", "version"}.
json_t *StatusJson() {
  // The SIP loop changes the call's fields under its lock: one consistent
  // view. Without the library (start-up, after REBOOT) nothing else does.
  std::optional<SipThreadBracket> bracket;
  if (SipLibraryUp()) bracket.emplace();
  const std::string peer = SipCurrentPeer();
  const SipRegistrationInfo reg = SipRegistration();
  const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - processStart);
  const SipRefusedCounts refused = SipRefused();
  return json_pack("{s:s, s:s, s:i, s:s?, s:{s:b, s:s, s:s?}, s:{s:I, s:I, s:I, s:I}, s:I, s:s}", "state",
                   StateName(CallContext.state), "callType", CallTypeName(CallContext.callType), "flat",
                   int(CallContext.flat), "peer", peer.empty() ? nullptr : peer.c_str(), "registration", "registered",
                   int(reg.registered), "state", reg.state, "lastError",
                   reg.lastError.empty() ? nullptr : reg.lastError.c_str(), "refused", "mediaPackets",
                   json_int_t(refused.mediaPackets), "mediaOffers", json_int_t(refused.mediaOffers), "connections",
                   json_int_t(refused.connections), "tlsServers", json_int_t(refused.tlsServers), "uptime",
                   json_int_t(uptime.count()), "version", DORALIN_VERSION);
}

void NoteState(CallState state) {
  std::lock_guard<std::mutex> lock(pendingLock);
  if (pendingCount < kMaxPendingStates) pendingStates[pendingCount++] = state;
}

void SendStateSignal(CallState state) {
  JsonPtr status(StatusJson());
  json_object_set_new(status.get(), "state", json_string(StateName(state)));
  char *text = json_dumps(status.get(), JSON_COMPACT);
  DBusMessagePtr signal(dbus_message_new_signal(ORNIX_OBJECT_PATH, DORALIN_STATUS_IFACE, "StateChanged"));
  const char *arg = text;
  if (signal && text && dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID))
    dbus_connection_send(CallContext.dbus, signal.get(), nullptr);
  free(text);
}

// "RegistrationChanged" {"state", "code", "reason"} for a registration event
// whose state or status differs from the one last sent; a refresh that
// changes nothing sends nothing.
void SendRegistrationSignal(const SipRegistrationChange &now) {
  if (now == lastRegistration) return;
  lastRegistration = now;
  JsonPtr body(json_pack("{s:s, s:i, s:s}", "state", now.state, "code", now.code, "reason", now.reason.c_str()));
  char *text = body ? json_dumps(body.get(), JSON_COMPACT) : nullptr;
  DBusMessagePtr signal(dbus_message_new_signal(ORNIX_OBJECT_PATH, DORALIN_STATUS_IFACE, "RegistrationChanged"));
  const char *arg = text;
  if (signal && text && dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID))
    dbus_connection_send(CallContext.dbus, signal.get(), nullptr);
  free(text);
}

// Sends a reply (none when it could not be built).
void SendReply(DBusMessagePtr reply) {
  if (reply) dbus_connection_send(CallContext.dbus, reply.get(), nullptr);
}

void ReplyText(DBusMessage *message, const char *text) {
  DBusMessagePtr reply(dbus_message_new_method_return(message));
  if (reply && !dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) reply.reset();
  SendReply(std::move(reply));
}

// The object is /is/ornix; its parents show it as a child so that tools
// walking the tree from "/" find it.
void Introspect(DBusMessage *message) {
  const char *path = dbus_message_get_path(message);
  if (path && (strcmp(path, "/") == 0 || strcmp(path, "/is") == 0)) {
    std::string xml = std::string(DBUS_INTROSPECT_1_0_XML_DOCTYPE_DECL_NODE) + "<node><node name=\"" +
                      (strcmp(path, "/") == 0 ? "is" : "ornix") + "\"/></node>\n";
    ReplyText(message, xml.c_str());
    return;
  }
  ReplyText(message, kIntrospectionXml);
}

void GetMachineId(DBusMessage *message) {
  DBusError err;
  dbus_error_init(&err);
  char *id = dbus_try_get_local_machine_id(&err);
  if (id) ReplyText(message, id);
  else SendReply(DBusMessagePtr(dbus_message_new_error(message, err.name, err.message)));
  dbus_free(id);
  dbus_error_free(&err);
}

}  // namespace

void StatusInit() { callStateObserver = NoteState; }

bool ServeStatusInterfaces(DBusMessage *message) {
  if (dbus_message_is_method_call(message, DORALIN_STATUS_IFACE, "GetStatus")) {
    JsonPtr status(StatusJson());
    DbusJsonMethodReply(CallContext.dbus, message, status.get());
  } else if (dbus_message_is_method_call(message, DBUS_INTERFACE_INTROSPECTABLE, "Introspect")) {
    Introspect(message);
  } else if (dbus_message_is_method_call(message, DBUS_INTERFACE_PEER, "Ping")) {
    SendReply(DBusMessagePtr(dbus_message_new_method_return(message)));
  } else if (dbus_message_is_method_call(message, DBUS_INTERFACE_PEER, "GetMachineId")) {
    GetMachineId(message);
  } else {
    return false;
  }
  return true;
}

void SendStateSignals() {
  CallState states[kMaxPendingStates + 1];
  size_t count;
  {
    std::lock_guard<std::mutex> lock(pendingLock);
    count = pendingCount;
    std::copy(pendingStates, pendingStates + count, states);
    pendingCount = 0;
  }
  // States stored with StateLog::Unlogged reach no observer: caught here,
  // one turn later.
  states[count++] = CallContext.state;
  for (size_t i = 0; i < count; ++i) {
    const CallState state = states[i];
    if (state == lastSignalled) continue;
    lastSignalled = state;
    SendStateSignal(state);
  }
  for (const SipRegistrationChange &change : SipRegistrationChanges()) SendRegistrationSignal(change);
}
