// Media behind a NAT ("module stun.so", account medianat=stun): before the
// offer or answer goes out, a STUN binding request from each media socket
// learns the address and port the router shows outside, and the SDP names
// those; the bindings are refreshed while the call lasts.
#pragma once

#include "core.h"

struct mnat;

// Every socket is mapped or given up on (the SDP then keeps the local
// address); called once, from the loop.
typedef void (mnat_ready_h)(void *arg);

// Null in *mp (and 0) when the account wants no STUN.
int  mnat_alloc(struct mnat **mp, const struct account *acc,
		mnat_ready_h *readyh, void *arg);
// The RTP and RTCP sockets of `rtp`, named by the media line `m`.
int  mnat_media_add(struct mnat *mn, struct rtp_sock *rtp,
		    struct sdp_media *m);
// True without a session, or once every socket has its answer.
bool mnat_ready(const struct mnat *mn);

// The module is loaded ("module stun.so").
void mnat_stun_enable(bool on);
bool mnat_stun_enabled(void);
