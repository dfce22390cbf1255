#define LOG_MODULE "package/main/dispatcher"
#include "call/dispatcher.h"

#include <pthread.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "call/closing.h"
#include "call/decisions.h"
#include "call/talk.h"
#include "context/context.h"
#include "ornix.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "sip/calls.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/service_call.h"
#include "sip/sip.h"

namespace {

const char *const kAccountsHeader = "X-Ornix-AccountsList";
// A flat has at most this many accounts; a longer list from a peer is cut.
const size_t kMaxListedAccounts = 5;

void AnsweredHandler(struct call *call) {
  LOG(2, "Call answered, hangup other legs call=%p", (void *)call);
  if (call) CallContext.currentCall = call;
  HangupAnotherCalls(call, true);
}

void PanelDecline(struct call *call) {
  if (CallContext.panelDeclineTimer) {
    timer_delete(CallContext.panelDeclineTimer);
    CallContext.panelDeclineTimer = 0;
  }
  LOG(1, "[direct] ProgressCallHandler hadPanelDecline -> 603");
  LOG(2, "Panel decline scode=603 flat=%u call=%p", CallContext.flat,
      (void *)call);
  LOG(2, "Call ended unsuccessfully scode=603 flat=%u", CallContext.flat);
  CallContext.hadPanelDecline = false;
  SipHangup(call, 603, "Decline");
  SetState(IDLE);
  SetCallType(NONE);
}

// The call's local user part, unescaped, as an apartment number from 1 to
// 9999; 0 when it is none. The same reading as the check of the incoming
// call, so that the flat rung is the number that was checked.
uint16_t GetCallFlat(struct call *call) {
  const char *local = SipLocalUri(call);
  if (local) LOG(1, "Call to %s", local);
  char user[64];
  const long number = SipCalledUser(call, user, sizeof(user)) ? ApartmentNumber(user) : -1;
  return number >= 1 && number <= LAST_APARTMENT ? (uint16_t)number : 0;
}

IncomingFacts IncomingFactsOf(struct call *call) {
  // Read once, unescaped: the user part that is checked is the one rung.
  char user[64];
  const bool named = SipCalledUser(call, user, sizeof(user));
  const bool service = named && IsServiceAddress(user);
  return {CallContext.state,
          CallContext.currentCall != nullptr,
          service,
          named && !service ? ApartmentNumber(user) : -1,
          CallContext.assistant.assistantOnline,
          CallContext.assistant.assistantEnable};
}

// Marks the call first: the library reports its close before the hang-up
// returns, and that close must leave the context as it is.
void RejectBusy(struct call *call, IncomingBranch branch) {
  rejectedCall = call;
  const int state = (int)CallContext.state;
  if (branch == IncomingBranch::BusyOutgoing) {
    LOG(1, "IncomingCallHandler ua_hangup busy (outgoing state=%d)", state);
    LOG(2, "Incoming call rejected (busy, outgoing in progress) scode=486 call=%p",
        (void *)call);
  } else if (branch == IncomingBranch::BusyAssistant) {
    LOG(1, "IncomingCallHandler ua_hangup 1 (state=%d)", state);
    LOG(2, "Incoming assist call rejected (busy) scode=486 call=%p", (void *)call);
  } else {
    LOG(1, "IncomingCallHandler ua_hangup 2 (state=%d)", state);
    LOG(2, "Incoming call rejected (busy state) scode=486 call=%p", (void *)call);
  }
  LOG(2, "Call ended unsuccessfully scode=486 flat=%u", CallContext.flat);
  const char *peer = SipPeerUri(call);
  LogWriteMorvat(3, LOG_MODULE, __LINE__, MORVAT_CALL_REFUSED, "Incoming call from %s could not ring: 486 Busy Here",
                 peer ? peer : "-");
  SipHangup(call, 486, "Busy Here");
}

void RejectNotFound(struct call *call, long long ts) {
  LOG_BOTH(3, "[%lld] Rejecting call to disallowed target", ts);
  LOG(2, "Incoming call rejected (not allowed) scode=404 call=%p", (void *)call);
  LOG(2, "Call ended unsuccessfully scode=404 flat=%u", CallContext.flat);
  SipHangup(call, 404, "Not Found");
}

void AcceptAssistant(struct call *call, long long ts) {
  SetFlat(0);
  SetState(ASSISTANT_DIALING);
  CallContext.currentCall = call;
  LOG(2, "Incoming assist call start");
  LOG_BOTH(3, "[%lld] Incoming assist call", ts);
}

// The flat's accounts go to the calling gate panel in the call's responses.
void SendAccountsList(struct call *call, long long ts) {
  JsonPtr accounts(GetFlatAccounts(CallContext.flat));
  char *text = accounts ? json_dumps(accounts.get(), JSON_COMPACT) : nullptr;
  if (!text) {
    LOG(1, "IncomingCallHandler: no accounts list for flat %u", CallContext.flat);
    return;
  }
  SetCustomCallHeader(call, kAccountsHeader, text);
  LOG(3, "[%lld] Sending X-Ornix-AccountsList to gate: %s", ts, text);
  free(text);
}

void AcceptApartment(struct call *call, bool endAssistant, const char *peer,
                     long long ts) {
  LOG(1, "Set currentCall to call %p", (void *)call);
  CallContext.currentCall = call;
  if (endAssistant) {
    SendUartBye("IncomingCallHandler: hangup previous assistant for incoming");
    LOG_BOTH(3, "[%lld] Hangup assistant", ts);
    HangupAnotherCalls(call);
  }
  SetState(INCOMING_DIALING);
  SetFlat(GetCallFlat(call));
  LOG(1, "Set currentCall to call %p", (void *)call);
  CallContext.currentCall = call;
  LOG(2, "Incoming call start flat=%u call=%p %s", CallContext.flat,
      (void *)call, peer);
  SendAccountsList(call, ts);
  LOG_BOTH(3, "[%lld] Incoming call to %u", ts, CallContext.flat);
}

void RingHandset(struct call *call, long long ts) {
  const bool rings = UartSendCommandCall(CallContext.dbus, CallContext.flat) == 0;
  const RingBranch branch = DecideRing(rings, call == CallContext.currentCall);
  if (branch == RingBranch::Ringing) return;
  LOG(3, "[%lld] Can't dial with flat %u. Hangup", ts, CallContext.flat);
  // The residents never heard it ring: the journal keeps that it came.
  const char *peer = SipPeerUri(call);
  LogWriteMorvat(3, LOG_MODULE, __LINE__, MORVAT_CALL_REFUSED,
                 "Gate call from %s to flat %u could not ring: 603 Decline (the MCU refused the handset)",
                 peer ? peer : "-", unsigned(CallContext.flat));
  LOG(1, "IncomingCallHandler ua_hangup 3");
  LOG(2, "Incoming call line check failed scode=603 flat=%u call=%p",
      CallContext.flat, (void *)call);
  LOG(2, "Call ended unsuccessfully scode=603 flat=%u", CallContext.flat);
  if (branch == RingBranch::SkipStale) {
    LOG(1, "Skip ua_hangup 3 for stale call %p (current=%p)", (void *)call,
        (void *)CallContext.currentCall);
    return;
  }
  CallContext.currentCall = nullptr;
  rejectedCall = call;
  SetState(IDLE);
  SetCallType(NONE);
  SetFlat(0);
  SipHangup(call, 603, "Decline");
}

}  // namespace

