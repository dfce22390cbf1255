// SRTP with keys exchanged in the SDP (a=crypto, SDES): one record per media
// line, holding the keys and the UDP helpers that encrypt what the line's
// RTP and RTCP sockets send and decrypt what they receive.
#pragma once

#include "core.h"

struct sdes;

// "module srtp.so": without it every call is plain RTP and RTP/SAVP offers
// are refused.
int  srtp_module_init(void);
void srtp_module_close(void);
bool srtp_enabled(void);

// The encryption a call of `acc` uses (the account's, else the config's
// default), MENC_NONE while the module is not loaded.
enum menc_mode srtp_mode(const struct account *acc);
// The transport of a new media line.
const char *srtp_proto(enum menc_mode mode);

// An account's "mediaenc" value (srtp, srtp-mand; none).
enum menc_mode menc_decode(const struct pl *val);

// Sets up the media line `m` on `rtp`'s sockets; unless `mode` is
// MENC_NONE our keys go into the line, ready for an offer. Nothing is made
// (*sp stays null) while the module is off.
int  sdes_alloc(struct sdes **sp, struct call *call, const char *name,
		struct sdp_media *m, struct rtp_sock *rtp, enum menc_mode mode);
// After the peer's SDP (an offer or an answer) was decoded into the line:
// 0 when the line may carry media as negotiated; EPROTO when encryption is
// required, offered (RTP/SAVP) or already running and the peer's SDP gives
// no key we can use.
int  sdes_update(struct sdes *s, bool offer);
