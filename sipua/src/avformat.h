// The camera as video source: libavformat reads the stream (RTSP over TCP by
// default) on a thread of its own and hands the H.264 access units, as they
// come, to the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>

// On the loop thread: one access unit (Annex B) with its 90 kHz timestamp.
// `resync` is set when units were lost in between.
typedef void (avsrc_packet_h)(const uint8_t *au, size_t len, uint32_t ts,
			      bool resync, void *arg);

struct avsrc;

// "module avformat.so": the source is available from now on.
int  avformat_init(void);
void avformat_close(void);
// The stream to read ("rtspsrc_url", else "video_source avformat,URL"), or
// null when the module is not loaded or no URL is configured.
const char *avformat_url(void);

// Starts reading `url` until avsrc_free; a camera fault is logged and the
// source tries again after a bounded back-off. Loop thread only.
int  avsrc_alloc(struct avsrc **srcp, const char *url,
		 avsrc_packet_h *packeth, void *arg);
void avsrc_free(struct avsrc *src);
