// Quality 4 of speexdsp's 0-10: the lowest whose filter is flat up to
// 3.4 kHz at the 8 kHz side (quality 3 is 1 dB down there), with images and
// aliases more than 80 dB down, for 4 ms of delay each way and well under
// a second of CPU per hour at 48 kHz.
#include "resamp.h"

#include <speex/speex_resampler.h>

#include <cerrno>

namespace {

enum {
	QUALITY = 4,
	CHUNK = 960,  // mono samples converted at a time
};

} // namespace

struct resamp {
	SpeexResamplerState *st;  // null: same rate, channels only
	uint32_t irate;
	uint32_t orate;
	uint8_t ich;
	uint8_t och;
	int16_t inv[CHUNK];
	int16_t outv[CHUNK * 6 + 16];  // up to 8 -> 48 kHz and a little
};

static void destructor(void *arg)
{
	auto *rs = static_cast<struct resamp *>(arg);
	if (rs->st)
		speex_resampler_destroy(rs->st);
}

int resamp_alloc(struct resamp **rsp, uint32_t irate, uint8_t ich,
		 uint32_t orate, uint8_t och)
{
	if (!rsp || !irate || !orate || !ich || ich > 2 || !och || och > 2 ||
	    irate > 6 * orate || orate > 6 * irate)
		return EINVAL;
	auto *rs = static_cast<struct resamp *>(
		mem_zalloc(sizeof(struct resamp), destructor));
	if (!rs)
		return ENOMEM;
	rs->irate = irate;
	rs->orate = orate;
	rs->ich = ich;
	rs->och = och;
	if (irate != orate) {
		int err = 0;
		rs->st = speex_resampler_init(1, irate, orate, QUALITY, &err);
		if (!rs->st) {
			mem_deref(rs);
			return err == RESAMPLER_ERR_ALLOC_FAILED ? ENOMEM
								 : EINVAL;
		}
		// Without the filter's leading zeros the audio starts at
		// once rather than half a filter late.
		speex_resampler_skip_zeros(rs->st);
	}
	*rsp = rs;
	return 0;
}

size_t resamp_outmax(const struct resamp *rs, size_t inc)
{
	if (!rs)
		return 0;
	const size_t frames = inc / rs->ich;
	return ((uint64_t)frames * rs->orate / rs->irate + 2) * rs->och;
}

int resamp_run(struct resamp *rs, int16_t *out, size_t *outc,
	       const int16_t *in, size_t inc)
{
	if (!rs || !out || !outc || (!in && inc))
		return EINVAL;
	const size_t cap = *outc;
	size_t done = 0;
	size_t frames = inc / rs->ich;
	while (frames) {
		// Stereo is mixed down before the filter: the codec is mono,
		// and one channel filters at half the cost.
		const size_t n = frames < (size_t)CHUNK ? frames : (size_t)CHUNK;
		for (size_t i = 0; i < n; ++i)
			rs->inv[i] = rs->ich == 1
				? in[i]
				: (int16_t)(((int32_t)in[2 * i] + in[2 * i + 1]) / 2);
		in += n * rs->ich;
		frames -= n;
		const int16_t *mono = rs->inv;
		spx_uint32_t outn = (spx_uint32_t)n;
		if (rs->st) {
			spx_uint32_t inn = (spx_uint32_t)n;
			outn = sizeof(rs->outv) / sizeof(rs->outv[0]);
			if (speex_resampler_process_int(rs->st, 0, rs->inv,
							&inn, rs->outv,
							&outn) ||
			    inn != n)
				return EIO;
			mono = rs->outv;
		}
		if (done + (size_t)outn * rs->och > cap)
			return ENOSPC;
		for (spx_uint32_t i = 0; i < outn; ++i)
			for (uint8_t c = 0; c < rs->och; ++c)
				out[done++] = mono[i];
	}
	*outc = done;
	return 0;
}
