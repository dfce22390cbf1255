// The call record and its media: RTP/RTCP sockets, SDP, the audio pipeline.
#pragma once

#include "core.h"

struct call {
	struct le le;             // in the agent's call list
	struct ua *ua;
	struct sipsess *sess;
	const struct sip_msg *msg;  // incoming INVITE until it is accepted
	struct list hdrs;         // struct sip_hdr
	char *local_uri;
	char *peer_uri;
	char *id;
	struct sa src;            // where an incoming INVITE came from
	enum call_state state;
	enum vidmode vmode;
	enum vidmode pending_vmode;
	uint16_t scode;
	bool outgoing;
	bool got_offer;
	bool answer_pending;
	bool peer_closed;
	bool closed;
	unsigned auth_tries;
	uint64_t estab_time;
	struct tmr tmr_inv;       // rings out an incoming call nobody answers
	struct flow *flow;        // an INVITE waiting for its connection
	struct mnat *mnat;        // the media's public addresses, with STUN
	struct canceller *canceller;  // our CANCEL holds the session
	bool invite_pending;      // the offer waits for them

	// media
	struct sdp_session *sdp;
	struct sdp_media *am;
	struct rtp_sock *rtp;
	struct sdes *sdes;        // SRTP of the audio line
	struct rxfilter *rxf;     // the audio sockets take the peer only
	bool media_warned;        // a stranger's datagram was logged
	struct video *video;      // m=video, when offered or answered
	struct audio *audio;
	struct tmr tmr_rtpto;
	struct sa raddr;
	bool codec_failed;        // the answer had no codec in common
	bool menc_failed;         // the answer left required SRTP out
	bool addr_failed;         // the answer's media address was unusable
	uint64_t info_time;       // the last key by INFO, and when
	char info_key;
	bool rtcp_started;
	bool rtp_estab;
	uint64_t last_rx;
	uint32_t rtp_timeout_ms;   // 0: the configured rtp_timeout
};

int  media_alloc(struct call *call, bool video);
void media_close(struct call *call);
// The peer's SDP names a codec we have (with or without rtpmap).
bool media_codec_ok(const struct call *call);
// Applies the last SDP exchange: address, codec, direction.
void media_update(struct call *call);
// Keys of the peer's last SDP (offer or answer) for every line; EPROTO when
// media would go unprotected though the account, the offer or the call so
// far wants SRTP.
int  media_secure(struct call *call, bool offer);
// Audio both ways, from the establishment on.
void media_start(struct call *call);

// The media's public addresses are known (or given up on): a held offer or
// answer may go.
void call_media_ready(struct call *call);

bool call_media_event(struct call *call, enum ua_event ev, const char *prm);
