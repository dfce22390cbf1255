// G.711 (RFC 3551): PCMU and PCMA at 8 kHz, with librem's tables.
#include "audio.h"

#include <strings.h>

namespace {

template <uint8_t (*F)(int16_t)>
void encode(uint8_t *dst, const int16_t *src, size_t n)
{
	for (size_t i = 0; i < n; ++i)
		dst[i] = F(src[i]);
}

template <int16_t (*F)(uint8_t)>
void decode(int16_t *dst, const uint8_t *src, size_t n)
{
	for (size_t i = 0; i < n; ++i)
		dst[i] = F(src[i]);
}

const struct aucodec codecs[] = {
	{"PCMU", 0, 8000, 1, encode<g711_pcm2ulaw>, decode<g711_ulaw2pcm>},
	{"PCMA", 8, 8000, 1, encode<g711_pcm2alaw>, decode<g711_alaw2pcm>},
};

} // namespace

const struct aucodec *aucodec_at(size_t i)
{
	return i < sizeof(codecs) / sizeof(codecs[0]) ? &codecs[i] : nullptr;
}

const struct aucodec *aucodec_find(const char *name, int pt)
{
	for (const struct aucodec &ac : codecs) {
		if (name ? !strcasecmp(name, ac.name) : pt == ac.pt)
			return &ac;
	}
	return nullptr;
}
