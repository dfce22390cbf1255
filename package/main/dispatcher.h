// The SIP event dispatcher and the set-up of incoming and outgoing calls.
#pragma once

// libre's headers trip C++20's -Wvolatile and its JSON enum clashes with
// jansson's JSON_STRING/JSON_NULL; rename libre's two constants while it is read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvolatile"
#define JSON_STRING RE_JSON_STRING
#define JSON_NULL RE_JSON_NULL
#include <re.h>
#include <baresip.h>
#undef JSON_STRING
#undef JSON_NULL
#pragma GCC diagnostic pop

#include <cstdint>

// The one user-agent event handler registered with the SIP library.
void BaresipEventHandler(struct ua *ua, enum ua_event ev, struct call *call,
                         const char *prm, void *arg);

void IncomingCallHandler(struct call *call);
void OutgoingCallHandler(struct call *call);
void ProgressCallHandler(struct call *call);

// True when the call's local user part is a service address.
bool IsServiceCall(struct call *call);
// The call's local user part read as a decimal flat number (0 when none).
uint16_t GetCallFlat(struct call *call);
