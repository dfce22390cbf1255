// Where an outgoing request goes: names that never resolve are not looked
// up, and an INVITE over TLS names in its Contact the connection it goes on.
//
// A peer sends its requests inside the dialog (the resident's BYE) to the
// Contact. The panel usually has no certificate to accept a TLS connection,
// so that Contact must be the panel's own connection, which the peer's stack
// finds open and reuses (RFC 5923 style, as later libre versions do). libre
// 1.1.0 prints the Contact before it opens the connection: the connection is
// opened first, with a bare CRLF (RFC 3261 7.5), and the INVITE follows once
// the trace handler has seen the connection's local address.
#include "core.h"

#include <cerrno>
#include <strings.h>

struct flow {
	struct le le;              // in `waiting` while the connection opens
	struct call *call;
	struct sip_request *probe; // finds the next hop as the INVITE would
	struct tmr tmr;
	struct sa dst;
	enum sip_transp tp;
	char *user;
	char *hop;                 // the outbound proxy, else the request URI
	char *contact;
	flow_ready_h *readyh;
	bool resolved;
	bool sync;                 // inside flow_open: no callback
	bool done;
};

namespace {

// A slow handshake is not waited for longer: the INVITE then goes with the
// usual Contact, on the same connection.
constexpr uint32_t CONNECT_WAIT_MS = 4000;

struct list waiting;

void flow_destructor(void *arg)
{
	auto *f = static_cast<struct flow *>(arg);
	list_unlink(&f->le);
	tmr_cancel(&f->tmr);
	mem_deref(f->probe);
	mem_deref(f->user);
	mem_deref(f->hop);
	mem_deref(f->contact);
}

// The last thing any caller does: the handler may release the flow.
void finish(struct flow *f, int err)
{
	if (f->done)
		return;
	f->done = true;
	list_unlink(&f->le);
	tmr_cancel(&f->tmr);
	if (!f->sync)
		f->readyh(f->call, f->contact, err);
}

void ready_handler(void *arg)
{
	finish(static_cast<struct flow *>(arg), 0);
}

void open_connection(struct flow *f)
{
	if (f->tp != SIP_TRANSP_TLS) {
		finish(f, 0);
		return;
	}
	list_append(&waiting, &f->le, f);
	struct mbuf *mb = mbuf_alloc(2);
	int err = mb ? mbuf_write_str(mb, "\r\n") : ENOMEM;
	if (!err) {
		mb->pos = 0;
		err = sip_send(uag.sip, nullptr, SIP_TRANSP_TLS, &f->dst, mb);
	}
	mem_deref(mb);
	if (err)
		finish(f, 0);  // the INVITE reports what is wrong
	else if (!f->contact)
		tmr_start(&f->tmr, CONNECT_WAIT_MS, ready_handler, f);
}

// Nothing is sent: the probe only learns the transport and the address.
int probe_send(enum sip_transp tp, const struct sa *src, const struct sa *dst,
	       struct mbuf *mb, void *arg)
{
	(void)src;
	(void)mb;
	auto *f = static_cast<struct flow *>(arg);
	if (!f->resolved) {
		f->resolved = true;
		f->tp = tp;
		f->dst = *dst;
	}
	return ECANCELED;
}

// The end of a lookup by DNS.
void probe_resp(int err, const struct sip_msg *msg, void *arg)
{
	(void)msg;
	auto *f = static_cast<struct flow *>(arg);
	if (f->resolved)
		open_connection(f);
	else
		finish(f, err ? err : EDESTADDRREQ);
}

bool reserved(const struct pl *name)
{
	struct pl host = *name;
	if (host.l && host.p[host.l - 1] == '.')
		--host.l;
	static const char tld[] = "invalid";
	const size_t n = sizeof(tld) - 1;
	if (host.l < n || strncasecmp(host.p + host.l - n, tld, n))
		return false;
	return host.l == n || host.p[host.l - n - 1] == '.';
}

} // namespace

int next_hop_reserved(const char *what, const char *uri, const char *outbound)
{
	struct pl pl;
	struct uri u;
	pl_set_str(&pl, outbound ? outbound : uri);
	if (uri_decode(&u, &pl) || !reserved(&u.host))
		return 0;
	sipua_warn("ua: %s not sent: %r is under .invalid and never resolves "
		   "(RFC 6761), so it is not looked up\n", what, &u.host);
	return EDESTADDRREQ;
}

int flow_open(struct flow **flowp, struct call *call, const char *req_uri,
	      const char *outbound, const char *user, flow_ready_h *readyh)
{
	struct uri route;
	struct pl pl;
	if (outbound) {
		pl_set_str(&pl, outbound);
		if (uri_decode(&route, &pl))
			return EINVAL;
	}
	auto *f = static_cast<struct flow *>(
		mem_zalloc(sizeof(struct flow), flow_destructor));
	if (!f)
		return ENOMEM;
	f->call = call;
	f->readyh = readyh;
	f->sync = true;
	int err = str_dup(&f->user, user);
	if (!err)
		err = str_dup(&f->hop, outbound ? outbound : req_uri);
	if (!err)
		err = sip_requestf(&f->probe, uag.sip, false, "OPTIONS",
				   req_uri, outbound ? &route : nullptr,
				   nullptr, probe_send, probe_resp, f, "");
	if (f->resolved && !f->probe) {  // an address: no lookup, no probe left
		err = 0;
		open_connection(f);
	}
	if (err) {
		mem_deref(f);
		return err;
	}
	if (f->contact)
		finish(f, 0);
	f->sync = false;
	*flowp = f;
	return f->done ? 0 : EINPROGRESS;
}

const char *flow_contact(const struct flow *f)
{
	return f ? f->contact : nullptr;
}

const char *flow_next_hop(const struct sa *peer)
{
	for (struct le *le = waiting.head; le; le = le->next) {
		auto *f = static_cast<const struct flow *>(le->data);
		if (sa_cmp(&f->dst, peer, SA_ALL))
			return f->hop;
	}
	return nullptr;
}

void flow_trace(bool tx, enum sip_transp tp, const struct sa *src,
		const struct sa *dst, const uint8_t *pkt, size_t len,
		void *arg)
{
	(void)pkt;
	(void)len;
	(void)arg;
	if (!tx || tp != SIP_TRANSP_TLS)
		return;
	for (struct le *le = waiting.head; le; le = le->next) {
		auto *f = static_cast<struct flow *>(le->data);
		if (f->contact || !sa_cmp(&f->dst, dst, SA_ALL))
			continue;
		if (re_sdprintf(&f->contact, "sip:%s@%J;transport=tls", f->user,
				src))
			continue;
		// Sent on from the loop, not from inside the transport's send.
		tmr_start(&f->tmr, 0, ready_handler, f);
	}
}
