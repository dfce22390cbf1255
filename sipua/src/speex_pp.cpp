// "module speex_pp.so": speexdsp's preprocessor on the microphone (encode
// side only): noise suppression and automatic gain, voice activity
// detection off unless asked for.
//
// Keys: speex_agc_level (the gain's target level, default 8000, as
// baresip's), speex_denoise, speex_agc, speex_vad (yes/no; default yes,
// yes, no).
#include "aufilt.h"

#include <speex/speex_preprocess.h>

#include <cerrno>

namespace {

struct pp_conf {
	spx_int32_t denoise, agc, vad;
	float agc_level;
} pp_cfg;

struct preproc {
	struct aufilt_enc_st af;  // first: the chain's view
	SpeexPreprocessState *state;
	uint32_t srate;
	size_t frame;
};

void pp_destructor(void *arg)
{
	auto *st = static_cast<struct preproc *>(arg);
	if (st->state)
		speex_preprocess_state_destroy(st->state);
}

// A frame of another size (the peer's ptime changed) starts afresh.
int state_init(struct preproc *st, size_t frame)
{
	if (st->state)
		speex_preprocess_state_destroy(st->state);
	st->state = speex_preprocess_state_init((int)frame, (int)st->srate);
	if (!st->state)
		return ENOMEM;
	st->frame = frame;
	pp_conf c = pp_cfg;
	speex_preprocess_ctl(st->state, SPEEX_PREPROCESS_SET_DENOISE,
			     &c.denoise);
	speex_preprocess_ctl(st->state, SPEEX_PREPROCESS_SET_AGC, &c.agc);
	if (c.agc)
		speex_preprocess_ctl(st->state,
				     SPEEX_PREPROCESS_SET_AGC_LEVEL,
				     &c.agc_level);
	if (c.vad)  // speexdsp warns whenever it is set, even to off
		speex_preprocess_ctl(st->state, SPEEX_PREPROCESS_SET_VAD,
				     &c.vad);
	return 0;
}

int encode_update(struct aufilt_enc_st **stp, void **ctx,
		  const struct aufilt *af, const struct aufilt_prm *prm)
{
	(void)ctx;
	(void)af;
	if (prm->ch != 1)
		return ENOTSUP;
	auto *st = static_cast<struct preproc *>(
		mem_zalloc(sizeof(struct preproc), pp_destructor));
	if (!st)
		return ENOMEM;
	st->srate = prm->srate;
	*stp = &st->af;
	return 0;
}

int encode(struct aufilt_enc_st *st, struct auframe *af)
{
	auto *pp = reinterpret_cast<struct preproc *>(st);
	if (!af->sampc || af->ch != 1 || af->srate != pp->srate)
		return EINVAL;
	if (af->sampc != pp->frame) {
		const int err = state_init(pp, af->sampc);
		if (err)
			return err;
	}
	(void)speex_preprocess_run(pp->state, af->sampv);
	return 0;
}

struct aufilt filt = {LE_INIT, "speex_pp", encode_update, encode, nullptr,
		      nullptr};

bool get_flag(const char *key, bool def)
{
	bool b;
	return conf_get_bool(conf_cur(), key, &b) ? def : b;
}

} // namespace

int speex_pp_module_init(void)
{
	pp_cfg = {get_flag("speex_denoise", true),
		  get_flag("speex_agc", true),
		  get_flag("speex_vad", false), 8000.0f};
	uint32_t v;
	if (!conf_get_u32(conf_cur(), "speex_agc_level", &v))
		pp_cfg.agc_level = (float)v;
	aufilt_unregister(&filt);
	aufilt_register(baresip_aufiltl(), &filt);
	return 0;
}

void speex_pp_module_close(void)
{
	aufilt_unregister(&filt);
}
