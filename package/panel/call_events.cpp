#define LOG_MODULE "package/src/dbus/call_events"
#include "panel/call_events.h"

#include <atomic>
#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "call/closing.h"
#include "call/decisions.h"
#include "call/dispatcher.h"
#include "context/threads.h"
#include "media/assistant.h"
#include "ornix.h"
#include "settings/direct.h"
#include "settings/settings.h"
#include "sip/bracket.h"
#include "sip/calls.h"
#include "sip/legs.h"
#include "sip/placement.h"
#include "sip/sip.h"

// The SIP loop thread writes the same CallContext fields from its event
// handlers, and it does so holding the loop's lock. Each handler here holds
// that lock too for all its work on the context, so the two never interleave;
// only the registration wait, which needs the loop to run, is done outside.

namespace {

// The MCU's call events: a flat, house or apartment is 16 bits little-endian.
constexpr int DIAL_LENGTH = 2;       // flat
constexpr int TRYING_LENGTH = 3;     // flat, route bits
constexpr int TRYING_ROUTE_BYTE = 2;
constexpr int DIAL_GATE_LENGTH = 4;  // house, apartment

uint16_t Le16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

// Waits for the registration with the loop's lock released.
bool WaitRegisteredUnlocked() {
  SipThreadLeave();
  bool registered = SipWaitRegistered();
  SipThreadEnter();
  return registered;
}

void HangupAssistantForOutgoing() {
  LOG_BOTH(3, "[%lld] Outgoing call during assistant, hanging up assistant",
           (long long)GetStartCallTimestamp());
  HangupAnotherCalls(nullptr);
}

// The state after a trying report, by its route.
void RouteTrying(TryingRoute route) {
  switch (route) {
    case TryingRoute::Service:
      SetState(OUTGOING_SIP_DIALING);
      SetStartCallTimestamp();
      return;
    case TryingRoute::Sip:
      SetStartCallTimestamp();
      SetState(OUTGOING_SIP_DIALING);
      return;
    case TryingRoute::Uart:
      SetStartCallTimestamp();
      SetState(OUTGOING_UART_DIALING);
      return;
    case TryingRoute::Keep:
      SetStartCallTimestamp();
      return;
  }
}

void AnswerIncoming() {
  LOG(2, "UART answer, incoming SIP flat=%u call=%p", CallContext.flat,
      (void *)CallContext.currentCall);
  SetState(INCOMING_ESTABLISHED);
  JsonPtr empty(json_object());
  DbusJsonMethodCall(CallContext.dbus, ORNIX_CAMERA_SERVICE, "SetMicGain", empty.get());
  SipAnswer();
}

void EndSipCall() {
  struct call *call = CallContext.currentCall;
  LOG(2, "User bye (hangup active call) flat=%u call=%p", CallContext.flat, (void *)call);
  // The close of the call below finds the context IDLE already, so the
  // end-of-call record and the gain reset are done here, while the state
  // still tells what kind of call ends.
  if (CallContext.state == OUTGOING_SIP_ESTABLISHED)
    DbusJsonMethodCall(CallContext.dbus, ORNIX_CAMERA_SERVICE, "ResetMicGain", nullptr);
  AllCallsDone();
  SetState(IDLE);
  SetCallType(NONE);
  if (call) {
    LOG(2, "call_hangup from HangupActiveCall call=%p", (void *)call);
    SipHangup(call, 0, nullptr);
  }
  LOG(1, "HangupAnotherCalls from HangupActiveCall");
  HangupAnotherCalls(nullptr);
  CallContext.currentCall = nullptr;
  SetFlat(0);
}

}  // namespace

