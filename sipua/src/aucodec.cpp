// The codec list (module order) and G.711 (RFC 3551): PCMU and PCMA at
// 8 kHz with librem's tables, without state.
#include "audio.h"

#include <cerrno>

namespace {

struct list codecl = LIST_INIT;

template <uint8_t (*F)(int16_t)>
int encode(struct auenc_state *, uint8_t *buf, size_t *len,
	   const int16_t *sampv, size_t sampc)
{
	if (*len < sampc)
		return ENOMEM;
	for (size_t i = 0; i < sampc; ++i)
		buf[i] = F(sampv[i]);
	*len = sampc;
	return 0;
}

template <int16_t (*F)(uint8_t)>
int decode(struct audec_state *, int16_t *sampv, size_t *sampc,
	   const uint8_t *buf, size_t len)
{
	if (*sampc < len)
		len = *sampc;
	for (size_t i = 0; i < len; ++i)
		sampv[i] = F(buf[i]);
	*sampc = len;
	return 0;
}

struct aucodec g711[] = {
	{LE_INIT, 0, "PCMU", 8000, 8000, 1, nullptr, nullptr,
	 encode<g711_pcm2ulaw>, nullptr, decode<g711_ulaw2pcm>, nullptr, 0},
	{LE_INIT, 8, "PCMA", 8000, 8000, 1, nullptr, nullptr,
	 encode<g711_pcm2alaw>, nullptr, decode<g711_alaw2pcm>, nullptr, 0},
};

bool registered(const struct aucodec *ac)
{
	return ac->le.list != nullptr;
}

} // namespace

const struct aucodec *aucodec_at(size_t i)
{
	for (struct le *le = codecl.head; le; le = le->next, --i) {
		if (!i)
			return static_cast<const struct aucodec *>(le->data);
	}
	return !registered(&g711[0]) && i < 2 ? &g711[i] : nullptr;
}

const struct aucodec *aucodec_find(const struct pl *name)
{
	struct pl n, rate, chs = PL_INIT;
	if (!name || re_regex(name->p, name->l, "[^/]+[/]*[0-9]*[/]*[0-9]*",
			      &n, nullptr, &rate, nullptr, &chs))
		return nullptr;
	const uint32_t srate = pl_u32(&rate);
	const uint32_t ch = pl_u32(&chs);
	const struct aucodec *ac;
	for (size_t i = 0; (ac = aucodec_at(i)) != nullptr; ++i) {
		if (pl_strcasecmp(&n, ac->name))
			continue;
		if (srate && srate != ac->srate && srate != ac->crate)
			continue;
		if (!ch || ch == ac->ch)
			return ac;
	}
	return nullptr;
}

void aucodec_register(struct aucodec *ac)
{
	if (ac && !registered(ac))
		list_append(&codecl, &ac->le, ac);
}

void aucodec_unregister(struct aucodec *ac)
{
	if (ac)
		list_unlink(&ac->le);
}

int g711_module_init(void)
{
	for (struct aucodec &ac : g711)
		aucodec_register(&ac);
	return 0;
}

void aucodec_modules_close(void)
{
	while (codecl.head)
		list_unlink(codecl.head);
}
