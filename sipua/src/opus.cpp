// Opus with libopus: "opus/48000/2" in the SDP (RFC 7587), mono here. The
// keys are baresip's: opus_bitrate, opus_stereo, opus_sprop_stereo,
// opus_cbr, opus_inbandfec, opus_dtx (all written into our fmtp),
// opus_samplerate, opus_complexity, opus_application, opus_packet_loss.
#include "audio.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include <opus/opus.h>

struct auenc_state {
	OpusEncoder *enc;
};

struct audec_state {
	OpusDecoder *dec;
	uint32_t srate;
};

namespace {

char fmtp[256];
int complexity = 10;
int application = OPUS_APPLICATION_AUDIO;
int packet_loss = 0;

// Opus frames are 10, 20, 40 or 60 ms: no 30 or 50.
struct aucodec opus = {LE_INIT, -1, "opus", 48000, 48000, 2, fmtp,
		       nullptr, nullptr, nullptr, nullptr, nullptr,
		       0x01 | 0x02 | 0x08 | 0x20};

// One "key=value" of a fmtp line as a number; `dflt` without it.
int fmtp_int(const char *params, const char *key, int dflt)
{
	struct pl pl, val;
	if (!params)
		return dflt;
	pl_set_str(&pl, params);
	return fmt_param_get(&pl, key, &val) ? (int)pl_u32(&val) : dflt;
}

void enc_destructor(void *arg)
{
	auto *s = static_cast<struct auenc_state *>(arg);
	if (s->enc)
		opus_encoder_destroy(s->enc);
}

void dec_destructor(void *arg)
{
	auto *s = static_cast<struct audec_state *>(arg);
	if (s->dec)
		opus_decoder_destroy(s->dec);
}

// The peer's fmtp says what it takes: the lower of its and our bitrate, FEC,
// DTX and constant bitrate as it asks.
int enc_update(struct auenc_state **aesp, const struct aucodec *ac,
	       const char *peer)
{
	struct auenc_state *s = *aesp;
	if (!s) {
		s = static_cast<struct auenc_state *>(
			mem_zalloc(sizeof(struct auenc_state),
				   enc_destructor));
		if (!s)
			return ENOMEM;
		int err = 0;
		s->enc = opus_encoder_create((opus_int32)ac->srate, 1,
					     application, &err);
		if (!s->enc) {
			sipua_warn("opus: encoder: %s\n", opus_strerror(err));
			mem_deref(s);
			return ENOMEM;
		}
		(void)opus_encoder_ctl(s->enc, OPUS_SET_COMPLEXITY(complexity));
		if (packet_loss)
			(void)opus_encoder_ctl(
				s->enc, OPUS_SET_PACKET_LOSS_PERC(packet_loss));
		*aesp = s;
	}
	int bitrate = fmtp_int(peer, "maxaveragebitrate", OPUS_AUTO);
	const int ours = fmtp_int(ac->fmtp, "maxaveragebitrate", OPUS_AUTO);
	if (bitrate == OPUS_AUTO || (ours != OPUS_AUTO && ours < bitrate))
		bitrate = ours;
	(void)opus_encoder_ctl(s->enc, OPUS_SET_BITRATE(bitrate));
	(void)opus_encoder_ctl(s->enc,
			       OPUS_SET_VBR(!fmtp_int(peer, "cbr", 0)));
	(void)opus_encoder_ctl(
		s->enc, OPUS_SET_INBAND_FEC(fmtp_int(peer, "useinbandfec", 0)));
	(void)opus_encoder_ctl(s->enc,
			       OPUS_SET_DTX(fmtp_int(peer, "usedtx", 0)));
	return 0;
}

int encode(struct auenc_state *aes, uint8_t *buf, size_t *len,
	   const int16_t *sampv, size_t sampc)
{
	if (!aes)
		return EINVAL;
	const opus_int32 n = opus_encode(aes->enc, sampv, (int)sampc, buf,
					 (opus_int32)*len);
	if (n < 0)
		return EPROTO;
	*len = (size_t)n;
	return 0;
}

int dec_update(struct audec_state **adsp, const struct aucodec *ac,
	       const char *)
{
	if (*adsp)
		return 0;
	auto *s = static_cast<struct audec_state *>(
		mem_zalloc(sizeof(struct audec_state), dec_destructor));
	if (!s)
		return ENOMEM;
	int err = 0;
	s->srate = ac->srate;
	s->dec = opus_decoder_create((opus_int32)ac->srate, 1, &err);
	if (!s->dec) {
		sipua_warn("opus: decoder: %s\n", opus_strerror(err));
		mem_deref(s);
		return ENOMEM;
	}
	*adsp = s;
	return 0;
}

int decode(struct audec_state *ads, int16_t *sampv, size_t *sampc,
	   const uint8_t *buf, size_t len)
{
	if (!ads)
		return EINVAL;
	const int n = opus_decode(ads->dec, buf, (opus_int32)len, sampv,
				  (int)*sampc, 0);
	if (n < 0)
		return EBADMSG;
	*sampc = (size_t)n;
	return 0;
}

// The decoder's own concealment: decoding nothing, one packet's length.
int plc(struct audec_state *ads, int16_t *sampv, size_t *sampc)
{
	if (!ads)
		return EINVAL;
	opus_int32 frame = 0;
	(void)opus_decoder_ctl(ads->dec, OPUS_GET_LAST_PACKET_DURATION(&frame));
	if (frame <= 0 || (size_t)frame > *sampc)
		frame = (opus_int32)ads->srate / 50;
	const int n = opus_decode(ads->dec, nullptr, 0, sampv, frame, 0);
	if (n < 0)
		return EPROTO;
	*sampc = (size_t)n;
	return 0;
}

bool get_bool(const char *key, bool dflt)
{
	bool b = dflt;
	(void)conf_get_bool(conf_cur(), key, &b);
	return b;
}

} // namespace

