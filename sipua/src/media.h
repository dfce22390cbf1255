// A call's media: its SDP session, the audio line (RTP/RTCP sockets, what
// the offer/answer exchange gives the audio), the video line, and the RTP
// timeout. The call owns it; it calls back into its call only.
#pragma once

#include "core.h"

struct media;
struct video;

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
	struct tmr tmr_inv;       // rings out an incoming call nobody answers
	struct flow *flow;        // an INVITE waiting for its connection
	struct canceller *canceller;  // our CANCEL holds the session
	bool invite_pending;      // the offer waits for the public addresses

	struct media *media;
	bool codec_failed;        // the answer had no codec in common
	bool menc_failed;         // the answer left required SRTP out
	bool addr_failed;         // the answer's media address was unusable
	uint64_t info_time;       // the last key by INFO, and when
	char info_key;
};

int  media_alloc(struct media **mp, struct call *call, bool video);
// Stops the devices and closes the sockets; the record stays with the call.
void media_close(struct media *m);
struct sdp_session *media_sdp(const struct media *m);
// The audio line, null once closed.
struct sdp_media *media_audio_line(const struct media *m);
// Whether the audio line and its sockets are there.
bool media_has_audio(const struct media *m);
struct audio *media_audio(const struct media *m);
struct video *media_video(const struct media *m);
// The public addresses are known (or given up on), or none are asked for.
bool media_ready(const struct media *m);
// The peer's SDP names a codec we have (with or without rtpmap).
bool media_codec_ok(const struct media *m);
// Applies the last SDP exchange: address, codec, direction.
void media_update(struct media *m);
// Keys of the peer's last SDP (offer or answer) for every line; EPROTO when
// media would go unprotected though the account, the offer or the call so
// far wants SRTP.
int  media_secure(struct media *m, bool offer);
// Audio both ways, and video as `vmode` and the SDP let it. `established`:
// the call is up now, the RTP timeout counts from here.
void media_start(struct media *m, enum vidmode vmode, bool established);
// The peer's silence that ends the call (0: the configured one); it is
// watched from now on when the call is `established`.
void media_set_rtp_timeout(struct media *m, uint32_t timeout_ms,
			   bool established);
// The peer's audio line has no telephone events: keys go by INFO.
bool media_telev_missing(const struct media *m);
int  media_send_digit(struct media *m, char key);

// What the media asks of its call.
struct account *call_account(const struct call *call);
// The media's public addresses are known (or given up on): a held offer or
// answer may go.
void call_media_ready(struct call *call);
// An event raised from the media; false when a handler closed the call.
// Keys count only once the call is up.
bool call_media_event(struct call *call, enum ua_event ev, const char *prm);
// The peer's media stopped: the call ends as a failed stream.
void call_stream_error(struct call *call);
