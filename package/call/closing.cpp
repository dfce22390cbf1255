#define LOG_MODULE "package/main/closing"
#include "call/closing.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>

#include "call/decisions.h"
#include "call/dispatcher.h"
#include "call/talk.h"
#include "call/video.h"
#include "context/context.h"
#include "ornix.h"
#include "sip/calls.h"
#include "sip/legs.h"

struct call *rejectedCall = nullptr;
const char *closeReason = nullptr;

namespace {

// The call whose close is being handled: a second close of it while the
// first runs is skipped.
struct call *closingCall = nullptr;

// The last call whose close was handled. The library can report the end of
// one call twice (a hang-up of a call that is still winding down); the
// second report must not tell the MCU again or touch the next call's context.
struct call *closedCall = nullptr;

// Marks the call as closing for the scope of its handling, then gives the
// mark back to the close it may be nested in.
struct ClosingMark {
  explicit ClosingMark(struct call *call) : previous(closingCall) {
    if (call) closingCall = call;
  }
  ~ClosingMark() { closingCall = previous; }
  ClosingMark(const ClosingMark &) = delete;
  ClosingMark &operator=(const ClosingMark &) = delete;
  struct call *previous;
};

bool Unsuccessful(unsigned scode) { return scode >= 400 && scode <= 699; }

void LogUnsuccessful(unsigned scode) {
  if (Unsuccessful(scode))
    LOG(2, "Call ended unsuccessfully scode=%u flat=%u", scode, CallContext.flat);
}

// One leg of several ended: the others go on, the MCU is not told.
void CloseParallelLeg(struct call *call, unsigned scode) {
  if (CallContext.currentCall == call) {
    CallContext.currentCall = FindAnotherCall(call);
    LOG(1, "Switch currentCall to %p", (void *)CallContext.currentCall);
  }
  char leg[128];
  if (closeReason && closeReason[0])
    snprintf(leg, sizeof(leg), "other_calls_remain scode=%u sip=\"%s\"", scode, closeReason);
  else
    snprintf(leg, sizeof(leg), "other_calls_remain scode=%u", scode);
  LOG(2, "Call leg closed flat=%u call=%p %s", CallContext.flat, (void *)call, leg);
  LogUnsuccessful(scode);
  closedCall = call;
}

void CloseForeign(struct call *call, unsigned scode) {
  LOG(1,
      "CloseCallHandler: ignore foreign CALL_CLOSED call=%p owner=%p "
      "state=%s callType=%s scode=%u",
      (void *)call, (void *)CallContext.currentCall, StateName(CallContext.state),
      CallTypeName(CallContext.callType), scode);
}

// The clock the call's start stamp is taken on.
long long NowMsWall() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// One journal record per call, whatever its kind: who, which way, how long,
// how it ended and whether a door opened.
void JournalCallEnd(struct call *call, unsigned scode) {
  const char *peer = SipPeerUri(call);
  const long long start = (long long)GetStartCallTimestamp();
  const long long seconds = start > 0 ? (NowMsWall() - start) / 1000 : 0;
  LogWriteMorvat(3, LOG_MODULE, __LINE__, MORVAT_CALL_ENDED,
                 "Call ended: flat=%u direction=%s peer=%s duration=%llds cause=%u%s%s doors=%d",
                 unsigned(CallContext.flat), CallContext.fromGate ? "incoming" : "outgoing", peer ? peer : "-",
                 seconds > 0 ? seconds : 0, scode, closeReason && closeReason[0] ? " " : "",
                 closeReason ? closeReason : "", TalkTakeDoorsOpened());
}

// The call the context is about (or none) ended: the record, the gain and
// video reset, the MCU bye and, by the state, back to IDLE.
void CloseLastCall(struct call *call, unsigned scode) {
  if (call) closedCall = call;
  if (closeReason && closeReason[0]) {
    char reason[128];
    snprintf(reason, sizeof(reason), "sip=\"%s\"", closeReason);
    LOG(2, "Call closed scode=%u flat=%u call=%p %s", scode, CallContext.flat, (void *)call,
        reason);
  } else {
    LOG(2, "Call closed scode=%u flat=%u call=%p", scode, CallContext.flat, (void *)call);
  }
  LogUnsuccessful(scode);
  JournalCallEnd(call, scode);

  const LastCallPlan plan = PlanLastCall(CallContext.state);
  if (plan.resetMicGain)
    DbusJsonMethodCall(CallContext.dbus, ORNIX_CAMERA_SERVICE, "ResetMicGain", nullptr);
  if (plan.endRecord) AllCallsDone();
  if (CallContext.videoEnabled && videoStarted) VideoStop();
  if (plan.plainBye)
    SendUartBye("CloseCallHandler: active assistant/outgoing cleanup");
  else
    SendUartByeWithState(UART_BYE_CALL_STATE, "CloseCallHandler: non-assistant close");
  CallContext.hadPanelDecline = false;
  if (plan.toIdle) {
    SetState(IDLE);
    SetCallType(NONE);
    SetFlat(0);
  }
  CallContext.currentCall = nullptr;
}

}  // namespace

