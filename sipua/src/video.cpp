// Video towards the peer. The panel has no display, so the line is offered
// send-only and whatever video the peer sends is received and dropped; it
// still shows that the peer is there. The camera's session is open from the
// ringing (so that its last picture group is at hand at the answer) and while
// video flows: the camera's stream is shared with the panel's other
// services.
#include "video.h"

#include "avformat.h"
#include "call.h"
#include "mnat.h"
#include "rxfilter.h"
#include "srtp.h"

struct video {
	struct call *call;        // the owner's call
	uint64_t *last_rx;        // the call media's, shared with the audio
	struct sdp_media *sdp;
	struct rtp_sock *rtp;
	struct sdes *sdes;        // SRTP of the line
	struct rxfilter *rxf;
	struct avsrc *src;        // the camera, while video is sent
	struct sa raddr;
	struct sa rtcp;           // where RTCP goes
	uint64_t t0;              // jiffies when the stream was made
	uint32_t ts0;             // RTP time at t0
	uint32_t ts_base;         // RTP time at the camera session's start
	uint8_t pt;
	bool started;             // the call is up
	enum vidmode vmode;       // the call's, from then on
	bool ringing;             // the camera is read ahead of the answer
	bool rtcp_started;
};

namespace {

// The camera's own, once one of its SPS was seen that parses as one; until
// then what most H.264 peers take (Constrained Baseline, level 3.1).
char profile_level_id[7] = "42e01f";

void destructor(void *arg)
{
	auto *v = static_cast<struct video *>(arg);
	avsrc_free(v->src);
	// The socket's helpers go before the socket.
	mem_deref(v->sdes);
	mem_deref(v->rxf);
	mem_deref(v->rtp);
}

void rtp_handler(const struct sa *src, const struct rtp_header *hdr,
		 struct mbuf *mb, void *arg)
{
	(void)src;
	(void)hdr;
	(void)mb;
	*static_cast<struct video *>(arg)->last_rx = tmr_jiffies();
}

void rtcp_handler(const struct sa *src, struct rtcp_msg *msg, void *arg)
{
	(void)src;
	auto *v = static_cast<struct video *>(arg);
	*v->last_rx = tmr_jiffies();
	// A picture lost at the peer (PLI), or a full picture asked for (FIR,
	// old and new style): the last picture group goes out again.
	enum { PSFB_FIR = 4 };
	const bool asks = msg->hdr.pt == RTCP_FIR ||
			  (msg->hdr.pt == RTCP_PSFB &&
			   (msg->hdr.count == RTCP_PSFB_PLI ||
			    msg->hdr.count == PSFB_FIR));
	if (asks)
		(void)avsrc_refresh(v->src);
}

void latch_handler(const struct sa *src, void *arg)
{
	static_cast<struct video *>(arg)->raddr = *src;
}

int fmtp_enc(struct mbuf *mb, const struct sdp_format *fmt, bool offer,
	     void *data)
{
	(void)offer;
	(void)data;
	char sprop[1025];
	(void)avformat_profile(profile_level_id, sprop, sizeof(sprop));
	return mbuf_printf(mb, "a=fmtp:%s packetization-mode=1;"
			   "profile-level-id=%s%s%s\r\n", fmt->id,
			   profile_level_id, sprop[0] ? ";sprop-parameter-sets="
			   : "", sprop);
}

// Frames larger than a packet need FU-A, which mode 0 does not allow.
bool fmtp_cmp(const char *lparams, const char *rparams, void *data)
{
	(void)lparams;
	(void)data;
	struct pl params, mode;
	pl_set_str(&params, rparams);
	return rparams && fmt_param_get(&params, "packetization-mode", &mode) &&
	       pl_u32(&mode) == 1;
}

void rtp_out(bool marker, uint32_t ts, const uint8_t *pld, size_t len,
	     void *arg)
{
	auto *v = static_cast<struct video *>(arg);
	struct mbuf *mb = mbuf_alloc(RTP_HEADER_SIZE + len);
	if (!mb)
		return;
	mb->pos = mb->end = RTP_HEADER_SIZE;
	int err = mbuf_write_mem(mb, pld, len);
	mb->pos = RTP_HEADER_SIZE;
	if (!err)
		(void)rtp_send(v->rtp, &v->raddr, false, marker, v->pt,
			       v->ts_base + ts, mb);
	mem_deref(mb);
	if (marker && v->src)
		(void)avsrc_profile(v->src, profile_level_id);
}

bool may_send(const struct video *v)
{
	return v->started && v->vmode == VIDMODE_ON &&
	       sdp_media_rformat(v->sdp, "H264") &&
	       (sdp_media_dir(v->sdp) & SDP_SENDONLY) &&
	       sa_isset(&v->raddr, SA_ALL);
}

// Opens or closes the camera's session as the call and its SDP want.
void apply(struct video *v)
{
	const char *url = avformat_url();
	const bool send = may_send(v);
	const bool read = send || (v->ringing && !v->started);
	if (read && url && !v->src) {
		// RTP time runs on across sessions (hold and resume).
		v->ts_base = v->ts0 + (uint32_t)((tmr_jiffies() - v->t0) * 90);
		const int err = avsrc_alloc(&v->src, url, rtp_out, v);
		if (err)
			sipua_warn("video: camera source failed (%m)\n", err);
	}
	else if (!read && v->src) {
		avsrc_free(v->src);
		v->src = nullptr;
	}
	avsrc_send(v->src, send);
}

// The video line in the transport the account's encryption asks for.
int add_line(struct video *v, struct sdp_session *sdp)
{
	const enum menc_mode mode = srtp_mode(call_account(v->call));
	int err = sdp_media_add(&v->sdp, sdp, "video",
				sa_port(rtp_local(v->rtp)), srtp_proto(mode));
	if (!err)
		err = sdes_alloc(&v->sdes, v->call, "video", v->sdp, v->rtp,
				 mode);
	return err;
}

} // namespace

