// Source check of a call's media datagrams. Anyone on the LAN can reach the
// panel's RTP ports; only the peer the call negotiated may be heard, send
// keys, or keep the call alive.
#include "rxfilter.h"

struct rxfilter {
	struct udp_helper *uh_rtp;
	struct udp_helper *uh_rtcp;
	struct sa rtp;            // the peer's RTP source; unset: drop all
	struct sa rtcp;
	struct sa sdp_rtp;        // what the SDP named: a latch holds until
	struct sa sdp_rtcp;       // these move
	const char *name;
	bool *warned;
	bool latch;               // rtp_latch: take the first source instead
	bool latched_rtp;
	bool latched_rtcp;
	rxfilter_latch_h *latchh;
	void *arg;
};

namespace {

void destructor(void *arg)
{
	auto *f = static_cast<struct rxfilter *>(arg);
	mem_deref(f->uh_rtp);
	mem_deref(f->uh_rtcp);
}

bool drop(struct rxfilter *f, const struct sa *src, const struct sa *want,
	  const char *what)
{
	sipua_count(SIPUA_MEDIA_DROPPED);
	if (!*f->warned) {
		*f->warned = true;
		if (sa_isset(want, SA_ALL))
			sipua_warn("media: %s %s from %J dropped: the call's "
				   "peer is %J\n", f->name, what, src, want);
		else
			sipua_warn("media: %s %s from %J dropped: the call "
				   "has no peer address yet\n", f->name, what,
				   src);
	}
	return true;  // handled: nothing above sees it
}

// With latching on, the first datagram once the peer's SDP is known names
// the source for good (until the SDP moves it).
bool check(struct rxfilter *f, const struct sa *src, struct sa *want,
	   bool *latched, const char *what)
{
	if (!sa_isset(&f->rtp, SA_ALL))
		return drop(f, src, want, what);
	if (sa_cmp(src, want, SA_ALL))
		return false;
	if (!f->latch || *latched)
		return drop(f, src, want, what);
	sipua_warn("media: %s %s latched to %J (the SDP named %J)\n", f->name,
		   what, src, want);
	*want = *src;
	*latched = true;
	return false;
}

bool rtp_recv(struct sa *src, struct mbuf *mb, void *arg)
{
	(void)mb;
	auto *f = static_cast<struct rxfilter *>(arg);
	const bool was = f->latched_rtp;
	if (check(f, src, &f->rtp, &f->latched_rtp, "RTP"))
		return true;
	if (!was && f->latched_rtp && f->latchh)
		f->latchh(src, f->arg);
	return false;
}

bool rtcp_recv(struct sa *src, struct mbuf *mb, void *arg)
{
	(void)mb;
	auto *f = static_cast<struct rxfilter *>(arg);
	return check(f, src, &f->rtcp, &f->latched_rtcp, "RTCP");
}

} // namespace

int rxfilter_alloc(struct rxfilter **fp, struct rtp_sock *rtp,
		   const char *name, bool *warned, rxfilter_latch_h *latchh,
		   void *arg)
{
	if (!fp || !rtp || !warned)
		return EINVAL;
	auto *f = static_cast<struct rxfilter *>(
		mem_zalloc(sizeof(struct rxfilter), destructor));
	if (!f)
		return ENOMEM;
	const struct config *cfg = sipua_config();
	f->name = name;
	f->warned = warned;
	f->latch = cfg && cfg->avt.rtp_latch;
	f->latchh = latchh;
	f->arg = arg;
	int err = udp_register_helper(&f->uh_rtp,
				      static_cast<struct udp_sock *>(
					      rtp_sock(rtp)),
				      LAYER_RXFILTER, nullptr, rtp_recv, f);
	struct udp_sock *us = static_cast<struct udp_sock *>(rtcp_sock(rtp));
	if (!err && us)
		err = udp_register_helper(&f->uh_rtcp, us, LAYER_RXFILTER,
					  nullptr, rtcp_recv, f);
	if (err) {
		mem_deref(f);
		return err;
	}
	*fp = f;
	return 0;
}

const struct sa *rxfilter_peer(const struct rxfilter *f)
{
	return f && sa_isset(&f->rtp, SA_ALL) ? &f->rtp : nullptr;
}

void rxfilter_set(struct rxfilter *f, const struct sdp_media *m)
{
	if (!f || !m)
		return;
	const struct sa *ra = sdp_media_raddr(m);
	if (!ra || !sa_isset(ra, SA_ALL))
		return;
	struct sa rtcp;
	// A peer that multiplexes sends its RTCP from its RTP port.
	if (sdp_media_rattr(m, "rtcp-mux") && !sdp_media_rattr(m, "rtcp"))
		rtcp = *ra;
	else
		sdp_media_raddr_rtcp(m, &rtcp);
	if (!sa_cmp(ra, &f->sdp_rtp, SA_ALL)) {
		f->rtp = f->sdp_rtp = *ra;
		f->latched_rtp = false;
	}
	if (!sa_cmp(&rtcp, &f->sdp_rtcp, SA_ALL)) {
		f->rtcp = f->sdp_rtcp = rtcp;
		f->latched_rtcp = false;
	}
}
