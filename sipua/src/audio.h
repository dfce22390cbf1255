// Call audio: codecs (G.711, G.722, Opus), audio sources and players behind
// one small driver interface (registered by their module lines), and the
// per-call pipeline
//   source -> filters -> resampler -> aubuf -> encoder -> RTP
//   RTP -> jitter buffer -> decoder -> resampler -> filters -> player
// (the filters at the devices' rates: aufilt.h).
// While a source runs, its own thread encodes and sends, so no timer wakes the
// loop every frame; without one, the loop's timer sends silence. The sending
// state is under one lock; the player meets the loop only at its aubuf.
#pragma once

#include "core.h"

#include <pthread.h>
#include <rem.h>

// One block of 16-bit samples, interleaved when ch > 1.
struct auframe {
	int16_t *sampv;
	size_t sampc;
	uint32_t srate;
	uint8_t ch;
};

// ---- codecs -----------------------------------------------------------------

// Codecs carry state (an encoder per call, a decoder per call and codec), as
// baresip's do. Samples are mono at the codec's `srate`; the RTP clock runs
// at `crate` (G.722: 16 kHz sampled, 8 kHz clock).
struct auenc_state;
struct audec_state;
struct aucodec;

// `fmtp`: the peer's format parameters (may be null). A codec without state
// has no update handlers and gets null states.
typedef int (auenc_update_h)(struct auenc_state **aesp,
			     const struct aucodec *ac, const char *fmtp);
// *len: room in `buf`, then the bytes written.
typedef int (auenc_encode_h)(struct auenc_state *aes, uint8_t *buf,
			     size_t *len, const int16_t *sampv, size_t sampc);
typedef int (audec_update_h)(struct audec_state **adsp,
			     const struct aucodec *ac, const char *fmtp);
// *sampc: room in `sampv`, then the samples written.
typedef int (audec_decode_h)(struct audec_state *ads, int16_t *sampv,
			     size_t *sampc, const uint8_t *buf, size_t len);
// One packet's worth of audio for a packet that never came.
typedef int (audec_plc_h)(struct audec_state *ads, int16_t *sampv,
			  size_t *sampc);

struct aucodec {
	struct le le;
	int pt;                   // static payload type (RFC 3551), -1: dynamic
	const char *name;
	uint32_t srate;
	uint32_t crate;
	uint8_t ch;               // channels named in the SDP
	const char *fmtp;         // ours, for the SDP; may be null
	auenc_update_h *encupdh;
	auenc_encode_h *ench;
	audec_update_h *decupdh;
	audec_decode_h *dech;
	audec_plc_h *plch;
	// Packet times it can encode, 10 ms a bit (bit 0: 10 ms ... bit 5:
	// 60 ms); 0: every multiple of 10 ms up to 60.
	uint8_t ptimes;
};

// Registered codecs in module order; G.711 is there even without its module
// line (last, then). Null after the last.
const struct aucodec *aucodec_at(size_t i);
// "name[/rate[/channels]]" as an account's audio_codecs names it (the rate
// is the sampling or the clock rate); null when none is registered.
const struct aucodec *aucodec_find(const struct pl *name);
void aucodec_register(struct aucodec *ac);
void aucodec_unregister(struct aucodec *ac);

// Codec modules; closing unregisters.
int  g711_module_init(void);
int  g722_module_init(void);
int  opus_module_init(void);
void aucodec_modules_close(void);

// ---- sources and players ----------------------------------------------------

struct ausrc_prm {
	uint32_t srate;    // in: wanted; out: what the device gives
	uint8_t ch;
	uint32_t ptime;    // frame length in ms
};

struct auplay_prm {
	uint32_t srate;
	uint8_t ch;
	uint32_t ptime;
};

struct ausrc;
struct ausrc_st;
struct auplay;
struct auplay_st;

// Called on the device's own thread.
typedef void (ausrc_read_h)(struct auframe *af, void *arg);
typedef void (auplay_write_h)(struct auframe *af, void *arg);
// The device has stopped by itself: after a fault (device gone, read error;
// err or str set), or at the end of its input (neither set).
typedef void (audev_error_h)(int err, const char *str, void *arg);

typedef int (ausrc_alloc_h)(struct ausrc_st **stp, const struct ausrc *as,
			    struct ausrc_prm *prm, const char *device,
			    ausrc_read_h *rh, audev_error_h *errh, void *arg);
