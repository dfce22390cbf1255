#define LOG_MODULE "package/main/dispatcher"
#include "dispatcher.h"

#include <pthread.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "closing.h"
#include "config/accounts.h"
#include "context/context.h"
#include "ornix.h"
#include "service_call/service_call.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"
#include "talk.h"

namespace {

const char *const kAccountsHeader = "X-Ornix-AccountsList";
// A flat has at most this many accounts; a longer list from a peer is cut.
const size_t kMaxListedAccounts = 5;

// The UA a rejected call is hung up on: its own, else the current one.
struct ua *UaOf(struct call *call) {
  struct ua *ua = call ? call_get_ua(call) : nullptr;
  return ua ? ua : CurrentUa();
}

// A user part made only of decimal digits, read as a number; -1 otherwise.
long ApartmentNumber(const char *user) {
  if (!user[0]) return -1;
  long value = 0;
  for (const char *p = user; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    if (value <= 9999) value = value * 10 + (*p - '0');
  }
  return value;
}

void SetFlatLogged(uint16_t flat) {
  LOG(2, "Set flat: %u -> %u", CallContext.flat, (unsigned)flat);
  CallContext.flat = flat;
}

void Reject486(struct call *call) {
  LOG(2, "Call ended unsuccessfully scode=486 flat=%u", CallContext.flat);
  ua_hangup(UaOf(call), call, 486, "Busy Here");
}

void AnsweredHandler(struct call *call) {
  LOG(2, "Call answered, hangup other legs call=%p", (void *)call);
  if (call) CallContext.currentCall = call;
  HangupAnotherCalls(call);
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
  ua_hangup(UaOf(call), call, 603, "Decline");
  SetState(IDLE);
  SetCallType(NONE);
}

}  // namespace

bool IsServiceCall(struct call *call) {
  char user[64];
  return SipCalledUser(call, user, sizeof(user)) && IsServiceAddress(user);
}

uint16_t GetCallFlat(struct call *call) {
  const char *local = call ? call_localuri(call) : nullptr;
  if (local) LOG(1, "Call to %s", local);
  // The same reading as the check of IncomingCallHandler, so that the flat
  // rung is the number that was checked.
  char user[64];
  const long number = SipCalledUser(call, user, sizeof(user)) ? ApartmentNumber(user) : -1;
  return number >= 1 && number <= 9999 ? (uint16_t)number : 0;
}

