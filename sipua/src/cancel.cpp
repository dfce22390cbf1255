// CANCEL with a Reason header (RFC 3326) for a ringing outgoing call the
// application ends with a status and text, as when another of a flat's
// phones took the call ("SIP;cause=200;text=\"Call completed elsewhere\"")
// and these phones should not show a missed call. libre builds its CANCEL
// from the INVITE with a fixed set of headers, so this one is built the same
// way from the INVITE as it went out (seen by the stack's trace hook), with
// the Reason added, and sent and repeated here as the CANCEL's own client
// transaction. The session is held meanwhile, so the stack sends no CANCEL
// of its own; it goes once the INVITE has its final response (or, should
// the callee answer across the CANCEL, after its BYE).
#include "cancel.h"

#include <cerrno>
#include <cstring>

struct canceller {
	struct le le;
	struct call *call;
	struct sipsess *sess;
	struct mbuf *mb;          // the CANCEL
	enum sip_transp tp;
	struct sa dst;
	struct tmr tmr;
	uint32_t wait;
	uint64_t t0;
	bool done;                // the INVITE has ended: released soon
};

namespace {

constexpr size_t SENT_MAX = 16;      // INVITEs remembered, newest last
constexpr uint32_t T1 = 500, T2 = 4000;
constexpr uint64_t GIVE_UP = 64 * T1;

struct sent_invite {
	struct le le;
	char *callid;
	struct mbuf *mb;
	enum sip_transp tp;
	struct sa dst;
};

struct list sent;
struct list cancellers;

void sent_destructor(void *arg)
{
	auto *s = static_cast<struct sent_invite *>(arg);
	list_unlink(&s->le);
	mem_deref(s->callid);
	mem_deref(s->mb);
}

void canceller_destructor(void *arg)
{
	auto *c = static_cast<struct canceller *>(arg);
	list_unlink(&c->le);
	tmr_cancel(&c->tmr);
	// Ended, the session sends nothing more; answered, it sends BYE.
	mem_deref(c->sess);
	mem_deref(c->mb);
	mem_deref(c->call);
}

struct sent_invite *sent_find(const char *callid)
{
	for (struct le *le = sent.head; le; le = le->next) {
		auto *s = static_cast<struct sent_invite *>(le->data);
		if (!str_cmp(s->callid, callid))
			return s;
	}
	return nullptr;
}

bool route_handler(const struct sip_hdr *hdr, const struct sip_msg *msg,
		   void *arg)
{
	(void)msg;
	return 0 != mbuf_printf(static_cast<struct mbuf *>(arg),
				"Route: %r\r\n", &hdr->val);
}

// The INVITE's request line, top Via, routes, To, From, Call-ID and CSeq
// number, as RFC 3261 9.1 has it, and the Reason.
int cancel_build(struct mbuf **mbp, const struct sent_invite *s,
		 uint16_t scode, const char *text)
{
	s->mb->pos = 0;
	struct sip_msg *inv = nullptr;
	int err = sip_msg_decode(&inv, s->mb);
	if (err)
		return err;
	struct mbuf *mb = mbuf_alloc(1024);
	if (!mb) {
		mem_deref(inv);
		return ENOMEM;
	}
	err  = mbuf_printf(mb, "CANCEL %r SIP/2.0\r\n", &inv->ruri);
	err |= mbuf_printf(mb, "Via: %r\r\n", &inv->via.val);
	err |= mbuf_write_str(mb, "Max-Forwards: 70\r\n");
	err |= sip_msg_hdr_apply(inv, true, SIP_HDR_ROUTE, route_handler, mb)
		       ? ENOMEM : 0;
	err |= mbuf_printf(mb, "To: %r\r\nFrom: %r\r\nCall-ID: %r\r\n",
			   &inv->to.val, &inv->from.val, &inv->callid);
	err |= mbuf_printf(mb, "CSeq: %u CANCEL\r\n", inv->cseq.num);
	err |= mbuf_printf(mb, "Reason: SIP;cause=%u;text=\"%s\"\r\n", scode,
			   text);
	err |= mbuf_write_str(mb, "Content-Length: 0\r\n\r\n");
	mem_deref(inv);
	mb->pos = 0;
	if (err)
		mem_deref(mb);
	else
		*mbp = mb;
	return err;
}

void retransmit(void *arg)
{
	auto *c = static_cast<struct canceller *>(arg);
	if (tmr_jiffies() - c->t0 >= GIVE_UP) {
		sipua_warn("call: %s never ended after its CANCEL\n",
			   call_peeruri(c->call));
		mem_deref(c);
		return;
	}
	(void)sip_send(uag.sip, nullptr, c->tp, &c->dst, c->mb);
	c->wait = c->wait * 2 < T2 ? c->wait * 2 : T2;
	tmr_start(&c->tmr, c->wait, retransmit, c);
}

// A text that fits a quoted string in a header line.
bool text_ok(const char *text)
{
	for (const char *p = text; *p; ++p) {
		if ((unsigned char)*p < 0x20 || *p == 0x7f || *p == '"' ||
		    *p == '\\')
			return false;
	}
	return true;
}

void release_handler(void *arg)
{
	mem_deref(arg);
}

} // namespace

