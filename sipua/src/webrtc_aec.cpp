// "module webrtc_aec.so": acoustic echo cancellation on Debian's
// webrtc-audio-processing (0.3). The decode side hands the canceller what
// the player plays (the far end, the reference), the encode side has it
// remove that, as the room returned it, from what the microphone captured.
// Both run at their device's rate (the library resamples inside) in 10 ms
// blocks; the two devices' threads meet at one lock.
//
// Keys: webrtc_aec_extended_filter (yes/no, default no) for a longer echo
// path; webrtc_aec_delay [ms] (default 20), the time from a frame being
// handed to the player to its echo reaching the source's frame.
#include "aufilt.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <cerrno>

namespace {

enum { MAX_BLOCK = 480 };  // 10 ms at 48 kHz

struct aec_conf {
	bool extended;
	uint32_t delay_ms;
} aec_cfg = {false, 20};

struct aec {
	webrtc::AudioProcessing *apm;
	pthread_mutex_t lock;
};

struct aec_enc {
	struct aufilt_enc_st af;  // first: the chain's view
	struct aec *aec;
	uint32_t srate;
};

struct aec_dec {
	struct aufilt_dec_st af;
	struct aec *aec;
	uint32_t srate;
	uint8_t ch;
};

void aec_destructor(void *arg)
{
	auto *a = static_cast<struct aec *>(arg);
	delete a->apm;
	pthread_mutex_destroy(&a->lock);
}

// The state both sides of one call share: made by the side that comes first.
int aec_get(struct aec **ap, void **ctx)
{
	if (*ctx) {
		*ap = static_cast<struct aec *>(mem_ref(*ctx));
		return 0;
	}
	auto *a = static_cast<struct aec *>(
		mem_zalloc(sizeof(struct aec), aec_destructor));
	if (!a)
		return ENOMEM;
	pthread_mutex_init(&a->lock, nullptr);
	webrtc::Config cfg;
	cfg.Set<webrtc::ExtendedFilter>(
		new webrtc::ExtendedFilter(aec_cfg.extended));
	a->apm = webrtc::AudioProcessing::Create(cfg);
	if (!a->apm) {
		mem_deref(a);
		return ENODEV;
	}
	webrtc::EchoCancellation *ec = a->apm->echo_cancellation();
	(void)ec->enable_drift_compensation(false);
	// Low: the filter itself takes the echo 35 dB and more down, and
	// a visitor talking over the resident keeps his voice.
	(void)ec->set_suppression_level(
		webrtc::EchoCancellation::kLowSuppression);
	if (ec->Enable(true)) {
		mem_deref(a);
		return ENODEV;
	}
	*ap = a;
	*ctx = a;  // borrowed: each side's state holds its own reference
	return 0;
}

// 10 ms must be a whole number of samples.
bool rate_ok(const struct aufilt_prm *prm)
{
	return prm->srate % 100 == 0 && prm->srate / 100 <= MAX_BLOCK;
}

void enc_destructor(void *arg)
{
	mem_deref(static_cast<struct aec_enc *>(arg)->aec);
}

void dec_destructor(void *arg)
{
	mem_deref(static_cast<struct aec_dec *>(arg)->aec);
}

int encode_update(struct aufilt_enc_st **stp, void **ctx,
		  const struct aufilt *af, const struct aufilt_prm *prm)
{
	(void)af;
	if (prm->ch != 1 || !rate_ok(prm))
		return ENOTSUP;
	auto *st = static_cast<struct aec_enc *>(
		mem_zalloc(sizeof(struct aec_enc), enc_destructor));
	if (!st)
		return ENOMEM;
	st->srate = prm->srate;
	const int err = aec_get(&st->aec, ctx);
	if (err) {
		mem_deref(st);
		return err;
	}
	*stp = &st->af;
	return 0;
}

int decode_update(struct aufilt_dec_st **stp, void **ctx,
		  const struct aufilt *af, const struct aufilt_prm *prm)
{
	(void)af;
	// Only with the microphone's side: alone it would cancel nothing.
	if (!*ctx)
		return 0;
	if (!rate_ok(prm))
		return ENOTSUP;
	auto *st = static_cast<struct aec_dec *>(
		mem_zalloc(sizeof(struct aec_dec), dec_destructor));
	if (!st)
		return ENOMEM;
	st->srate = prm->srate;
	st->ch = prm->ch;
	(void)aec_get(&st->aec, ctx);
	*stp = &st->af;
	return 0;
}

int encode(struct aufilt_enc_st *st, struct auframe *af)
{
	auto *e = reinterpret_cast<struct aec_enc *>(st);
	const size_t blk = e->srate / 100;
	if (af->ch != 1 || af->srate != e->srate)
		return EINVAL;
	float v[MAX_BLOCK];
	float *chans[1] = {v};
	const webrtc::StreamConfig sc((int)e->srate, 1);
	int err = 0;
	pthread_mutex_lock(&e->aec->lock);
	for (size_t i = 0; i + blk <= af->sampc && !err; i += blk) {
		int16_t *s = af->sampv + i;
		for (size_t k = 0; k < blk; ++k)
			v[k] = (float)s[k] / 32768.0f;
		(void)e->aec->apm->set_stream_delay_ms(
			(int)aec_cfg.delay_ms);
		err = e->aec->apm->ProcessStream(chans, sc, sc, chans);
		for (size_t k = 0; k < blk && !err; ++k) {
			const float x = v[k] * 32768.0f;
			s[k] = (int16_t)(x > 32767.0f    ? 32767
					 : x < -32768.0f ? -32768
							 : x);
		}
	}
	pthread_mutex_unlock(&e->aec->lock);
	return err ? EPROTO : 0;
}

// The reference, channels mixed to one.
int decode(struct aufilt_dec_st *st, struct auframe *af)
{
	auto *d = reinterpret_cast<struct aec_dec *>(st);
	const size_t blk = d->srate / 100, ch = d->ch;
	if (af->ch != ch || af->srate != d->srate)
		return EINVAL;
	float v[MAX_BLOCK];
	float *chans[1] = {v};
	const webrtc::StreamConfig sc((int)d->srate, 1);
	int err = 0;
	pthread_mutex_lock(&d->aec->lock);
	for (size_t i = 0; (i + blk) * ch <= af->sampc && !err; i += blk) {
		const int16_t *s = af->sampv + i * ch;
		for (size_t k = 0; k < blk; ++k) {
			float sum = 0;
			for (size_t c = 0; c < ch; ++c)
				sum += s[k * ch + c];
			v[k] = sum / (32768.0f * (float)ch);
		}
		err = d->aec->apm->ProcessReverseStream(chans, sc, sc, chans);
	}
	pthread_mutex_unlock(&d->aec->lock);
	return err ? EPROTO : 0;
}

struct aufilt filt = {LE_INIT, "webrtc_aec", encode_update, encode,
		      decode_update, decode};

} // namespace

int webrtc_aec_module_init(void)
{
	aec_cfg = {false, 20};
	bool b;
	uint32_t ms;
	if (!conf_get_bool(conf_cur(), "webrtc_aec_extended_filter", &b))
		aec_cfg.extended = b;
	if (!conf_get_u32(conf_cur(), "webrtc_aec_delay", &ms)) {
		if (ms <= 500)
			aec_cfg.delay_ms = ms;
		else
			sipua_warn("config: webrtc_aec_delay %u not in 0-500, "
				   "kept %u\n", ms, aec_cfg.delay_ms);
	}
	aufilt_unregister(&filt);  // a second module line loads it once
	aufilt_register(baresip_aufiltl(), &filt);
	return 0;
}

void webrtc_aec_module_close(void)
{
	aufilt_unregister(&filt);
}
