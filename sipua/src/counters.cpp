// Totals of what the library refused from the network, for the status the
// daemon shows; bumped on the loop thread and read from the bus thread.
#include "core.h"

namespace {

uint64_t counters[SIPUA_COUNTER_MAX];

} // namespace

void sipua_count(enum sipua_counter c)
{
	if (c < SIPUA_COUNTER_MAX)
		__atomic_add_fetch(&counters[c], 1, __ATOMIC_RELAXED);
}

extern "C" void sipua_counters_get(struct sipua_counters *c)
{
	if (!c)
		return;
	auto get = [](enum sipua_counter i) {
		return __atomic_load_n(&counters[i], __ATOMIC_RELAXED);
	};
	c->media_dropped = get(SIPUA_MEDIA_DROPPED);
	c->offers_refused = get(SIPUA_OFFER_REFUSED);
	c->conns_refused = get(SIPUA_CONN_REFUSED);
	c->tls_failed = get(SIPUA_TLS_FAILED);
	c->refusals_unlogged = get(SIPUA_REFUSAL_UNLOGGED);
}
