// Call media: a G.711 stream of silence every 20 ms so peers see RTP, RFC 4733
// telephone events both ways, RTP-established and RTP-timeout detection.
#include "media.h"

#include "video.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>

namespace {

enum {
	PTIME = 20,
	SAMPLES = 160,     // 20 ms at 8 kHz
	PT_TEL = 101,
};

void rtp_handler(const struct sa *src, const struct rtp_header *hdr,
		 struct mbuf *mb, void *arg)
{
	(void)src;
	auto *call = static_cast<struct call *>(arg);
	if (call->closed)
		return;
	call->last_rx = tmr_jiffies();

	if (!call->rtp_estab) {
		call->rtp_estab = true;
		if (!call_media_event(call, UA_EVENT_CALL_RTPESTAB, "audio"))
			return;
	}

	const struct sdp_format *tel =
		call->am ? sdp_media_rformat(call->am, telev_rtpfmt) : nullptr;
	const int pt_rx = tel ? tel->pt : PT_TEL;
	if (hdr->pt != pt_rx || !call->telev)
		return;

	int event;
	bool end;
	if (telev_recv(call->telev, mb, &event, &end))
		return;
	const int key = telev_code2digit(event);
	if (key < 0)
		return;
	const char prm[2] = {(char)key, '\0'};
	(void)call_media_event(call, end ? UA_EVENT_CALL_DTMF_END
					 : UA_EVENT_CALL_DTMF_START, prm);
}

void rtcp_handler(const struct sa *src, struct rtcp_msg *msg, void *arg)
{
	(void)src;
	(void)msg;
	auto *call = static_cast<struct call *>(arg);
	// RTCP alone also shows the peer is there.
	call->last_rx = tmr_jiffies();
}

void tx_handler(void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	tmr_start(&call->tmr_tx, PTIME, tx_handler, call);

	if (!sa_isset(&call->raddr, SA_ALL))
		return;

	struct mbuf *mb = mbuf_alloc((size_t)RTP_HEADER_SIZE + (size_t)SAMPLES);
	if (!mb)
		return;

	bool marker = false;
	mb->pos = mb->end = RTP_HEADER_SIZE;
	if (call->telev && call->pt_tel_tx >= 0 &&
	    !telev_poll(call->telev, &marker, mb)) {
		if (marker)
			call->ts_tel = call->ts;
		mb->pos = RTP_HEADER_SIZE;
		(void)rtp_send(call->rtp, &call->raddr, false, marker,
			       (uint8_t)call->pt_tel_tx, call->ts_tel, mb);
		call->tel_sending = true;
	}
	else {
		call->tel_sending = false;
		const uint8_t silence = call->pt_tx == 8 ? 0xd5 : 0xff;
		mb->pos = mb->end = RTP_HEADER_SIZE;
		(void)mbuf_fill(mb, silence, SAMPLES);
		mb->pos = RTP_HEADER_SIZE;
		(void)rtp_send(call->rtp, &call->raddr, false, !call->tx_started,
			       (uint8_t)call->pt_tx, call->ts, mb);
		call->tx_started = true;
	}
	call->ts += SAMPLES;
	mem_deref(mb);
}

void rtpto_handler(void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	const uint64_t timeout = call->rtp_timeout_ms
					 ? call->rtp_timeout_ms
					 : (uint64_t)sipua_rtp_timeout() * 1000;
	if (!timeout || call->closed)
		return;
	const uint64_t since = call->last_rx > call->estab_time
				       ? call->last_rx : call->estab_time;
	if (tmr_jiffies() - since >= timeout) {
		call->scode = 701;  // the library's code for a failed stream
		call_terminate(call, 0, nullptr, true, "rtp stream error");
		return;
	}
	tmr_start(&call->tmr_rtpto, 500, rtpto_handler, call);
}

int add_audio_formats(struct sdp_media *m)
{
	int err = sdp_format_add(nullptr, m, false, "0", "PCMU", 8000, 1,
				 nullptr, nullptr, nullptr, false, nullptr);
	err |= sdp_format_add(nullptr, m, false, "8", "PCMA", 8000, 1,
			      nullptr, nullptr, nullptr, false, nullptr);
	err |= sdp_format_add(nullptr, m, false, "101", telev_rtpfmt, 8000, 1,
			      nullptr, nullptr, nullptr, false, "0-15");
	err |= sdp_media_set_lattr(m, true, "ptime", "%u", PTIME);
	return err;
}

} // namespace

int media_alloc(struct call *call, bool video)
{
	const struct config *cfg = uag.cfg ? uag.cfg : conf_config();
	const uint16_t pmin = (uint16_t)cfg->avt.rtp_ports.min;
	const uint16_t pmax = (uint16_t)cfg->avt.rtp_ports.max;
	call->pt_tx = 0;
	call->pt_tel_tx = -1;
	call->ts = rand_u32();

	int err = sdp_session_alloc(&call->sdp, &uag.laddr);
	if (err)
		return err;
	err = rtp_listen(&call->rtp, IPPROTO_UDP, &uag.laddr, pmin, pmax,
			 true, rtp_handler, rtcp_handler, call);
	if (err)
		return err;
	err = sdp_media_add(&call->am, call->sdp, "audio",
			    sa_port(rtp_local(call->rtp)), "RTP/AVP");
	if (err)
		return err;
	err = add_audio_formats(call->am);
	if (err)
		return err;
	err = telev_alloc(&call->telev, PTIME);
	if (err)
		return err;

	if (video)
		err = video_alloc(&call->video, call, call->sdp);
	return err;
}