void CallHandler(const char *member, const uint8_t *data, int length, CallType callType) {
  if (member) LOG(2, "%s", member);
  SipThreadBracket bracket;
  if (CallContext.state == INCOMING_DIALING) return;
  if (IsStaleUartOutgoing())
    ClearStaleUartOutgoing("CallHandler: retry after stale UART dialing");
  if (CallContext.state == ASSISTANT_DIALING ||
      CallContext.state == ASSISTANT_ESTABLISHED) {
    HangupAssistantForOutgoing();
    SetState(IDLE);
    SetCallType(NONE);
    CallContext.currentCall = nullptr;
    SetFlat(0);
  }
  if (!CallContext.registerStatus && !WaitRegisteredUnlocked()) {
    LOG_BOTH(5, "SIP registration failed, can't make call");
    SetState(OUTGOING_UART_DIALING);
    return;
  }
  if (!data || length != DIAL_LENGTH || CallContext.state != IDLE) return;
  uint16_t flat = Le16(data);
  if (!FlatInRange(flat, callType)) {
    LOG(2, "Dial ignored: flat %u out of range", (unsigned)flat);
    UartSendCommandError(CallContext.dbus);
    return;
  }
  if (CallContext.currentCall) {
    LOG(1, "ua_hangup %p:%p!", (void *)CurrentUa(),
        (void *)CallContext.currentCall);
    SipHangup(CallContext.currentCall, 0, nullptr);
    CallContext.currentCall = nullptr;
  }
  SetState(OUTGOING_DIALING);
  LOG(2, "Outgoing call start DBUS flat=%u", (unsigned)flat);
  MakeCallByType(callType, flat);
}

void TryingCallHandler(const char *member, const uint8_t *data, int length,
                       CallType callType) {
  if (member) LOG(2, "%s", member);
  if (!data || length != TRYING_LENGTH) return;
  const uint16_t flat = Le16(data);
  SipThreadBracket bracket;
  const TryingPlan plan = DecideTrying({callType, flat, data[TRYING_ROUTE_BYTE], CallContext.state});
  switch (plan.branch) {
    case TryingBranch::IgnoreFlat0:
      LOG(1, "TryingCallHandler: ignore COMMON trying for flat 0");
      return;
    case TryingBranch::OutOfRange:
      LOG(2, "Trying ignored: flat %u out of range", (unsigned)flat);
      UartSendCommandError(CallContext.dbus);
      return;
    case TryingBranch::IgnoreIncoming:
      return;
    case TryingBranch::IgnoreDuplicate:
      LOG(1, "TryingCallHandler: ignore duplicate trying in state=%d", (int)CallContext.state);
      return;
    case TryingBranch::Place:
      break;
  }
  if (plan.endAssistant) {
    HangupAssistantForOutgoing();
    CallContext.currentCall = nullptr;
    SetFlat(0);
  }
  RouteTrying(plan.route);
  if (!CallContext.registerStatus && CallContext.state == OUTGOING_SIP_DIALING &&
      !WaitRegisteredUnlocked()) {
    LOG_BOTH(5, "SIP registration failed, can't make call");
    UartSendCommandError(CallContext.dbus);
    SetState(IDLE);
    SetCallType(NONE);
    return;
  }
  if (plan.sipBlocked) {
    SendUartByeWithState(UART_BYE_CALL_STATE, "TryingCallHandler: SIP blocked for non-custom number");
    return;
  }
  LOG(1, "TryingCallHandler before HangupAnotherCalls state=%d flat=%u tid=%p",
      (int)CallContext.state, (unsigned)flat, (void *)pthread_self());
  HangupAnotherCalls(nullptr);
  LOG(2, "Outgoing call start UART_TRYING_CALL flat=%u", (unsigned)flat);
  MakeCallByType(callType, flat);
}

