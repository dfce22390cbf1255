// CANCEL of a ringing outgoing call with the application's status and text
// as its Reason (RFC 3326).
#pragma once

#include "core.h"

// The stack's trace of what it sends: each INVITE is remembered (a few, the
// newest) so that its CANCEL can be built.
void cancel_trace(enum sip_transp tp, const struct sa *dst,
		  const uint8_t *pkt, size_t len);
// For a call that had a provisional response: sends the CANCEL and holds
// the call and its session `sess` until the INVITE ends; false (nothing
// done) when nothing is known of its INVITE or the status or text cannot be
// sent.
bool cancel_with_reason(struct call *call, struct sipsess *sess,
			uint16_t scode, const char *text);
// The session the CANCEL waits on has ended (or was answered): released.
void cancel_done(struct call *call);
// Drops every pending CANCEL and what is remembered (the agent closes).
void cancel_close(void);
