// The call core's decisions: which branch a handler takes, as pure functions
// of the context fields and the event facts it reads. The handlers do the
// side effects and the logging of the branch chosen here.
#pragma once

#include <cstdint>

#include "context/context.h"

// Route bits of the MCU's trying event: where the flat's call may go.
constexpr uint8_t ROUTE_UART = 1;  // the flat's handset line
constexpr uint8_t ROUTE_SIP = 2;   // the flat's SIP accounts

// The called user part read as an apartment number: digits only, else -1;
// values above LAST_APARTMENT stay above it.
long ApartmentNumber(const char *user);

// Flat numbers the MCU may name: apartments, the custom number, and flat 0
// (the panel's own room) except for an apartment call.
bool FlatInRange(uint16_t flat, CallType callType);

// An incoming SIP call.
struct IncomingFacts {
  CallState state;
  bool haveCurrentCall;
  bool service;  // the called user part is a service address
  long number;   // the called user part as an apartment number, else -1
  bool assistantOnline;
  bool assistantEnable;
};
enum class IncomingBranch : uint8_t {
  BusyOutgoing,   // 486: an outgoing call is in progress
  NotFound,       // 404: neither a service address nor a flat 1..9999
  Assistant,      // taken as the assistant's call
  BusyAssistant,  // 486: the assistant cannot take it now
  BusyState,      // 486: the panel is busy with another call
  Apartment,      // taken for the flat
};
struct IncomingPlan {
  IncomingBranch branch;
  bool clearStale;    // a UART dial without a call is cleared first
  bool endAssistant;  // an established assistant call gives way
  bool operator==(const IncomingPlan &) const = default;
};
IncomingPlan DecideIncoming(const IncomingFacts &facts);

// After the MCU was asked to ring the flat of an accepted incoming call.
enum class RingBranch : uint8_t { Ringing, Decline, SkipStale };
RingBranch DecideRing(bool mcuRings, bool callIsCurrent);

// A closed call, before anything is counted or logged: skipped or handled.
enum class CloseEntry : uint8_t { Handle, Reentrant, Repeated };
CloseEntry DecideCloseEntry(const struct call *call, const struct call *closing,
                            const struct call *closed, const struct call *current);

// A closed call that is handled: which kind of close it is.
enum class CloseBranch : uint8_t { Rejected, ParallelLeg, Foreign, Last };
CloseBranch DecideClose(const struct call *call, const struct call *rejected,
                        const struct call *current, int otherCalls);

// What the close of the last call does in `state`.
struct LastCallPlan {
  bool resetMicGain;
  bool endRecord;  // the end-of-call record is written
  bool plainBye;   // the MCU gets a bye, else a bye with state 1
  bool toIdle;     // state, call type and flat go back to IDLE, NONE, 0
  bool operator==(const LastCallPlan &) const = default;
};
LastCallPlan PlanLastCall(CallState state);

// The end-of-call record's line for the call type and flat.
enum class EndRecord : uint8_t { AssistDone, Sos, Concierge, Apartment, Plain };
EndRecord DecideEndRecord(CallType callType, uint16_t flat);

// The status code of a closed call: the library's when it is a SIP code,
// else one the close reason text begins with, else the library's as it is.
uint16_t CloseStatusCode(uint16_t libraryCode, const char *reason);

// The MCU's trying report.
struct TryingFacts {
  CallType callType;
  uint16_t flat;
  uint8_t route;  // bit value 2: over SIP; bit value 1: the MCU's own line
  CallState state;
};
enum class TryingBranch : uint8_t { IgnoreFlat0, OutOfRange, IgnoreIncoming, IgnoreDuplicate, Place };
// How the dial is routed: SOS and concierge always over SIP (state first),
// an apartment call by its route flags (timestamp first), or not at all.
enum class TryingRoute : uint8_t { Service, Sip, Uart, Keep };
struct TryingPlan {
  TryingBranch branch;
  bool endAssistant;  // an assistant call is hung up first
  TryingRoute route;
  bool sipBlocked;  // the MCU is told bye: no SIP for this number
  bool operator==(const TryingPlan &) const = default;
};
TryingPlan DecideTrying(const TryingFacts &facts);

// The MCU's answer report.
enum class AnswerBranch : uint8_t {
  OutgoingHandset,  // the flat's handset took an outgoing call
  IncomingSip,      // the incoming SIP call is answered
  Notification,     // the notification plays
  AssistantSip,     // the online assistant's SIP call is answered
  AssistantPhrase,  // the offline assistant's phrase plays
  Nothing,
};
AnswerBranch DecideAnswer(CallState state, bool assistantOnline);

// The user's hang-up of the active call.
enum class HangupBranch : uint8_t {
  ReleaseOnly,  // a ringing incoming call stays
  EndSipCall,
  EndUartCall,
  Idle,     // nothing to end
  Unknown,  // a state it does not know how to end
};
HangupBranch DecideHangup(CallState state);
