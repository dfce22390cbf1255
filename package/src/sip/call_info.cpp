#define LOG_MODULE "package/src/sip/call_info"

#include "sip/call_info.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "context/context.h"
#include "sip/bracket.h"
#include "sip/re_headers.h"
#include "sip/sip.h"

namespace {

// The tracker runs on the SIP loop thread, the status is read on the bus
// thread (also while the process runs its exit-time destructors, hence a
// plain buffer).
std::mutex registerLock;
int lastEvent = -1;  // -1: no registration event yet
char lastError[128] = "";
char lastText[128] = "";  // status line of the last event, e.g. "200 OK"

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
}

SipRegistrationChange SipRegistrationLast() {
  std::lock_guard<std::mutex> lock(registerLock);
  SipRegistrationChange c{RegisterStateName(lastEvent), 0, ""};
  int used = 0;
  if (sscanf(lastText, "%d %n", &c.code, &used) == 1) c.reason = lastText + used;
  return c;
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
