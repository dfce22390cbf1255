// Connection addresses the panel can send media to. An offer that names a
// multicast group, a host name (nothing resolves them for media) or an
// address family the panel has none of would give a silent call at best and
// spray the panel's microphone onto the LAN at worst.
#include "core.h"

#include <cstring>

namespace {

bool multicast(const struct sa *sa)
{
	if (sa_af(sa) == AF_INET)
		return (sa_in(sa) >> 28) == 0xe;
	return sa_af(sa) == AF_INET6 && sa->u.in6.sin6_addr.s6_addr[0] == 0xff;
}

// Null when the c= line's address is usable, else what is wrong with it.
const char *conn_fault(const struct pl *line, struct pl *addr)
{
	struct pl net, type;
	if (re_regex(line->p, line->l, "c=[^ ]+ [^ ]+ [^ ]+", &net, &type,
		     addr))
		return nullptr;  // not SDP: the decoder refuses it with 400
	struct sa sa;
	if (pl_strcmp(&net, "IN") || sa_set(&sa, addr, 0))
		return "not an address";
	const int af = !pl_strcmp(&type, "IP4") ? AF_INET
		     : !pl_strcmp(&type, "IP6") ? AF_INET6 : AF_UNSPEC;
	if (af != sa_af(&sa))
		return "not of its address type";
	if (sa_is_any(&sa))
		return nullptr;  // a hold
	if (multicast(&sa))
		return "multicast";
	if (sa_af(&uag.laddr) != AF_UNSPEC && af != sa_af(&uag.laddr))
		return "of a family the panel has no address of";
	return nullptr;
}

} // namespace

bool sdp_addr_usable(const struct mbuf *mb, char *why, size_t size)
{
	struct pl body = {(const char *)mbuf_buf(mb), mbuf_get_left(mb)};
	while (body.l) {
		const char *nl = (const char *)memchr(body.p, '\n', body.l);
		struct pl line = {body.p, nl ? (size_t)(nl - body.p) : body.l};
		pl_advance(&body, nl ? line.l + 1 : body.l);
		if (line.l && line.p[line.l - 1] == '\r')
			--line.l;
		if (line.l < 2 || line.p[0] != 'c' || line.p[1] != '=')
			continue;
		struct pl addr = line;
		const char *fault = conn_fault(&line, &addr);
		if (fault) {
			(void)re_snprintf(why, size, "%r: %s", &addr, fault);
			return false;
		}
	}
	return true;
}

bool offer_screen(const struct sip_msg *msg)
{
	if (pl_strcmp(&msg->met, "INVITE") || !mbuf_get_left(msg->mb) ||
	    !msg_ctype_cmp(&msg->ctyp, "application", "sdp"))
		return false;
	char why[128];
	if (sdp_addr_usable(msg->mb, why, sizeof(why)))
		return false;
	sipua_count(SIPUA_OFFER_REFUSED);
	sipua_warn("ua: INVITE from %r refused: 488 Not Acceptable Here "
		   "(media address %s)\n", &msg->from.auri, why);
	(void)sip_treply(nullptr, uag.sip, msg, 488, "Not Acceptable Here");
	return true;
}
