// The camera as video source: libavformat reads the stream (RTSP over TCP by
// default) on a thread of its own, which packetizes the H.264 access units
// (RFC 6184) and hands the RTP payloads to the loop thread, a burst a turn.
#pragma once

#include <cstddef>
#include <cstdint>

// On the loop thread: one RTP payload with its 90 kHz timestamp; `marker`
// ends an access unit. Nothing is sent before an IDR, and after a loss
// nothing until the next one. The source keeps the units since the last
// IDR, and sends them again at once when the stream is turned on and on
// each refresh, so that a peer need not wait for the camera's next IDR.
typedef void (avsrc_rtp_h)(bool marker, uint32_t ts, const uint8_t *pld,
			   size_t len, void *arg);

struct avsrc;

// "module avformat.so": the source is available from now on.
int  avformat_init(void);
void avformat_close(void);
// The stream to read ("rtspsrc_url", else "video_source avformat,URL"), or
// null when the module is not loaded or no URL is configured.
const char *avformat_url(void);

// Starts reading `url` until avsrc_free (nothing is sent before
// avsrc_send turns the stream on); a camera fault is logged and the
// source tries again after a bounded back-off. Loop thread only.
int  avsrc_alloc(struct avsrc **srcp, const char *url,
		 avsrc_rtp_h *rtph, void *arg);
void avsrc_free(struct avsrc *src);
// "profile-level-id" of the camera's last sane SPS; false before one.
bool avsrc_profile(struct avsrc *src, char out[7]);
// The same for the camera, from its session description (asked for at
// start-up and whenever the URL changes) or its stream, else as kept from
// before the restart; with the description's parameter sets ("" when they
// are not known) into `sprop`.
bool avformat_profile(char out[7], char *sprop, size_t size);
// Whether the units go out; turned on, the group since the last IDR goes
// out first.
void avsrc_send(struct avsrc *src, bool on);
// The peer lost a picture: the group since the last IDR goes out again
// (once per 250 ms at most); false when there is none to send.
bool avsrc_refresh(struct avsrc *src);
// A copy of `url` fit for a log line: the user-info (name and password)
// shown as "***"; free() it.
char *avformat_shown_url(const char *url);