void media_close(struct call *call)
{
	tmr_cancel(&call->tmr_tx);
	tmr_cancel(&call->tmr_rtpto);
	call->rtp = (struct rtp_sock *)mem_deref(call->rtp);
	call->video = (struct video *)mem_deref(call->video);
	call->telev = (struct telev *)mem_deref(call->telev);
	call->am = nullptr;
	call->sdp = (struct sdp_session *)mem_deref(call->sdp);
}

bool media_codec_ok(const struct call *call)
{
	if (!call->am || !sdp_media_rport(call->am))
		return false;
	return sdp_media_rformat(call->am, "PCMU") ||
	       sdp_media_rformat(call->am, "PCMA");
}

void media_update(struct call *call)
{
	video_update(call->video);
	if (!call->am)
		return;
	const struct sdp_format *f = sdp_media_rformat(call->am, nullptr);
	// The first common G.711 format in the peer's order.
	const struct sdp_format *u = sdp_media_rformat(call->am, "PCMU");
	const struct sdp_format *a = sdp_media_rformat(call->am, "PCMA");
	if (u && a)
		f = (f == a) ? a : u;
	else
		f = u ? u : a;
	if (f)
		call->pt_tx = f->pt;
	const struct sdp_format *tel =
		sdp_media_rformat(call->am, telev_rtpfmt);
	call->pt_tel_tx = tel ? tel->pt : -1;

	const struct sa *ra = sdp_media_raddr(call->am);
	if (ra && sa_isset(ra, SA_ALL))
		call->raddr = *ra;

	if (!call->rtcp_started && sa_isset(&call->raddr, SA_ALL)) {
		struct sa rtcp;
		sdp_media_raddr_rtcp(call->am, &rtcp);
		rtcp_start(call->rtp, "sipua", &rtcp);
		call->rtcp_started = true;
	}
}

void media_start(struct call *call)
{
	video_start(call->video);
	if (!call->rtp || tmr_isrunning(&call->tmr_tx))
		return;
	tmr_start(&call->tmr_tx, 0, tx_handler, call);
	if ((call->rtp_timeout_ms || sipua_rtp_timeout()) &&
	    !tmr_isrunning(&call->tmr_rtpto)) {
		if (!call->estab_time)
			call->estab_time = tmr_jiffies();
		tmr_start(&call->tmr_rtpto, 500, rtpto_handler, call);
	}
}

extern "C" {

int call_send_digit(struct call *call, char key)
{
	if (!call || call->closed || !call->telev)
		return EINVAL;
	if (key == KEYCODE_REL || key == KEYCODE_NONE)
		return telev_send(call->telev, 0, true);
	const int code = telev_digit2code((unsigned char)key);
	if (code < 0)
		return EINVAL;
	if (call->pt_tel_tx < 0 && call->sess) {
		// The peer has no telephone events: send the key as INFO.
		struct mbuf *mb = mbuf_alloc(32);
		if (!mb)
			return ENOMEM;
		int err = mbuf_printf(mb, "Signal=%c\r\nDuration=250\r\n", key);
		mb->pos = 0;
		if (!err)
			err = sipsess_info(call->sess, "application/dtmf-relay",
					   mb, nullptr, nullptr);
		mem_deref(mb);
		sipua_wake();
		return err;
	}
	int err = telev_send(call->telev, code, false);
	sipua_wake();
	return err;
}

bool call_has_audio(const struct call *call)
{
	return call && !call->closed && call->am && call->rtp;
}

struct audio *call_audio(const struct call *call)
{
	return call_has_audio(call) ? (struct audio *)call->am : nullptr;
}

void call_enable_rtp_timeout(struct call *call, uint32_t timeout_ms)
{
	if (!call || call->closed)
		return;
	call->rtp_timeout_ms = timeout_ms;
	if (timeout_ms && call->state == CALL_STATE_ESTABLISHED &&
	    !tmr_isrunning(&call->tmr_rtpto))
		tmr_start(&call->tmr_rtpto, 500, rtpto_handler, call);
	sipua_wake();
}

int call_get_raddress(void *buf, size_t size, const struct call *call)
{
	if (!buf || size < sizeof(struct sockaddr_in) || !call)
		return EINVAL;
	struct sockaddr_in sin;
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	const struct sa *ra = call->am ? sdp_media_raddr(call->am) : nullptr;
	if (ra && sa_af(ra) == AF_INET) {
		sin.sin_port = htons(sa_port(ra));
		sin.sin_addr.s_addr = htonl(sa_in(ra));
	}
	else if (ra && sa_af(ra) != AF_UNSPEC && sa_isset(ra, SA_ADDR)) {
		return EAFNOSUPPORT;
	}
	memcpy(buf, &sin, sizeof(sin));
	return 0;
}

} // extern "C"
