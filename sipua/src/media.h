// A call's media: its SDP session, the audio line (RTP/RTCP sockets, what
// the offer/answer exchange gives the audio), the video line, and the RTP
// timeout. The call owns it; it calls back into its call only.
#pragma once

#include "core.h"

struct media;
struct video;

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
