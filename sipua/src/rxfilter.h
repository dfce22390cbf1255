// What a call's media sockets take: only datagrams from the address and port
// the peer's SDP named for that stream, checked below every other layer (so
// before any decryption). Everything else is counted and dropped.
#pragma once

#include "core.h"

struct rxfilter;

// Optional: the peer was found behind a NAT at `src` (RTP); sending follows.
typedef void (rxfilter_latch_h)(const struct sa *src, void *arg);

// Guards the RTP and RTCP sockets of `rtp` for the stream `name` ("audio").
// Until rxfilter_set names the peer, every datagram is dropped. `warned` is
// the call's: its first dropped datagram, of any stream, is logged once.
int  rxfilter_alloc(struct rxfilter **fp, struct rtp_sock *rtp,
		    const char *name, bool *warned, rxfilter_latch_h *latchh,
		    void *arg);
// After each SDP exchange: the peer's RTP and RTCP addresses for the stream.
// A connection address of 0.0.0.0 (an old-style hold) keeps the last ones.
void rxfilter_set(struct rxfilter *f, const struct sdp_media *m);
// Where the peer's RTP comes from (the SDP's address, or the latched one);
// null before the peer is known.
const struct sa *rxfilter_peer(const struct rxfilter *f);
