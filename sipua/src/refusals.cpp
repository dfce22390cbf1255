// Log lines of refused calls. Each refusal is worth a line, but a host
// repeating one (a scanner, a misconfigured gate) must not fill the log: one
// line per source address and kind of refusal a minute; the rest are
// counted, and the next line of that kind says how many were left out.
#include "core.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr uint64_t WINDOW_MS = 60000;
constexpr size_t SLOTS = 64;

struct slot {
	struct sa addr;     // the source, port ignored
	uint16_t scode;
	uint32_t why;       // hash of the refusal's reason
	uint64_t logged;    // when its last line went out [ms]
	uint32_t unlogged;  // since then
	bool used;
};

struct slot slots[SLOTS];

struct slot *find(const struct sa *src, uint16_t scode, uint32_t why,
		  uint64_t now)
{
	struct slot *oldest = &slots[0];
	for (struct slot &s : slots) {
		if (s.used && s.scode == scode && s.why == why &&
		    sa_cmp(&s.addr, src, SA_ADDR))
			return &s;
		if (!s.used || s.logged < oldest->logged)
			oldest = &s;
	}
	// A full table gives up its stalest entry: past its minute, its count
	// has nothing left to join.
	*oldest = {};
	oldest->addr = *src;
	oldest->scode = scode;
	oldest->why = why;
	oldest->logged = now - WINDOW_MS;
	oldest->used = true;
	return oldest;
}

} // namespace

void refusal_log(const struct sa *src, uint16_t scode, const char *why,
		 const char *fmt, ...)
{
	const uint64_t now = tmr_jiffies();
	struct slot *s = find(src, scode, hash_joaat_str(why ? why : ""),
			      now);
	if (now - s->logged < WINDOW_MS) {
		++s->unlogged;
		sipua_count(SIPUA_REFUSAL_UNLOGGED);
		return;
	}
	char *line = nullptr;
	va_list ap;
	va_start(ap, fmt);
	const int err = re_vsdprintf(&line, fmt, ap);
	va_end(ap);
	if (err)
		return;
	if (s->unlogged)
		sipua_warn("%s (and %u more like it from %j in the last "
			   "minute)\n", line, s->unlogged, src);
	else
		sipua_warn("%s\n", line);
	mem_deref(line);
	s->logged = now;
	s->unlogged = 0;
}
