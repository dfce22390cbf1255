// The call's video stream: the m=video line, its RTP/RTCP socket, and the
// camera's H.264 sent to the peer while the call is up and the SDP lets it.
#pragma once

#include "core.h"

struct mnat;
struct video;

// Adds the m=video line (H264/90000, packetization-mode 1) to `sdp`, its
// sockets to `mn`. `warned` and `last_rx` are the call media's: the first
// stranger's datagram of any stream is logged once, and the peer's video
// keeps the call alive as its audio does.
int  video_alloc(struct video **vp, struct call *call,
		 struct sdp_session *sdp, struct mnat *mn, bool *warned,
		 uint64_t *last_rx);
// After each SDP exchange: peer address, payload type, direction.
void video_update(struct video *v);
// SRTP keys of the peer's last SDP on the video line (see media_secure).
int  video_secure(struct video *v, bool offer);
// The call is up: the camera is read while `vmode` and the SDP let us send.
void video_start(struct video *v, enum vidmode vmode);
// The answer goes out without video (port 0).
void video_refuse(struct video *v);
// The call rings: the camera is read from now on, so that its last
// picture group is at hand when the call is answered.
void video_ringing(struct video *v);
// The peer asked for a full picture: false when there is none to send.
bool video_refresh(struct video *v);
// Whether the peer's SDP takes the video (a port and H.264).
bool video_taken(const struct video *v);
