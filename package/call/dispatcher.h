// The SIP event dispatcher and the set-up of incoming and outgoing calls.
#pragma once

#include "sip/re_headers.h"

// The one user-agent event handler registered with the SIP library.
void BaresipEventHandler(struct ua *ua, enum ua_event ev, struct call *call,
                         const char *prm, void *arg);

void IncomingCallHandler(struct call *call);
void OutgoingCallHandler(struct call *call);
void ProgressCallHandler(struct call *call);