void AllCallsDone() {
  const long long ts = (long long)GetStartCallTimestamp();
  const uint16_t flat = CallContext.flat;
  switch (DecideEndRecord(CallContext.callType, flat)) {
    case EndRecord::AssistDone:
      LOG_BOTH(3, "[%lld] Incoming assist call done", ts);
      return;
    case EndRecord::Sos:
      LOG_BOTH(3, "[%lld] All calls are done for sos", ts);
      return;
    case EndRecord::Concierge:
      LOG_BOTH(3, "[%lld] All calls are done for concierge", ts);
      return;
    case EndRecord::Apartment:
      LOG_BOTH(3, "[%lld] All calls are done for apartment %u", ts, flat);
      return;
    case EndRecord::Plain:
      LOG_BOTH(3, "[%lld] All calls are done", ts);
      return;
  }
}

void CloseTrackNewCall(struct call *call) {
  // The marks of an ended call at this address must not stick to the new one.
  if (call == closedCall) closedCall = nullptr;
  if (call == rejectedCall) rejectedCall = nullptr;
  if (call == CallContext.accountsListCall) CallContext.accountsListCall = nullptr;
}

void CloseCallHandler(struct call *call) {
  switch (DecideCloseEntry(call, closingCall, closedCall, CallContext.currentCall)) {
    case CloseEntry::Reentrant:
      LOG(1, "Skip reentrant CloseCallHandler call=%p", (void *)call);
      return;
    case CloseEntry::Repeated:
      LOG(1, "Skip repeated CloseCallHandler call=%p", (void *)call);
      return;
    case CloseEntry::Handle:
      break;
  }
  ClosingMark mark(call);
  if (call) {
    // A door hang-up still pending for this call must not outlive it, nor
    // its accounts-list mark, whichever way its close is handled below.
    DoorHangupForgetCall(call);
    if (CallContext.accountsListCall == call) CallContext.accountsListCall = nullptr;
  }
  const int others = call ? CountOtherCalls(call) : 0;
  const unsigned scode = CloseStatusCode(SipStatusCode(call), closeReason);
  LOG(1, "Call CloseCallHandler (%p), other calls: %d scode=%u", (void *)call, others, scode);
  LOG(1,
      "[direct] CloseCallHandler call=%p fromGate=%d enableDirect=%d state=%s "
      "flat=%u tid=%p",
      (void *)call, CallContext.fromGate, CallContext.enableDirect,
      StateName(CallContext.state), CallContext.flat, (void *)pthread_self());

  switch (DecideClose(call, rejectedCall, CallContext.currentCall, others)) {
    case CloseBranch::Rejected:
      LOG(1, "Skip CloseCallHandler cleanup for rejected incoming call %p", (void *)call);
      rejectedCall = nullptr;
      return;
    case CloseBranch::ParallelLeg:
      CloseParallelLeg(call, scode);
      return;
    case CloseBranch::Foreign:
      CloseForeign(call, scode);
      return;
    case CloseBranch::Last:
      CloseLastCall(call, scode);
      return;
  }
}