int opus_module_init(void)
{
	struct conf *conf = conf_cur();
	const bool stereo = get_bool("opus_stereo", true);
	const bool sprop = get_bool("opus_sprop_stereo", true);
	int n = re_snprintf(fmtp, sizeof(fmtp), "stereo=%d;sprop-stereo=%d",
			    stereo, sprop);
	uint32_t v;
	if (!conf_get_u32(conf, "opus_bitrate", &v))
		n += re_snprintf(fmtp + n, sizeof(fmtp) - (size_t)n,
				 ";maxaveragebitrate=%u", v);
	for (const char *key : {"cbr", "inbandfec", "dtx"}) {
		char name[16];
		bool b;
		(void)re_snprintf(name, sizeof(name), "opus_%s", key);
		if (conf_get_bool(conf, name, &b))
			continue;
		n += re_snprintf(fmtp + n, sizeof(fmtp) - (size_t)n, ";%s%s=%d",
				 strcmp(key, "cbr") ? "use" : "", key, b);
	}
	opus.srate = 48000;
	if (!conf_get_u32(conf, "opus_samplerate", &v)) {
		if (v != 8000 && v != 12000 && v != 16000 && v != 24000 &&
		    v != 48000) {
			sipua_warn("opus: opus_samplerate %u not possible\n",
				   v);
			return EINVAL;
		}
		opus.srate = v;
	}
	if (!conf_get_u32(conf, "opus_complexity", &v))
		complexity = v > 10 ? 10 : (int)v;
	struct pl pl;
	application = OPUS_APPLICATION_AUDIO;
	if (!conf_get(conf, "opus_application", &pl)) {
		if (!pl_strcasecmp(&pl, "voip"))
			application = OPUS_APPLICATION_VOIP;
		else if (pl_strcasecmp(&pl, "audio")) {
			sipua_warn("opus: opus_application %r unknown\n", &pl);
			return EINVAL;
		}
	}
	packet_loss = 0;
	if (!conf_get_u32(conf, "opus_packet_loss", &v))
		packet_loss = v > 100 ? 100 : (int)v;
	opus.encupdh = enc_update;
	opus.ench = encode;
	opus.decupdh = dec_update;
	opus.dech = decode;
	opus.plch = plc;
	aucodec_register(&opus);
	return 0;
}
