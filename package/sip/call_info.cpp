#define LOG_MODULE "package/src/sip/call_info"

#include "sip/call_info.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "sip/re_headers.h"
#include "context/context.h"
#include "sip/bracket.h"
#include "sip/sip.h"

namespace {

// The tracker runs on the SIP loop thread, the status is read on the bus
// thread (also while the process runs its exit-time destructors, hence a
// plain buffer).
std::mutex registerLock;
int lastEvent = -1;  // -1: no registration event yet
char lastError[128] = "";
char lastText[128] = "";  // status line of the last event, e.g. "200 OK"
// Events not yet signalled, in order (plain storage, as above).
constexpr size_t kMaxPendingChanges = 32;
struct PendingChange {
  int event;
  char text[128];
} pendingChanges[kMaxPendingChanges];
size_t pendingCount = 0;

const char *RegisterStateName(int event) {
  switch (event) {
    case UA_EVENT_REGISTERING: return "registering";
    case UA_EVENT_REGISTER_OK: return "registered";
    case UA_EVENT_REGISTER_FAIL: return "failed";
    case UA_EVENT_UNREGISTERING: return "unregistering";
    default: return "none";
  }
}

}  // namespace

void SipNoteRegisterEvent(int event, const char *text) {
  if (event != UA_EVENT_REGISTERING && event != UA_EVENT_REGISTER_OK && event != UA_EVENT_REGISTER_FAIL &&
      event != UA_EVENT_UNREGISTERING)
    return;
  std::lock_guard<std::mutex> lock(registerLock);
  lastEvent = event;
  if (event == UA_EVENT_REGISTER_FAIL && text != nullptr && *text != '\0')
    snprintf(lastError, sizeof lastError, "%s", text);
  snprintf(lastText, sizeof lastText, "%s", text ? text : "");
  // Kept in order until the bus loop takes them: a failure followed at once
  // by the next attempt must be seen as both.
  if (pendingCount < kMaxPendingChanges) {
    PendingChange &p = pendingChanges[pendingCount++];
    p.event = event;
    snprintf(p.text, sizeof p.text, "%s", lastText);
  }
}

std::vector<SipRegistrationChange> SipRegistrationChanges() {
  std::lock_guard<std::mutex> lock(registerLock);
  std::vector<SipRegistrationChange> taken;
  for (size_t i = 0; i < pendingCount; ++i) {
    SipRegistrationChange c{RegisterStateName(pendingChanges[i].event), 0, ""};
    int used = 0;
    if (sscanf(pendingChanges[i].text, "%d %n", &c.code, &used) == 1) c.reason = pendingChanges[i].text + used;
    taken.push_back(std::move(c));
  }
  pendingCount = 0;
  return taken;
}

SipRegistrationInfo SipRegistration() {
  const bool registered = CallContext.registerStatus;
  std::lock_guard<std::mutex> lock(registerLock);
  return {registered, registered ? "registered" : RegisterStateName(lastEvent), lastError};
}

std::string SipCurrentPeer() {
  if (!SipLibraryUp()) return "";
  // The SIP loop sets and clears the call under its lock.
  SipThreadBracket bracket;
  struct call *call = CallContext.currentCall;
  const char *uri = call ? call_peeruri(call) : nullptr;
  return uri ? uri : "";
}

SipRefusedCounts SipRefused() {
  struct sipua_counters c = {};
  sipua_counters_get(&c);
  return {c.media_dropped, c.offers_refused, c.conns_refused, c.tls_failed};
}