void cancel_trace(enum sip_transp tp, const struct sa *dst,
		  const uint8_t *pkt, size_t len)
{
	if (len < 7 || memcmp(pkt, "INVITE ", 7))
		return;
	struct mbuf *mb = mbuf_alloc(len);
	struct sip_msg *msg = nullptr;
	if (!mb || mbuf_write_mem(mb, pkt, len)) {
		mem_deref(mb);
		return;
	}
	mb->pos = 0;
	if (sip_msg_decode(&msg, mb)) {
		mem_deref(mb);
		return;
	}
	char *callid = nullptr;
	struct sent_invite *s = nullptr;
	if (!pl_strdup(&callid, &msg->callid)) {
		s = sent_find(callid);
		if (!s)
			s = static_cast<struct sent_invite *>(mem_zalloc(
				sizeof(struct sent_invite), sent_destructor));
	}
	mem_deref(msg);
	if (!s) {
		mem_deref(callid);
		mem_deref(mb);
		return;
	}
	// An INVITE sent again (with credentials) replaces the first.
	list_unlink(&s->le);
	list_append(&sent, &s->le, s);
	mem_deref(s->callid);
	mem_deref(s->mb);
	s->callid = callid;
	s->mb = mb;
	s->tp = tp;
	s->dst = *dst;
	while (list_count(&sent) > SENT_MAX)
		mem_deref(list_ledata(sent.head));
}

bool cancel_with_reason(struct call *call, struct sipsess *sess,
			uint16_t scode, const char *text)
{
	const char *id = call_id(call);
	struct sent_invite *s = id ? sent_find(id) : nullptr;
	if (!s || !sess || scode < 200 || scode > 699 || !text || !*text ||
	    !text_ok(text))
		return false;
	auto *c = static_cast<struct canceller *>(
		mem_zalloc(sizeof(struct canceller), canceller_destructor));
	if (!c)
		return false;
	tmr_init(&c->tmr);
	if (cancel_build(&c->mb, s, scode, text) ||
	    sip_send(uag.sip, nullptr, s->tp, &s->dst, c->mb)) {
		mem_deref(c);
		return false;
	}
	c->tp = s->tp;
	c->dst = s->dst;
	c->t0 = tmr_jiffies();
	c->wait = T1;
	c->call = static_cast<struct call *>(mem_ref(call));
	c->sess = static_cast<struct sipsess *>(mem_ref(sess));
	list_append(&cancellers, &c->le, c);
	// Over a stream the transport carries it; the INVITE's end still ends
	// the wait.
	tmr_start(&c->tmr, c->tp != SIP_TRANSP_UDP ? GIVE_UP : T1,
		  retransmit, c);
	mem_deref(s);
	return true;
}

void cancel_done(struct call *call)
{
	for (struct le *le = call ? cancellers.head : nullptr; le;
	     le = le->next) {
		auto *c = static_cast<struct canceller *>(le->data);
		if (c->call != call || c->done)
			continue;
		// From inside the session's own handler: released from the
		// loop.
		c->done = true;
		tmr_start(&c->tmr, 0, release_handler, c);
		return;
	}
}

void cancel_close(void)
{
	list_flush(&cancellers);
	list_flush(&sent);
}
