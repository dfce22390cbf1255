// SIP engine: answering and hanging up call legs, counting the other legs.
// The UAs in scope: the main UA, plus the second UA while a direct gate call
// is on (fromGate and enableDirect set and a second UA present).
#pragma once

struct call;
struct ua;

// 1 when at least one call was hung up. Bracketed; callable from any thread.
// With `elsewhere` (`keep` answered), ringing legs are cancelled with the
// reason "Call completed elsewhere", so their phones show no missed call.
bool HangupAnotherCalls(struct call *keep, bool elsewhere = false);
bool HangupCallsOnUa(struct ua *ua, struct call *keep, bool elsewhere = false);
// Result of ua_answer (0 on success), -1 without a UA. Bracketed.
int SipAnswer(void);
int CountOtherCalls(struct call *exclude);
int CountAllCalls(void);
struct call *FindAnotherCall(struct call *exclude);
struct call *FindOtherCallOnUa(struct ua *ua, struct call *exclude);
int CountCallsOnUa(struct ua *ua, struct call *exclude);