void IncomingCallHandler(struct call *call) {
  SetStartCallTimestamp();
  long long ts = (long long)GetStartCallTimestamp();
  char peer[128] = "";
  const char *peerUri = call ? call_peeruri(call) : nullptr;
  if (peerUri) snprintf(peer, sizeof(peer), "uri=%s", peerUri);
  const char *local = call ? call_localuri(call) : nullptr;

  LOG(1, "Call IncomingCallHandler for call %p", (void *)call);
  LOG_BOTH(3, "[%lld] Incoming call %s", ts, local ? local : "");

  if (CallContext.state >= OUTGOING_DIALING &&
      CallContext.state <= OUTGOING_UART_ESTABLISHED) {
    if (CallContext.state == OUTGOING_UART_DIALING && !CallContext.currentCall) {
      ClearStaleUartOutgoing("IncomingCallHandler: gate call over stale UART dialing");
    } else {
      rejectedCall = call;
      LOG(1, "IncomingCallHandler ua_hangup busy (outgoing state=%d)",
          (int)CallContext.state);
      LOG(2, "Incoming call rejected (busy, outgoing in progress) scode=486 call=%p",
          (void *)call);
      Reject486(call);
      return;
    }
  }

  // Read once, unescaped: the user part that is checked is the one rung.
  char user[64];
  const bool named = SipCalledUser(call, user, sizeof(user));
  const bool service = named && IsServiceAddress(user);
  const long number = named && !service ? ApartmentNumber(user) : -1;
  if (!service && (number < 1 || number > 9999)) {
    LOG_BOTH(3, "[%lld] Rejecting call to disallowed target", ts);
    LOG(2, "Incoming call rejected (not allowed) scode=404 call=%p", (void *)call);
    LOG(2, "Call ended unsuccessfully scode=404 flat=%u", CallContext.flat);
    ua_hangup(UaOf(call), call, 404, "Not Found");
    return;
  }

  if (service) {
    if (CallContext.state == IDLE && CallContext.assistant.assistantOnline &&
        CallContext.assistant.assistantEnable) {
      SetFlatLogged(0);
      SetState(ASSISTANT_DIALING);
      CallContext.currentCall = call;
      LOG(2, "Incoming assist call start");
      LOG_BOTH(3, "[%lld] Incoming assist call", ts);
    } else {
      rejectedCall = call;
      LOG(1, "IncomingCallHandler ua_hangup 1 (state=%d)", (int)CallContext.state);
      LOG(2, "Incoming assist call rejected (busy) scode=486 call=%p", (void *)call);
      Reject486(call);
      return;
    }
  } else {
    if (CallContext.state > INCOMING_DIALING) {
      rejectedCall = call;
      LOG(1, "IncomingCallHandler ua_hangup 2 (state=%d)", (int)CallContext.state);
      LOG(2, "Incoming call rejected (busy state) scode=486 call=%p", (void *)call);
      Reject486(call);
      return;
    }
    LOG(1, "Set currentCall to call %p", (void *)call);
    CallContext.currentCall = call;
    if (CallContext.state == ASSISTANT_ESTABLISHED &&
        CallContext.assistant.assistantOnline &&
        CallContext.assistant.assistantEnable) {
      SendUartBye("IncomingCallHandler: hangup previous assistant for incoming");
      LOG_BOTH(3, "[%lld] Hangup assistant", ts);
      HangupAnotherCalls(call);
    }
    SetState(INCOMING_DIALING);
    SetFlatLogged(GetCallFlat(call));
    LOG(1, "Set currentCall to call %p", (void *)call);
    CallContext.currentCall = call;

    LOG(2, "Incoming call start flat=%u call=%p %s", CallContext.flat,
        (void *)call, peer);
    json_t *accounts = GetFlatAccounts(CallContext.flat);
    char *text = accounts ? json_dumps(accounts, JSON_COMPACT) : nullptr;
    if (!text) {
      LOG(1, "IncomingCallHandler: no accounts list for flat %u", CallContext.flat);
    } else {
      SetCustomCallHeader(call, kAccountsHeader, text);
      LOG(3, "[%lld] Sending X-Ornix-AccountsList to gate: %s", ts, text);
      free(text);
    }
    json_decref(accounts);
    LOG_BOTH(3, "[%lld] Incoming call to %u", ts, CallContext.flat);
  }

  if (UartSendCommandCall(CallContext.dbus, CallContext.flat) == 0) return;

  LOG(3, "[%lld] Can't dial with flat %u. Hangup", ts, CallContext.flat);
  LOG(1, "IncomingCallHandler ua_hangup 3");
  LOG(2, "Incoming call line check failed scode=603 flat=%u call=%p",
      CallContext.flat, (void *)call);
  LOG(2, "Call ended unsuccessfully scode=603 flat=%u", CallContext.flat);
  if (call == CallContext.currentCall) {
    CallContext.currentCall = nullptr;
    rejectedCall = call;
    SetState(IDLE);
    SetCallType(NONE);
    SetFlatLogged(0);
    ua_hangup(UaOf(call), call, 603, "Decline");
  } else {
    LOG(1, "Skip ua_hangup 3 for stale call %p (current=%p)", (void *)call,
        (void *)CallContext.currentCall);
  }
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
  char *value = call ? GetCustomCallHeader(call, kAccountsHeader) : nullptr;
  if (!value) {
    LOG(1, "[direct] ProgressCallHandler skip: no X-Ornix-AccountsList on call=%p",
        (void *)call);
    return;
  }
  json_error_t error;
  json_t *list = json_loads(value, 0, &error);
  if (!list) {
    LOG(1, "[direct] ProgressCallHandler skip: json parse failed");
    mem_deref(value);
    return;
  }
  if (!json_is_array(list)) {
    LOG(1, "[direct] ProgressCallHandler skip: not a JSON array");
    json_decref(list);
    mem_deref(value);
    return;
  }
  int n = (int)json_array_size(list);
  LOG(2, "Parallel accounts list flat=%u count=%d call=%p", CallContext.flat, n,
      (void *)call);
  LOG_BOTH(3, "Load accounts from SIP header: %s", value);
  // Mark it first: placing the legs raises events that come back here.
  CallContext.accountsListCall = call;
  MakeSimpleCallByJsonNumbers(
      list, (int32_t)(json_array_size(list) < kMaxListedAccounts
                          ? json_array_size(list)
                          : kMaxListedAccounts));
  json_decref(list);
  mem_deref(value);
}

void BaresipEventHandler(struct ua *ua, enum ua_event ev, struct call *call,
                         const char *prm, void *arg) {
  (void)ua;
  (void)arg;
  LOG(1, "Baresip event: %s, State: %s, CallType: %s, TotalCalls: %d, call: %p, tid=%p",
      uag_event_str(ev), StateName(CallContext.state),
      CallTypeName(CallContext.callType), CountAllCalls(), (void *)call,
      (void *)pthread_self());
  if (CallContext.fromGate || CallContext.enableDirect)
    LOG(1,
        "[direct] BaresipEventHandler ev=%s fromGate=%d enableDirect=%d "
        "flat=%u currentCall=%p",
        uag_event_str(ev), CallContext.fromGate, CallContext.enableDirect,
        CallContext.flat, (void *)CallContext.currentCall);
  SipRegistrationEvent((int)ev, prm);

  switch (ev) {
    case UA_EVENT_CALL_INCOMING:
      CloseTrackNewCall(call);
      IncomingCallHandler(call);
      break;
    case UA_EVENT_CALL_OUTGOING:
      CloseTrackNewCall(call);
      OutgoingCallHandler(call);
      break;
    case UA_EVENT_CALL_RINGING:
    case UA_EVENT_CALL_PROGRESS:
      ProgressCallHandler(call);
      break;
    case UA_EVENT_CALL_ANSWERED:
      AnsweredHandler(call);
      break;
    case UA_EVENT_CALL_ESTABLISHED:
      EstablishCallHandler(call);
      break;
    case UA_EVENT_CALL_CLOSED: {
      const char *previous = closeReason;
      closeReason = prm;
      SetEndCallTimestamp();
      CloseCallHandler(call);
      closeReason = previous;
      break;
    }
    case UA_EVENT_CALL_DTMF_START:
      DtmfStartHandler(call, prm);
      break;
    case UA_EVENT_CALL_RTPESTAB:
      RtpEstablishedHandler(call);
      break;
    default:
      break;
  }
}