void IncomingCallHandler(struct call *call) {
  SetStartCallTimestamp();
  const long long ts = (long long)GetStartCallTimestamp();
  char peer[128] = "";
  const char *peerUri = SipPeerUri(call);
  if (peerUri) snprintf(peer, sizeof(peer), "uri=%s", peerUri);
  const char *local = SipLocalUri(call);
  LOG(1, "Call IncomingCallHandler for call %p", (void *)call);
  LOG_BOTH(3, "[%lld] Incoming call %s", ts, local ? local : "");

  const IncomingPlan plan = DecideIncoming(IncomingFactsOf(call));
  if (plan.clearStale)
    ClearStaleUartOutgoing("IncomingCallHandler: gate call over stale UART dialing");
  switch (plan.branch) {
    case IncomingBranch::NotFound:
      RejectNotFound(call, ts);
      return;
    case IncomingBranch::Assistant:
      AcceptAssistant(call, ts);
      break;
    case IncomingBranch::Apartment:
      AcceptApartment(call, plan.endAssistant, peer, ts);
      break;
    default:
      RejectBusy(call, plan.branch);
      return;
  }
  RingHandset(call, ts);
}

void OutgoingCallHandler(struct call *call) {
  LOG(1, "[direct] OutgoingCallHandler call=%p fromGate=%d state=%s",
      (void *)call, CallContext.fromGate, StateName(CallContext.state));
  if (!call) return;
  if (CallContext.state < OUTGOING_DIALING ||
      CallContext.state > OUTGOING_UART_ESTABLISHED) {
    LOG(1, "[direct] OutgoingCallHandler skip: not outgoing state");
    return;
  }
  if (!CallContext.currentCall) {
    LOG(1, "OutgoingCallHandler: set currentCall=%p in state=%s", (void *)call,
        StateName(CallContext.state));
    CallContext.currentCall = call;
  } else if (CallContext.currentCall != call) {
    LOG(1, "OutgoingCallHandler: keep currentCall=%p, ignore call=%p",
        (void *)CallContext.currentCall, (void *)call);
    return;
  }
  LOG(2, "Outgoing SIP leg created call=%p", (void *)call);
}

