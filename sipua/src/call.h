// What the rest of the agent asks of a call. The record is call.cpp's own;
// the agent, the media, SRTP and the CANCEL reach it through these.
#pragma once

#include "core.h"

// For the agent (ua.cpp).
int  call_accept_incoming(struct ua *ua, const struct sip_msg *msg);
int  call_connect_out(struct call **callp, struct ua *ua,
		      const char *from_uri, const char *req_uri,
		      enum vidmode vmode);
void call_close_silent(struct call *call);
bool call_is_pending_incoming(const struct call *call);
int  call_answer_local(struct call *call, enum vidmode vmode);
void call_terminate(struct call *call, uint16_t scode, const char *reason,
		    bool emit, const char *prm);

// For the call's media and its SRTP.
struct account *call_account(const struct call *call);
// The media's public addresses are known (or given up on): a held offer or
// answer may go.
void call_media_ready(struct call *call);
// An event raised from the media; false when a handler closed the call.
// Keys count only once the call is up.
bool call_media_event(struct call *call, enum ua_event ev, const char *prm);
// The peer's media stopped: the call ends as a failed stream.
void call_stream_error(struct call *call);
