// Call media: the RTP/RTCP sockets and SDP of a call, what the offer/answer
// exchange gives its audio (codec, telephone events, direction),
// RTP-established and RTP-timeout detection. The audio itself is audio.cpp's.
#include "media.h"
#include "audio.h"
#include "rxfilter.h"
#include "srtp.h"
#include "video.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

namespace {

enum {
	PT_TEL = 101,
};

// On the audio source's thread too: libre's rtp_send runs on any thread as
// long as one sends at a time (its RTCP session locks the counts it shares
// with the loop), and the audio serialises its sends.
int send_handler(const struct sa *dst, uint8_t pt, bool marker, uint32_t ts,
		 struct mbuf *mb, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (!sa_isset(dst, SA_ALL))
		return 0;
	return rtp_send(call->rtp, dst, false, marker, pt, ts, mb);
}

bool event_handler(enum ua_event ev, const char *prm, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	// Keys open doors: only once the call is up.
	if ((ev == UA_EVENT_CALL_DTMF_START || ev == UA_EVENT_CALL_DTMF_END) &&
	    call->state != CALL_STATE_ESTABLISHED)
		return !call->closed;
	return call_media_event(call, ev, prm);
}

// rtp_latch: the peer answers from behind a NAT; the audio follows it.
void latch_handler(const struct sa *src, void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	call->raddr = *src;
	audio_set_raddr(call->audio, src);
}

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
	// A key's handler may end the call: the audio outlives this packet.
	auto *a = static_cast<struct audio *>(mem_ref(call->audio));
	audio_recv(a, hdr, mb);
	mem_deref(a);
}

void rtcp_handler(const struct sa *src, struct rtcp_msg *msg, void *arg)
{
	(void)src;
	(void)msg;
	auto *call = static_cast<struct call *>(arg);
	// RTCP alone also shows the peer is there.
	call->last_rx = tmr_jiffies();
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

int add_audio_formats(struct sdp_media *m, uint32_t ptime)
{
	int err = 0;
	const struct aucodec *ac;
	for (size_t i = 0; (ac = aucodec_at(i)) != nullptr; ++i) {
		char id[8];
		(void)re_snprintf(id, sizeof(id), "%d", ac->pt);
		err |= sdp_format_add(nullptr, m, false, id, ac->name,
				      ac->srate, ac->ch, nullptr, nullptr,
				      nullptr, false, nullptr);
	}
	err |= sdp_format_add(nullptr, m, false, "101", telev_rtpfmt, 8000, 1,
			      nullptr, nullptr, nullptr, false, "0-15");
	err |= sdp_media_set_lattr(m, true, "ptime", "%u", ptime);
	return err;
}

// The first of the peer's formats that we have too, in the peer's order.
// A static payload type needs no rtpmap (RFC 3551).
const struct aucodec *remote_codec(const struct sdp_media *m, int *pt)
{
	if (!m || !sdp_media_rport(m))
		return nullptr;
	const struct list *l = sdp_media_format_lst(m, false);
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *f = static_cast<const struct sdp_format *>(le->data);
		const struct aucodec *ac = aucodec_find(f->name, f->pt);
		if (f->sup && ac && (!f->name || f->srate == ac->srate)) {
			*pt = f->pt;
			return ac;
		}
	}
	return nullptr;
}

// Payload types the peer may send with: ours, static ones as numbered.
void receive_codecs(const struct sdp_media *m, struct audio_prm *prm)
{
	const struct aucodec *ac;
	for (size_t i = 0; (ac = aucodec_at(i)) != nullptr; ++i)
		prm->rx[ac->pt] = ac;
	const struct list *l = sdp_media_format_lst(m, true);
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *f = static_cast<const struct sdp_format *>(le->data);
		ac = aucodec_find(f->name, f->pt);
		if (ac && f->pt >= 0 && f->pt < 128)
			prm->rx[f->pt] = ac;
	}
}

// The audio line in the transport the account's encryption asks for.
int add_audio_line(struct call *call)
{
	const enum menc_mode mode = srtp_mode(call->ua->acc);
	int err = sdp_media_add(&call->am, call->sdp, "audio",
				sa_port(rtp_local(call->rtp)),
				srtp_proto(mode));
	if (!err)
		err = sdes_alloc(&call->sdes, call, "audio", call->am,
				 call->rtp, mode);
	return err;
}

} // namespace

