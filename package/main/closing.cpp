#define LOG_MODULE "package/main/closing"
#include "closing.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "context/context.h"
#include "dispatcher.h"
#include "ornix.h"
#include "sip/legs.h"
#include "talk.h"
#include "video.h"

struct call *rejectedCall = nullptr;
const char *closeReason = nullptr;
struct call *closingCall = nullptr;

namespace {

// The last call whose close was handled. The library can report the end of
// one call twice (a hang-up of a call that is still winding down); the
// second report must not tell the MCU again or touch the next call's context.
struct call *closedCall = nullptr;

bool Unsuccessful(unsigned scode) { return scode >= 400 && scode <= 699; }

uint16_t CloseStatusCode(struct call *call) {
  uint16_t scode = call ? call_scode(call) : 0;
  if (scode >= 100 && scode <= 699) return scode;
  unsigned fromReason = 0;
  if (closeReason && sscanf(closeReason, "%u", &fromReason) == 1 &&
      fromReason >= 100 && fromReason <= 699)
    return (uint16_t)fromReason;
  return scode;
}

void ResetFlatToZero() {
  LOG(2, "Set flat: %u -> %u", CallContext.flat, 0u);
  CallContext.flat = 0;
}

}  // namespace

void AllCallsDone() {
  long long ts = (long long)GetStartCallTimestamp();
  uint16_t flat = CallContext.flat;
  switch (CallContext.callType) {
    case SOS:
      LOG_BOTH(3, "[%lld] All calls are done for sos", ts);
      return;
    case CONCIERGE:
      LOG_BOTH(3, "[%lld] All calls are done for concierge", ts);
      return;
    case NONE:
      if (flat == 0) {
        LOG_BOTH(3, "[%lld] Incoming assist call done", ts);
        return;
      }
      break;
    default:
      break;
  }
  if (flat >= 1 && flat <= 9999)
    LOG_BOTH(3, "[%lld] All calls are done for apartment %u", ts, flat);
  else
    LOG_BOTH(3, "[%lld] All calls are done", ts);
}

void CloseTrackNewCall(struct call *call) {
  // The marks of an ended call at this address must not stick to the new one.
  if (call == closedCall) closedCall = nullptr;
  if (call == rejectedCall) rejectedCall = nullptr;
  if (call == CallContext.accountsListCall) CallContext.accountsListCall = nullptr;
}

void CloseCallHandler(struct call *call) {
  if (call && call == closingCall) {
    LOG(1, "Skip reentrant CloseCallHandler call=%p", (void *)call);
    return;
  }
  if (call && call == closedCall && call != CallContext.currentCall) {
    LOG(1, "Skip repeated CloseCallHandler call=%p", (void *)call);
    return;
  }
  struct call *previousClosing = closingCall;
  if (call) {
    closingCall = call;
    // A door hang-up still pending for this call must not outlive it, nor
    // its accounts-list mark, whichever way its close is handled below.
    DoorHangupForgetCall(call);
    if (CallContext.accountsListCall == call) CallContext.accountsListCall = nullptr;
  }
  int others = call ? CountOtherCalls(call) : 0;

  unsigned scode = CloseStatusCode(call);
  char reason[128] = "";
  if (closeReason && closeReason[0])
    snprintf(reason, sizeof(reason), "sip=\"%s\"", closeReason);

  LOG(1, "Call CloseCallHandler (%p), other calls: %d scode=%u", (void *)call,
      others, scode);
  LOG(1,
      "[direct] CloseCallHandler call=%p fromGate=%d enableDirect=%d state=%s "
      "flat=%u tid=%p",
      (void *)call, CallContext.fromGate, CallContext.enableDirect,
      StateName(CallContext.state), CallContext.flat,
      (void *)pthread_self());

  if (call && call == rejectedCall) {
    LOG(1, "Skip CloseCallHandler cleanup for rejected incoming call %p",
        (void *)call);
    closingCall = previousClosing;
    rejectedCall = nullptr;
    return;
  }

  if (others > 0) {
    if (CallContext.currentCall == call) {
      CallContext.currentCall = FindAnotherCall(call);
      LOG(1, "Switch currentCall to %p", (void *)CallContext.currentCall);
    }
    char leg[128];
    if (closeReason && closeReason[0])
      snprintf(leg, sizeof(leg), "other_calls_remain scode=%u sip=\"%s\"",
               scode, closeReason);
    else
      snprintf(leg, sizeof(leg), "other_calls_remain scode=%u", scode);
    LOG(2, "Call leg closed flat=%u call=%p %s", CallContext.flat,
        (void *)call, leg);
    if (Unsuccessful(scode))
      LOG(2, "Call ended unsuccessfully scode=%u flat=%u", scode,
          CallContext.flat);
    closedCall = call;
    closingCall = previousClosing;
    return;
  }

  if (CallContext.currentCall && CallContext.currentCall != call) {
    LOG(1,
        "CloseCallHandler: ignore foreign CALL_CLOSED call=%p owner=%p "
        "state=%s callType=%s scode=%u",
        (void *)call, (void *)CallContext.currentCall,
        StateName(CallContext.state), CallTypeName(CallContext.callType),
        scode);
    closingCall = previousClosing;
    return;
  }
  if (call) closedCall = call;

  if (reason[0])
    LOG(2, "Call closed scode=%u flat=%u call=%p %s", scode, CallContext.flat,
        (void *)call, reason);
  else
    LOG(2, "Call closed scode=%u flat=%u call=%p", scode, CallContext.flat,
        (void *)call);
  if (Unsuccessful(scode))
    LOG(2, "Call ended unsuccessfully scode=%u flat=%u", scode,
        CallContext.flat);

  CallState state = CallContext.state;
  if (state == OUTGOING_SIP_ESTABLISHED)
    DbusJsonMethodCall(CallContext.dbus, ORNIX_CAMERA_SERVICE, "ResetMicGain",
                       nullptr);
  switch (state) {
    case ASSISTANT_DIALING:
    case ASSISTANT_ESTABLISHED:
    case INCOMING_DIALING:
    case INCOMING_ESTABLISHED:
    case OUTGOING_DIALING:
    case OUTGOING_SIP_DIALING:
    case OUTGOING_SIP_ESTABLISHED:
      AllCallsDone();
      break;
    default:
      break;
  }
  if (CallContext.videoEnabled && videoStarted) VideoStop();

  if (state == ASSISTANT_DIALING || state == ASSISTANT_ESTABLISHED ||
      state == OUTGOING_SIP_DIALING || state == OUTGOING_SIP_ESTABLISHED) {
    SendUartBye("CloseCallHandler: active assistant/outgoing cleanup");
    SetState(IDLE);
    SetCallType(NONE);
    ResetFlatToZero();
    CallContext.hadPanelDecline = false;
  } else {
    SendUartByeWithState(1, "CloseCallHandler: non-assistant close");
    CallContext.hadPanelDecline = false;
    if (state == INCOMING_DIALING || state == INCOMING_ESTABLISHED) {
      SetState(IDLE);
      SetCallType(NONE);
      ResetFlatToZero();
    }
  }

  closingCall = previousClosing;
  CallContext.currentCall = nullptr;
}
