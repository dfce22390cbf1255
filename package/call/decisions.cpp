#include "call/decisions.h"

#include <cstdio>

namespace {

bool Outgoing(CallState state) { return state >= OUTGOING_DIALING && state <= OUTGOING_UART_ESTABLISHED; }

TryingPlan Skip(TryingBranch branch) { return {branch, false, TryingRoute::Keep, false}; }

TryingRoute RouteOf(const TryingFacts &f) {
  if (f.callType == SOS || f.callType == CONCIERGE) return TryingRoute::Service;
  if (f.route & ROUTE_SIP) return TryingRoute::Sip;
  if (f.route & ROUTE_UART) return TryingRoute::Uart;
  return TryingRoute::Keep;
}

}  // namespace

long ApartmentNumber(const char *user) {
  if (!user[0]) return -1;
  long value = 0;
  for (const char *p = user; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    // Growing no further once above the range keeps long digit runs from overflowing.
    if (value <= LAST_APARTMENT) value = value * 10 + (*p - '0');
  }
  return value;
}

bool FlatInRange(uint16_t flat, CallType callType) {
  if (flat == CUSTOM_NUMBER_FLAT) return true;
  if (flat == 0) return callType != COMMON;
  return flat <= LAST_APARTMENT;
}

IncomingPlan DecideIncoming(const IncomingFacts &f) {
  CallState state = f.state;
  bool clearStale = false;
  if (Outgoing(state)) {
    if (state != OUTGOING_UART_DIALING || f.haveCurrentCall) return {IncomingBranch::BusyOutgoing, false, false};
    // A UART dial that never got a call: the incoming call is taken as if idle.
    clearStale = true;
    state = IDLE;
  }
  if (!f.service && (f.number < 1 || f.number > LAST_APARTMENT)) return {IncomingBranch::NotFound, clearStale, false};
  const bool assistantOn = f.assistantOnline && f.assistantEnable;
  if (f.service) {
    if (state == IDLE && assistantOn) return {IncomingBranch::Assistant, clearStale, false};
    return {IncomingBranch::BusyAssistant, clearStale, false};
  }
  if (state > INCOMING_DIALING) return {IncomingBranch::BusyState, clearStale, false};
  return {IncomingBranch::Apartment, clearStale, state == ASSISTANT_ESTABLISHED && assistantOn};
}

RingBranch DecideRing(bool mcuRings, bool callIsCurrent) {
  if (mcuRings) return RingBranch::Ringing;
  if (callIsCurrent) return RingBranch::Decline;
  return RingBranch::SkipStale;
}

CloseEntry DecideCloseEntry(const struct call *call, const struct call *closing,
                            const struct call *closed, const struct call *current) {
  if (call && call == closing) return CloseEntry::Reentrant;
  if (call && call == closed && call != current) return CloseEntry::Repeated;
  return CloseEntry::Handle;
}

CloseBranch DecideClose(const struct call *call, const struct call *rejected,
                        const struct call *current, int otherCalls) {
  if (call && call == rejected) return CloseBranch::Rejected;
  if (otherCalls > 0) return CloseBranch::ParallelLeg;
  if (current && current != call) return CloseBranch::Foreign;
  return CloseBranch::Last;
}

LastCallPlan PlanLastCall(CallState s) {
  const bool assistant = s == ASSISTANT_DIALING || s == ASSISTANT_ESTABLISHED;
  const bool incoming = s == INCOMING_DIALING || s == INCOMING_ESTABLISHED;
  const bool sip = s == OUTGOING_SIP_DIALING || s == OUTGOING_SIP_ESTABLISHED;
  LastCallPlan plan{};
  plan.resetMicGain = s == OUTGOING_SIP_ESTABLISHED;
  plan.endRecord = assistant || incoming || sip || s == OUTGOING_DIALING;
  plan.plainBye = assistant || sip;
  plan.toIdle = plan.plainBye || incoming;
  return plan;
}

EndRecord DecideEndRecord(CallType callType, uint16_t flat) {
  if (callType == SOS) return EndRecord::Sos;
  if (callType == CONCIERGE) return EndRecord::Concierge;
  if (callType == NONE && flat == 0) return EndRecord::AssistDone;
  if (flat >= 1 && flat <= LAST_APARTMENT) return EndRecord::Apartment;
  return EndRecord::Plain;
}

uint16_t CloseStatusCode(uint16_t libraryCode, const char *reason) {
  if (libraryCode >= 100 && libraryCode <= 699) return libraryCode;
  unsigned fromReason = 0;
  if (reason && sscanf(reason, "%u", &fromReason) == 1 && fromReason >= 100 && fromReason <= 699)
    return static_cast<uint16_t>(fromReason);
  return libraryCode;
}

TryingPlan DecideTrying(const TryingFacts &f) {
  if (f.callType == COMMON && f.flat == 0) return Skip(TryingBranch::IgnoreFlat0);
  if (!FlatInRange(f.flat, f.callType)) return Skip(TryingBranch::OutOfRange);
  const CallState s = f.state;
  if (s == INCOMING_DIALING || s == INCOMING_ESTABLISHED) return Skip(TryingBranch::IgnoreIncoming);
  if (s == OUTGOING_SIP_DIALING || s == OUTGOING_UART_DIALING || s == OUTGOING_SIP_ESTABLISHED ||
      s == OUTGOING_UART_ESTABLISHED)
    return Skip(TryingBranch::IgnoreDuplicate);
  const bool endAssistant = s == ASSISTANT_DIALING || s == ASSISTANT_ESTABLISHED;
  const bool sipBlocked = !(f.route & ROUTE_SIP) && f.flat != CUSTOM_NUMBER_FLAT;
  return {TryingBranch::Place, endAssistant, RouteOf(f), sipBlocked};
}

AnswerBranch DecideAnswer(CallState s, bool assistantOnline) {
  if (s == OUTGOING_DIALING || s == OUTGOING_UART_DIALING) return AnswerBranch::OutgoingHandset;
  if (s == INCOMING_DIALING) return AnswerBranch::IncomingSip;
  if (s == NOTIFICATION_DIALING) return AnswerBranch::Notification;
  if (s != ASSISTANT_DIALING) return AnswerBranch::Nothing;
  if (assistantOnline) return AnswerBranch::AssistantSip;
  return AnswerBranch::AssistantPhrase;
}

HangupBranch DecideHangup(CallState s) {
  switch (s) {
    case INCOMING_DIALING:
      return HangupBranch::ReleaseOnly;
    case ASSISTANT_ESTABLISHED:
    case INCOMING_ESTABLISHED:
    case OUTGOING_DIALING:
    case OUTGOING_SIP_DIALING:
    case OUTGOING_SIP_ESTABLISHED:
      return HangupBranch::EndSipCall;
    case OUTGOING_UART_DIALING:
    case OUTGOING_UART_ESTABLISHED:
      return HangupBranch::EndUartCall;
    case IDLE:
      return HangupBranch::Idle;
    default:
      return HangupBranch::Unknown;
  }
}