typedef int (auplay_alloc_h)(struct auplay_st **stp, const struct auplay *ap,
			     struct auplay_prm *prm, const char *device,
			     auplay_write_h *wh, audev_error_h *errh,
			     void *arg);

struct ausrc {
	struct le le;
	const char *name;
	ausrc_alloc_h *alloch;
};

struct auplay {
	struct le le;
	const char *name;
	auplay_alloc_h *alloch;
};

struct list *baresip_ausrcl(void);
struct list *baresip_auplayl(void);
int ausrc_register(struct ausrc **asp, struct list *ausrcl, const char *name,
		   ausrc_alloc_h *alloch);
int auplay_register(struct auplay **app, struct list *auplayl,
		    const char *name, auplay_alloc_h *alloch);
// An empty name finds the first driver, as an unset audio_source does.
const struct ausrc *ausrc_find(const struct list *ausrcl, const char *name);
const struct auplay *auplay_find(const struct list *auplayl,
				 const char *name);

// Drivers, registered by their module lines and dropped with the library.
int  audev_register(const char *name, ausrc_alloc_h *src,
		    auplay_alloc_h *play);
int  aufile_module_init(void);
int  alsa_module_init(void);
void audev_modules_close(void);

// Device threads: started once, stopped and joined by the owner.
struct audev_thread {
	pthread_t tid;
	bool started;
	bool run;        // read and written with __atomic builtins
};

// One frame of I/O on the device's thread; false ends the thread (the end of
// a file, or a fault the step has reported).
typedef bool (audev_step_h)(void *st);

// The head of every device record: its thread, one frame of samples and the
// owner's handlers.
struct audev {
	struct audev_thread thr;
	audev_step_h *step;
	unsigned lead;
	struct auframe frame;
	uint32_t ptime;
	uint32_t next_ptime;  // atomic: the owner's new frame length, or 0
	ausrc_read_h *rh;
	auplay_write_h *wh;
	audev_error_h *errh;
	void *arg;
};
int  audev_frame_alloc(struct audev *d, uint32_t srate, uint8_t ch,
		       uint32_t ptime);
// Takes the handlers and runs `step` once a frame on a thread of its own,
// paced by absolute time: a step that blocks for a while (a real device)
// paces itself, one that returns at once is held to the clock, `lead`
// frames ahead at most (a device buffer being filled). The record `d`
// heads is dropped on failure, else handed out in *stp.
int  audev_launch(struct audev *d, void **stp, audev_step_h *step,
		  unsigned lead, ausrc_read_h *rh, auplay_write_h *wh,
		  audev_error_h *errh, void *arg);
// Stops the thread and frees the frame; for the record's destructor.
void audev_close(struct audev *d);
// The device's thread takes frames of `ptime` ms from its next step on
// (`st` is a record headed by a struct audev, as every driver's is).
void audev_set_ptime(void *st, uint32_t ptime);

// ---- one call's audio -------------------------------------------------------

// What the SDP exchange decided; applied with audio_update.
struct audio_prm {
	struct sa raddr;           // where the RTP goes; unset: nowhere yet
	const struct aucodec *tx;  // null: nothing to send with
	int pt_tx;
	const char *tx_fmtp;       // the peer's parameters for tx, valid here
	int pt_tel_tx;             // -1: the peer takes no telephone events
	bool tel_rx[128];          // payload types of our telephone events
	uint32_t ptime_tx;
	enum sdp_dir dir;
	const struct aucodec *rx[128];  // by payload type
};

struct audio;

// Called on the source's thread or the loop's, never on both at once.
typedef int  (audio_send_h)(const struct sa *dst, uint8_t pt, bool marker,
			    uint32_t ts, struct mbuf *mb, void *arg);
// False when the call was closed by the event's handler.
typedef bool (audio_event_h)(enum ua_event ev, const char *prm, void *arg);

int  audio_alloc(struct audio **ap, uint32_t ptime, audio_send_h *sendh,
		 audio_event_h *eventh, void *arg);
void audio_update(struct audio *a, const struct audio_prm *prm);
// Sends to `raddr` from now on, the rest as it was.
void audio_set_raddr(struct audio *a, const struct sa *raddr);
// Opens the devices and starts sending; later calls do nothing.
void audio_start(struct audio *a);
// Stops the devices and the sending for good, before what the send handler
// uses goes (the audio itself may live on a little, held by a packet).
void audio_stop(struct audio *a);
void audio_recv(struct audio *a, const struct rtp_header *hdr,
		struct mbuf *mb);
int  audio_send_digit(struct audio *a, char key);
