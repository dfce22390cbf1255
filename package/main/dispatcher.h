// The SIP event dispatcher and the set-up of incoming and outgoing calls.
#pragma once

#include "sip/re_headers.h"

#include <cstdint>

// The one user-agent event handler registered with the SIP library.
void BaresipEventHandler(struct ua *ua, enum ua_event ev, struct call *call,
                         const char *prm, void *arg);

void IncomingCallHandler(struct call *call);
void OutgoingCallHandler(struct call *call);
void ProgressCallHandler(struct call *call);

// True when the call's local user part is a service address.
bool IsServiceCall(struct call *call);
// The call's local user part, unescaped, as an apartment number from 1 to
// 9999; 0 when it is none.
uint16_t GetCallFlat(struct call *call);