int video_alloc(struct video **vp, struct call *call, struct sdp_session *sdp,
		struct mnat *mn, bool *warned, uint64_t *last_rx)
{
	const struct config *cfg = sipua_config();
	auto *v = static_cast<struct video *>(
		mem_zalloc(sizeof(struct video), destructor));
	if (!v)
		return ENOMEM;
	v->call = call;
	v->last_rx = last_rx;
	v->t0 = tmr_jiffies();
	v->ts0 = rand_u32();
	v->pt = 96;
	int err = rtp_listen(&v->rtp, IPPROTO_UDP, &uag.laddr,
			     (uint16_t)cfg->avt.rtp_ports.min,
			     (uint16_t)cfg->avt.rtp_ports.max, true,
			     rtp_handler, rtcp_handler, v);
	if (!err)
		err = rxfilter_alloc(&v->rxf, v->rtp, "video",
				     warned, latch_handler, v);
	if (!err)
		err = add_line(v, sdp);
	if (!err)
		err = mnat_media_add(mn, v->rtp, v->sdp);
	if (!err)
		err = sdp_format_add(nullptr, v->sdp, false, "96", "H264",
				     90000, 1, fmtp_enc, fmtp_cmp, nullptr,
				     false, nullptr);
	if (err) {
		mem_deref(v);
		return err;
	}
	// The settings are hints: the camera's stream goes out as it is.
	sdp_media_set_ldir(v->sdp, SDP_SENDONLY);
	if (cfg->video.bitrate)
		sdp_media_set_lbandwidth(v->sdp, SDP_BANDWIDTH_AS,
					 (int32_t)(cfg->video.bitrate / 1000));
	if (cfg->video.fps > 0)
		err |= sdp_media_set_lattr(v->sdp, true, "framerate", "%.2f",
					   cfg->video.fps);
	if (cfg->video.width && cfg->video.height)
		err |= sdp_media_set_lattr(v->sdp, true, "imageattr",
					   "* send [x=%u,y=%u]",
					   cfg->video.width,
					   cfg->video.height);
	if (err) {
		mem_deref(v);
		return err;
	}
	*vp = v;
	return 0;
}

void video_update(struct video *v)
{
	if (!v)
		return;
	const struct sdp_format *f = sdp_media_rformat(v->sdp, "H264");
	if (f)
		v->pt = (uint8_t)f->pt;
	const struct sa *ra = sdp_media_raddr(v->sdp);
	if (ra && sa_isset(ra, SA_ALL))
		v->raddr = *ra;
	rxfilter_set(v->rxf, v->sdp);
	if (const struct sa *peer = rxfilter_peer(v->rxf))
		v->raddr = *peer;
	// RTCP follows the video where a new offer or answer moves it.
	struct sa rtcp;
	sdp_media_raddr_rtcp(v->sdp, &rtcp);
	if (sa_isset(&v->raddr, SA_ALL) && sa_isset(&rtcp, SA_ALL) &&
	    (!v->rtcp_started || !sa_cmp(&rtcp, &v->rtcp, SA_ALL))) {
		rtcp_start(v->rtp, "sipua", &rtcp);
		v->rtcp = rtcp;
		v->rtcp_started = true;
	}
	apply(v);
}

int video_secure(struct video *v, bool offer)
{
	return v ? sdes_update(v->sdes, offer) : 0;
}

void video_start(struct video *v, enum vidmode vmode)
{
	if (!v)
		return;
	v->started = true;
	v->vmode = vmode;
	apply(v);
}

void video_refuse(struct video *v)
{
	if (v)
		sdp_media_set_disabled(v->sdp, true);
}

void video_ringing(struct video *v)
{
	if (!v || v->ringing)
		return;
	v->ringing = true;
	apply(v);
}

bool video_refresh(struct video *v)
{
	return v && avsrc_refresh(v->src);
}

bool video_taken(const struct video *v)
{
	return v && sdp_media_rport(v->sdp) && sdp_media_rformat(v->sdp, "H264");
}