void UartEvDialGate(const char *member, const uint8_t *data, int length) {
  if (member) LOG(2, "%s", member);
  SipThreadBracket bracket;
  LOG(1, "[direct] UartEvDialGate enter tid=%p enableDirect=%d state=%d currentCall=%p",
      (void *)pthread_self(), CallContext.enableDirect, (int)CallContext.state,
      (void *)CallContext.currentCall);
  if (!data || length != DIAL_GATE_LENGTH) {
    LOG(1, "[direct] UartEvDialGate bad dbus payload");
    return;
  }
  uint16_t house = Le16(data);
  uint16_t apartment = Le16(data + 2);
  char server[128];
  memset(server, 0, sizeof(server));
  bool video = false;
  LOG(1, "[direct] UartEvDialGate parsed house=%u apartment=%u", (unsigned)house,
      (unsigned)apartment);

  if (CallContext.enableDirect) {
    LOG(1, "[direct] UartEvDialGate GetDirectServer...");
    if (!GetDirectServer(house, apartment, server, sizeof(server), &video)) {
      LOG(1, "[direct] UartEvDialGate GetDirectServer failed");
      LOG(2, "Direct rules missing for gate call flat=%u", (unsigned)apartment);
      LOG(2, "Call ended unsuccessfully scode=0 flat=%u", (unsigned)apartment);
      UartSendCommandError(CallContext.dbus);
      return;
    }
    CallContext.directVideo = video;
    LOG(1, "[direct] UartEvDialGate GetDirectServer ok server=%s directVideo=%d",
        server, CallContext.directVideo);
  } else {
    if (!WaitRegisteredUnlocked()) {
      LOG_BOTH(5, "SIP registration failed, can't make call");
      LOG(1, "[direct] UartEvDialGate SipRegister failed -> OUTGOING_UART_DIALING");
      SetState(OUTGOING_UART_DIALING);
      return;
    }
    snprintf(server, sizeof(server), "%.127s", CallContext.server.domain);
    CallContext.directVideo = false;
    LOG(1, "[direct] UartEvDialGate backend mode server=%s", server);
  }
  if (!server[0]) {
    LOG_BOTH(5, "Ошибка, sip сервер не задан");
    LOG(1, "[direct] UartEvDialGate empty sipServer");
    UartSendCommandError(CallContext.dbus);
    return;
  }
  SetStartCallTimestamp();  // the gate call's own records carry its own start
  CallContext.fromGate = true;
  SetFlat(apartment);
  SetState(OUTGOING_SIP_DIALING);
  char description[320];
  int written = snprintf(description, sizeof(description),
                         "house=%u enableDirect=%d directVideo=%d server=%s",
                         (unsigned)house, CallContext.enableDirect,
                         CallContext.directVideo, server);
  (void)written;  // a longer text is cut, as intended
  LOG(2, "Outgoing gate call start flat=%u %s", (unsigned)apartment, description);
  MakeGateCall(server, (int32_t)CallContext.server.port, house);
  LOG(1, "[direct] UartEvDialGate <- MakeGateCall done");
}

void UartEvAnswer() {
  SipThreadBracket bracket;
  LOG(2, "UART_EV_ANSWER");
  const AnswerBranch branch = DecideAnswer(CallContext.state, CallContext.assistant.assistantOnline);
  switch (branch) {
    case AnswerBranch::OutgoingHandset:
      LOG(2, "UART answer, outgoing handset flat=%u call=%p", CallContext.flat,
          (void *)CallContext.currentCall);
      SetState(OUTGOING_UART_ESTABLISHED);
      LOG(1, "HangupAnotherCalls from UartEvAnswer");
      HangupAnotherCalls(nullptr);
      return;
    case AnswerBranch::IncomingSip:
      AnswerIncoming();
      return;
    case AnswerBranch::Notification:
      LOG(1, "ctx.state == NOTIFICATION_DIALING");
      SetState(NOTIFICATION_ESTABLISHED);
      UartSetOfflineAssistantDelimiter(CallContext.dbus, UART_PHRASE_STARTS);
      StartDetached(NotificationPlaybackThread, &notificationThread);
      return;
    case AnswerBranch::AssistantSip:
    case AnswerBranch::AssistantPhrase:
      LOG(2, "UART answer, assist flat=%u call=%p", CallContext.flat,
          (void *)CallContext.currentCall);
      SetState(ASSISTANT_ESTABLISHED);
      if (branch == AnswerBranch::AssistantSip)
        SipAnswer();
      else if (!IsPhrasePlaying())
        StartDetached(PhrasePlaybackThread, &notificationThread);
      return;
    case AnswerBranch::Nothing:
      return;
  }
}

bool HangupActiveCall() {
  SipThreadBracket bracket;
  switch (DecideHangup(CallContext.state)) {
    case HangupBranch::ReleaseOnly:
      LOG(2, "UART bye on incoming dial: MCU release only flat=%u call=%p",
          CallContext.flat, (void *)CallContext.currentCall);
      return true;
    case HangupBranch::EndSipCall:
      EndSipCall();
      return true;
    case HangupBranch::EndUartCall:
      LOG(2, "User bye (UART handset) flat=%u state=%d", CallContext.flat,
          (int)CallContext.state);
      SetState(IDLE);
      SetCallType(NONE);
      SetFlat(0);
      return true;
    case HangupBranch::Idle:
      return true;
    case HangupBranch::Unknown:
      return false;
  }
  return false;
}