void ProgressCallHandler(struct call *call) {
  LOG(1,
      "[direct] ProgressCallHandler enter call=%p fromGate=%d enableDirect=%d "
      "state=%d hadPanelDecline=%d tid=%p",
      (void *)call, CallContext.fromGate, CallContext.enableDirect,
      (int)CallContext.state, CallContext.hadPanelDecline,
      (void *)pthread_self());
  if (CallContext.hadPanelDecline) {
    PanelDecline(call);
    return;
  }
  if (!CallContext.enableDirect) {
    LOG(2, "Skip parallel accounts list (enableDirect=0) call=%p", (void *)call);
    return;
  }
  if (call == CallContext.accountsListCall) {
    LOG(1, "[direct] ProgressCallHandler skip: already processed call=%p",
        (void *)call);
    return;
  }
  std::string value;
  if (!GetCustomCallHeader(call, kAccountsHeader, &value)) {
    LOG(1, "[direct] ProgressCallHandler skip: no X-Ornix-AccountsList on call=%p",
        (void *)call);
    return;
  }
  json_error_t error;
  JsonPtr list(json_loads(value.c_str(), 0, &error));
  if (!list) {
    LOG(1, "[direct] ProgressCallHandler skip: json parse failed");
    return;
  }
  if (!json_is_array(list.get())) {
    LOG(1, "[direct] ProgressCallHandler skip: not a JSON array");
    return;
  }
  const size_t n = json_array_size(list.get());
  LOG(2, "Parallel accounts list flat=%u count=%d call=%p", CallContext.flat, (int)n,
      (void *)call);
  LOG_BOTH(3, "Load accounts from SIP header: %s", value.c_str());
  // Mark it first: placing the legs raises events that come back here.
  CallContext.accountsListCall = call;
  MakeSimpleCallByJsonNumbers(list.get(), (int32_t)(n < kMaxListedAccounts ? n : kMaxListedAccounts));
}

namespace {

void OnIncoming(struct call *call) {
  CloseTrackNewCall(call);
  IncomingCallHandler(call);
}

void OnOutgoing(struct call *call) {
  CloseTrackNewCall(call);
  TalkNoteOutgoing(call);
  OutgoingCallHandler(call);
}

void OnClosed(struct call *call, const char *reason) {
  const char *previous = closeReason;
  closeReason = reason;
  SetEndCallTimestamp();
  CloseCallHandler(call);
  TalkForgetCall(call);
  closeReason = previous;
}

}  // namespace

const SipCallEvents callEvents = {
    .incoming = OnIncoming,
    .outgoing = OnOutgoing,
    .progress = ProgressCallHandler,
    .answered = AnsweredHandler,
    .established = EstablishCallHandler,
    .closed = OnClosed,
    .dtmf = DtmfStartHandler,
    .rtpEstablished = RtpEstablishedHandler,
};
