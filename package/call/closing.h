// Call closing: what happens when a SIP call ends, whichever way it ends.
#pragma once

struct call;

// Incoming call that the set-up handlers have just rejected or dropped; its
// (nested) close is skipped once so the context it left stays as it is.
extern struct call *rejectedCall;
// Parameter text of the closed-call event while it is being handled; null
// otherwise (and when the door hang-up timer ends the call).
extern const char *closeReason;

// Handles the end of `call` (may be null): parallel legs, foreign calls,
// the end-of-call record, gain and video reset, the MCU bye, back to IDLE.
void CloseCallHandler(struct call *call);

// Tells call closing that `call` is a new call (the library may hand out the
// address of a call that ended before): no mark of that one stays on it.
void CloseTrackNewCall(struct call *call);

// Writes the end-of-call record for the context's call type and flat.
void AllCallsDone();
