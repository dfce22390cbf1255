// Audio filters at the devices' own rates: the encode side gets each frame
// the microphone captured before it is resampled for the codec, the decode
// side each frame the player is about to play. Filters run in the order of
// their module lines when encoding and in the reverse order when decoding,
// as baresip's do; the two sides of one filter may share a state (an echo
// canceller needs what was played to clean what was captured).
#pragma once

#include "audio.h"

struct aufilt_prm {
	uint32_t srate;  // 0: no device on this side
	uint8_t ch;
};

struct aufilt;

// The per-call states; a filter's own record starts with one of these.
struct aufilt_enc_st {
	struct le le;
	const struct aufilt *af;
};

struct aufilt_dec_st {
	struct le le;
	const struct aufilt *af;
};

// `ctx` starts null for each call and filter and is passed to both sides,
// encode first. A side a filter does not take leaves *stp null; an error
// leaves the filter out of this call's chain (said once).
typedef int (aufilt_encupd_h)(struct aufilt_enc_st **stp, void **ctx,
			      const struct aufilt *af,
			      const struct aufilt_prm *prm);
typedef int (aufilt_decupd_h)(struct aufilt_dec_st **stp, void **ctx,
			      const struct aufilt *af,
			      const struct aufilt_prm *prm);
// In place, on the device's thread.
typedef int (aufilt_encode_h)(struct aufilt_enc_st *st, struct auframe *af);
typedef int (aufilt_decode_h)(struct aufilt_dec_st *st, struct auframe *af);

struct aufilt {
	struct le le;
	const char *name;
	aufilt_encupd_h *encupdh;
	aufilt_encode_h *ench;
	aufilt_decupd_h *decupdh;
	aufilt_decode_h *dech;
};

struct list *baresip_aufiltl(void);
void aufilt_register(struct list *aufiltl, struct aufilt *af);
void aufilt_unregister(struct aufilt *af);

// One call's chain, built from the filters loaded now for its source's
// and its player's formats; null when no filter took either side.
struct aufilt_chain;
int  aufilt_chain_alloc(struct aufilt_chain **chp,
			const struct aufilt_prm *enc,
			const struct aufilt_prm *dec);
void aufilt_chain_encode(struct aufilt_chain *ch, struct auframe *af);
void aufilt_chain_decode(struct aufilt_chain *ch, struct auframe *af);

// The modules: "module webrtc_aec.so" and "module speex_pp.so". Init reads
// the module's keys from the config being applied.
int  webrtc_aec_module_init(void);
void webrtc_aec_module_close(void);
int  speex_pp_module_init(void);
void speex_pp_module_close(void);