int media_alloc(struct call *call, bool video)
{
	const struct config *cfg = uag.cfg ? uag.cfg : conf_config();
	const uint16_t pmin = (uint16_t)cfg->avt.rtp_ports.min;
	const uint16_t pmax = (uint16_t)cfg->avt.rtp_ports.max;
	const uint32_t ptime = call->ua->acc->ptime;

	int err = sdp_session_alloc(&call->sdp, &uag.laddr);
	if (err)
		return err;
	err = rtp_listen(&call->rtp, IPPROTO_UDP, &uag.laddr, pmin, pmax,
			 true, rtp_handler, rtcp_handler, call);
	if (!err)
		err = rxfilter_alloc(&call->rxf, call->rtp, "audio",
				     &call->media_warned, latch_handler, call);
	if (err)
		return err;
	err = add_audio_line(call);
	if (err)
		return err;
	err = add_audio_formats(call->am, ptime);
	if (err)
		return err;
	err = audio_alloc(&call->audio, ptime, send_handler, event_handler,
			  call);
	if (err)
		return err;

	if (video)
		err = video_alloc(&call->video, call, call->sdp);
	return err;
}

void media_close(struct call *call)
{
	tmr_cancel(&call->tmr_rtpto);
	// The devices stop before the socket their frames go to, even when a
	// packet's handler still holds the audio.
	audio_stop(call->audio);
	call->audio = (struct audio *)mem_deref(call->audio);
	// The socket's helpers go before the socket.
	call->sdes = (struct sdes *)mem_deref(call->sdes);
	call->rxf = (struct rxfilter *)mem_deref(call->rxf);
	call->rtp = (struct rtp_sock *)mem_deref(call->rtp);
	call->video = (struct video *)mem_deref(call->video);
	call->am = nullptr;
	call->sdp = (struct sdp_session *)mem_deref(call->sdp);
}

bool media_codec_ok(const struct call *call)
{
	int pt;
	return remote_codec(call->am, &pt) != nullptr;
}

void media_update(struct call *call)
{
	video_update(call->video);
	if (!call->am)
		return;
	struct audio_prm prm;
	memset(&prm, 0, sizeof(prm));
	prm.tx = remote_codec(call->am, &prm.pt_tx);
	const struct sdp_format *tel =
		sdp_media_rformat(call->am, telev_rtpfmt);
	prm.pt_tel_tx = tel ? tel->pt : -1;
	// The peer sends keys with the number our side of the SDP gave.
	const struct list *l = sdp_media_format_lst(call->am, true);
	prm.pt_tel_rx = PT_TEL;
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *f = static_cast<const struct sdp_format *>(le->data);
		if (f->name && !str_casecmp(f->name, telev_rtpfmt))
			prm.pt_tel_rx = f->pt;
	}
	const char *ptime = sdp_media_rattr(call->am, "ptime");
	prm.ptime_tx = ptime ? (uint32_t)atoi(ptime) : 0;
	prm.dir = sdp_media_rport(call->am) ? sdp_media_dir(call->am)
					    : SDP_INACTIVE;
	receive_codecs(call->am, &prm);
	const struct sa *ra = sdp_media_raddr(call->am);
	if (ra && sa_isset(ra, SA_ALL))
		call->raddr = *ra;
	rxfilter_set(call->rxf, call->am);
	if (const struct sa *peer = rxfilter_peer(call->rxf))
		call->raddr = *peer;
	prm.raddr = call->raddr;
	audio_update(call->audio, &prm);

	if (!call->rtcp_started && sa_isset(&call->raddr, SA_ALL)) {
		struct sa rtcp;
		sdp_media_raddr_rtcp(call->am, &rtcp);
		rtcp_set_srate(call->rtp, 8000, 8000);
		rtcp_start(call->rtp, "sipua", &rtcp);
		call->rtcp_started = true;
	}
}

int media_secure(struct call *call, bool offer)
{
	const int err = sdes_update(call->sdes, offer);
	return err ? err : video_secure(call->video, offer);
}

void media_start(struct call *call)
{
	video_start(call->video);
	if (!call->rtp)
		return;
	audio_start(call->audio);
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
	if (!call || call->closed || !call->audio)
		return EINVAL;
	const bool release = key == KEYCODE_REL || key == KEYCODE_NONE;
	if (!release && telev_digit2code((unsigned char)key) < 0)
		return EINVAL;
	if (!release && call->am && call->sess &&
	    !sdp_media_rformat(call->am, telev_rtpfmt)) {
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
		return err;
	}
	int err = audio_send_digit(call->audio, key);
	return err;
}

bool call_has_audio(const struct call *call)
{
	return call && !call->closed && call->am && call->rtp;
}

bool call_has_video(const struct call *call)
{
	return call && !call->closed && video_taken(call->video);
}

struct audio *call_audio(const struct call *call)
{
	return call_has_audio(call) ? call->audio : nullptr;
}

void call_enable_rtp_timeout(struct call *call, uint32_t timeout_ms)
{
	if (!call || call->closed)
		return;
	call->rtp_timeout_ms = timeout_ms;
	if (timeout_ms && call->state == CALL_STATE_ESTABLISHED &&
	    !tmr_isrunning(&call->tmr_rtpto))
		tmr_start(&call->tmr_rtpto, 500, rtpto_handler, call);
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
