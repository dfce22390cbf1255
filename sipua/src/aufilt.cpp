// The filter registry and one call's chain of filter states.
#include "aufilt.h"

namespace {

struct list aufiltl;

} // namespace

struct aufilt_chain {
	struct list encl;  // in module order
	struct list decl;  // in module order, run from the tail
};

namespace {

void chain_destructor(void *arg)
{
	auto *ch = static_cast<struct aufilt_chain *>(arg);
	list_flush(&ch->encl);
	list_flush(&ch->decl);
}

bool side_ok(const struct aufilt_prm *prm)
{
	return prm && prm->srate && prm->ch;
}

} // namespace

struct list *baresip_aufiltl(void)
{
	return &aufiltl;
}

void aufilt_register(struct list *l, struct aufilt *af)
{
	if (l && af)
		list_append(l, &af->le, af);
}

void aufilt_unregister(struct aufilt *af)
{
	if (af)
		list_unlink(&af->le);
}

int aufilt_chain_alloc(struct aufilt_chain **chp,
		       const struct aufilt_prm *enc,
		       const struct aufilt_prm *dec)
{
	if (!chp)
		return EINVAL;
	*chp = nullptr;
	if (list_isempty(&aufiltl))
		return 0;
	auto *ch = static_cast<struct aufilt_chain *>(
		mem_zalloc(sizeof(struct aufilt_chain), chain_destructor));
	if (!ch)
		return ENOMEM;
	for (struct le *le = aufiltl.head; le; le = le->next) {
		const auto *af = static_cast<const struct aufilt *>(le->data);
		void *ctx = nullptr;
		struct aufilt_enc_st *es = nullptr;
		struct aufilt_dec_st *ds = nullptr;
		int err = 0;
		if (af->encupdh && side_ok(enc))
			err = af->encupdh(&es, &ctx, af, enc);
		if (!err && af->decupdh && side_ok(dec))
			err = af->decupdh(&ds, &ctx, af, dec);
		if (err) {
			sipua_warn("aufilt: %s left out of the call (%m)\n",
				   af->name, err);
			mem_deref(es);
			mem_deref(ds);
			continue;
		}
		if (es) {
			es->af = af;
			list_append(&ch->encl, &es->le, es);
		}
		if (ds) {
			ds->af = af;
			list_append(&ch->decl, &ds->le, ds);
		}
	}
	if (list_isempty(&ch->encl) && list_isempty(&ch->decl))
		ch = static_cast<struct aufilt_chain *>(mem_deref(ch));
	*chp = ch;
	return 0;
}

void aufilt_chain_encode(struct aufilt_chain *ch, struct auframe *af)
{
	if (!ch || !af)
		return;
	for (struct le *le = ch->encl.head; le; le = le->next) {
		auto *st = static_cast<struct aufilt_enc_st *>(le->data);
		(void)st->af->ench(st, af);
	}
}

void aufilt_chain_decode(struct aufilt_chain *ch, struct auframe *af)
{
	if (!ch || !af)
		return;
	for (struct le *le = ch->decl.tail; le; le = le->prev) {
		auto *st = static_cast<struct aufilt_dec_st *>(le->data);
		(void)st->af->dech(st, af);
	}
}
