// The SIP event dispatcher and the set-up of incoming and outgoing calls.
#pragma once

#include "sip/sip.h"

// The call core's handlers of the SIP library's call events, for SipInit.
extern const SipCallEvents callEvents;

void IncomingCallHandler(struct call *call);
void OutgoingCallHandler(struct call *call);
void ProgressCallHandler(struct call *call);

