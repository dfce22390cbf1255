// The one user-agent event handler registered with the SIP library: it logs
// each event, feeds the registration tracker and hands the call events to
// the call core's SipCallEvents (`arg`).
#pragma once

#include "sip/re_headers.h"

void SipEventDispatch(struct ua *ua, enum ua_event ev, struct call *call, const char *prm,
                      void *arg);
