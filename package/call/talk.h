// Talk phase: an answered call, the late video start and DTMF door opening
// with the optional door hang-up timer.
#pragma once

#include <signal.h>

struct call;

// UA_EVENT_CALL_ESTABLISHED.
void EstablishCallHandler(struct call *call);
// UA_EVENT_CALL_RTPESTAB: starts the video once the peer's RTP port is known.
void RtpEstablishedHandler(struct call *call);
// UA_EVENT_CALL_DTMF_START with the key text.
void DtmfStartHandler(struct call *call, const char *key);
// Doors opened by DTMF since the last call, and starts counting anew.
int TalkTakeDoorsOpened();

// Door hang-up timer notification (runs on the timer's own thread). The
// value carries the timer's record, not a bare call handle.
void HangupCallback(union sigval value);

// UA_EVENT_CALL_OUTGOING: the leg is remembered with the state's IDLE count,
// so that its answer can tell whether the panel still wants it.
void TalkNoteOutgoing(struct call *call);
void TalkForgetCall(struct call *call);

// Called when a call is released: drops the pending timers of that call.
void DoorHangupForgetCall(struct call *call);
