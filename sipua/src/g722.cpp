// G.722 at 64 kbit/s with spandsp: 16 kHz sampled, RTP clock 8000 and
// payload type 9 (RFC 3551 keeps the clock of its first definition).
#include "audio.h"

#include <cerrno>

#include <spandsp/telephony.h>
#include <spandsp/g722.h>

struct auenc_state {
	g722_encode_state_t *st;
};

struct audec_state {
	g722_decode_state_t *st;
};

namespace {

void enc_destructor(void *arg)
{
	g722_encode_free(static_cast<struct auenc_state *>(arg)->st);
}

void dec_destructor(void *arg)
{
	g722_decode_free(static_cast<struct audec_state *>(arg)->st);
}

int enc_update(struct auenc_state **aesp, const struct aucodec *,
	       const char *)
{
	if (*aesp)
		return 0;
	auto *s = static_cast<struct auenc_state *>(
		mem_zalloc(sizeof(struct auenc_state), enc_destructor));
	if (!s)
		return ENOMEM;
	s->st = g722_encode_init(nullptr, 64000, 0);
	if (!s->st) {
		mem_deref(s);
		return ENOMEM;
	}
	*aesp = s;
	return 0;
}

int dec_update(struct audec_state **adsp, const struct aucodec *,
	       const char *)
{
	if (*adsp)
		return 0;
	auto *s = static_cast<struct audec_state *>(
		mem_zalloc(sizeof(struct audec_state), dec_destructor));
	if (!s)
		return ENOMEM;
	s->st = g722_decode_init(nullptr, 64000, 0);
	if (!s->st) {
		mem_deref(s);
		return ENOMEM;
	}
	*adsp = s;
	return 0;
}

// Two samples make one byte.
int encode(struct auenc_state *aes, uint8_t *buf, size_t *len,
	   const int16_t *sampv, size_t sampc)
{
	if (!aes || *len < sampc / 2)
		return EINVAL;
	*len = (size_t)g722_encode(aes->st, buf, sampv, (int)sampc);
	return 0;
}

int decode(struct audec_state *ads, int16_t *sampv, size_t *sampc,
	   const uint8_t *buf, size_t len)
{
	if (!ads)
		return EINVAL;
	if (len > *sampc / 2)
		len = *sampc / 2;
	*sampc = (size_t)g722_decode(ads->st, sampv, buf, (int)len);
	return 0;
}

struct aucodec g722 = {LE_INIT, 9, "G722", 16000, 8000, 1, nullptr,
		       enc_update, encode, dec_update, decode, nullptr, 0};

} // namespace

int g722_module_init(void)
{
	aucodec_register(&g722);
	return 0;
}
