// Requests refused before any handler sees them (RFC 3261 8.2, RFC 4475):
// broken framing, a Request-URI that cannot be routed, an extension the agent
// does not support. A call made from such a request could never be answered
// or ended properly. libre drops some malformed messages on its own before
// they get here: a start line that does not split into three parts or names
// another SIP version, a Request-URI, To, From, CSeq or Content-Type it cannot
// decode, a header line without a name.
#include "core.h"

#include <cctype>
#include <cstring>

namespace {

bool is_scheme(const struct pl *s)
{
	if (!s->l || !isalpha((unsigned char)s->p[0]))
		return false;
	for (size_t i = 1; i < s->l; ++i) {
		const unsigned char c = (unsigned char)s->p[i];
		if (!isalnum(c) && c != '+' && c != '-' && c != '.')
			return false;
	}
	return true;
}

// Only the characters a URI may carry, and whole escapes; a raw '#', which
// some dialers send in a user part, is let through.
bool uri_chars_ok(const struct pl *u)
{
	static const char allowed[] = "-_.!~*'();/?:@&=+$,[]#";
	for (size_t i = 0; i < u->l; ++i) {
		const unsigned char c = (unsigned char)u->p[i];
		if (c == '%') {
			if (i + 2 >= u->l || !isxdigit((unsigned char)u->p[i + 1]) ||
			    !isxdigit((unsigned char)u->p[i + 2]))
				return false;
			i += 2;
		}
		else if (!isalnum(c) && (!c || !strchr(allowed, c))) {
			return false;
		}
	}
	return true;
}

// The host and port of a SIP URI: a name, an IPv4 or a bracketed IPv6
// address, and a port that fits.
bool hostport_ok(const struct pl *ruri)
{
	struct pl hp = *ruri;
	const char *at = pl_strchr(&hp, '@');
	const char *end = hp.p + hp.l;
	hp.p = at ? at + 1 : (const char *)memchr(hp.p, ':', hp.l) + 1;
	for (const char *p = hp.p; p < end; ++p) {
		if (*p == ';' || *p == '?') {
			end = p;
			break;
		}
	}
	hp.l = (size_t)(end - hp.p);
	struct pl host, port;
	if (uri_decode_hostport(&hp, &host, &port) || !host.l)
		return false;
	const bool v6 = hp.p[0] == '[';
	for (size_t i = 0; i < host.l; ++i) {
		const unsigned char c = (unsigned char)host.p[i];
		if (v6 ? !isxdigit(c) && c != ':' && c != '.'
		       : !isalnum(c) && c != '-' && c != '.')
			return false;
	}
	if (!pl_isset(&port))
		return true;
	if (port.l > 5)
		return false;
	for (size_t i = 0; i < port.l; ++i) {
		if (!isdigit((unsigned char)port.p[i]))
			return false;
	}
	return pl_u32(&port) <= 65535;
}

// Headers whose display names and parameters the stack parses. Free text
// (Subject, User-Agent comments) may hold a lone quote.
bool addressing(enum sip_hdrid id)
{
	switch (id) {
	case SIP_HDR_TO:
	case SIP_HDR_FROM:
	case SIP_HDR_CONTACT:
	case SIP_HDR_ROUTE:
	case SIP_HDR_RECORD_ROUTE:
	case SIP_HDR_REPLY_TO:
	case SIP_HDR_VIA:
		return true;
	default:
		return false;
	}
}

// Quoted strings close in those header lines; a backslash escapes inside one.
bool quotes_balanced(const struct sip_msg *msg)
{
	for (struct le *le = msg->hdrl.head; le; le = le->next) {
		const auto *hdr = static_cast<struct sip_hdr *>(le->data);
		if (!addressing(hdr->id))
			continue;
		const struct pl *v = &hdr->val;
		bool quoted = false;
		for (size_t i = 0; i < v->l; ++i) {
			if (quoted && v->p[i] == '\\')
				++i;
			else if (v->p[i] == '"')
				quoted = !quoted;
		}
		if (quoted)
			return false;
	}
	return true;
}

// One Content-Length, a plain decimal number, no more than what came.
bool clen_ok(const struct sip_msg *msg)
{
	if (!msg->clen.p)
		return true;
	if (sip_msg_hdr_count(msg, SIP_HDR_CONTENT_LENGTH) > 1 ||
	    !msg->clen.l || msg->clen.l > 10)
		return false;
	for (size_t i = 0; i < msg->clen.l; ++i) {
		if (!isdigit((unsigned char)msg->clen.p[i]))
			return false;
	}
	return pl_u64(&msg->clen) <= mbuf_get_left(msg->mb);
}

// 0 when the request is sound, -1 when no reply can be routed (drop it),
// else the status to answer with.
int fault(const struct sip_msg *msg)
{
	if (!pl_isset(&msg->via.sentby) || !pl_isset(&msg->via.branch))
		return -1;
	if (!pl_isset(&msg->callid) || !pl_isset(&msg->from.auri) ||
	    !pl_isset(&msg->to.auri) || pl_cmp(&msg->cseq.met, &msg->met) ||
	    !clen_ok(msg) || !quotes_balanced(msg) ||
	    !is_scheme(&msg->uri.scheme))
		return 400;
	if (pl_strcasecmp(&msg->uri.scheme, "sip") &&
	    pl_strcasecmp(&msg->uri.scheme, "sips"))
		return 416;
	if (!uri_chars_ok(&msg->ruri) || pl_isset(&msg->uri.headers) ||
	    !hostport_ok(&msg->ruri))
		return 400;
	return 0;
}

const char *phrase(int scode)
{
	return scode == 416 ? "Unsupported URI Scheme" : "Bad Request";
}

} // namespace

bool request_screen(const struct sip_msg *msg)
{
	const bool ack = !pl_strcmp(&msg->met, "ACK");
	const int scode = fault(msg);
	if (scode) {
		sipua_log("ua: %r refused (%d)\n", &msg->met, scode);
		if (scode > 0 && !ack)
			(void)sip_treply(nullptr, uag.sip, msg,
					 (uint16_t)scode, phrase(scode));
		return true;
	}
	// The agent supports no extension. ACK and CANCEL must not be refused
	// for one (RFC 3261 8.2.2.3).
	const struct sip_hdr *req = sip_msg_hdr(msg, SIP_HDR_REQUIRE);
	if (!req || ack || !pl_strcmp(&msg->met, "CANCEL"))
		return false;
	(void)sip_treplyf(nullptr, nullptr, uag.sip, msg, false, 420,
			  "Bad Extension",
			  "Unsupported: %r\r\nContent-Length: 0\r\n\r\n",
			  &req->val);
	return true;
}
