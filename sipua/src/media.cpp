// Call media: the RTP/RTCP sockets and SDP of a call, what the offer/answer
// exchange gives its audio (codec, telephone events, direction),
// RTP-established and RTP-timeout detection. The audio itself is audio.cpp's.
#include "media.h"
#include "audio.h"
#include "mnat.h"
#include "rxfilter.h"
#include "srtp.h"
#include "video.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

namespace {

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

// The account's codecs, else all in module order.
const struct aucodec *codec_at(const struct account *acc, size_t i)
{
	if (acc->aucodecc)
		return i < acc->aucodecc ? acc->aucodecv[i] : nullptr;
	return aucodec_at(i);
}

// Each codec keeps its record in the format's data, so what the exchange
// matched names its codec. Telephone events go at 8000 (payload type 101,
// what every peer takes) and at each other clock a codec runs at, since
// their timestamps are the audio's.
int add_audio_formats(struct sdp_media *m, const struct account *acc)
{
	int err = 0;
	const struct aucodec *ac;
	uint32_t clocks[8] = {8000};
	size_t nclocks = 1;
	for (size_t i = 0; (ac = codec_at(acc, i)) != nullptr; ++i) {
		char id[8];
		(void)re_snprintf(id, sizeof(id), "%d", ac->pt);
		err |= sdp_format_add(nullptr, m, false,
				      ac->pt >= 0 ? id : nullptr, ac->name,
				      ac->crate, ac->ch, nullptr, nullptr,
				      (void *)ac, false,
				      str_isset(ac->fmtp) ? "%s" : nullptr,
				      ac->fmtp);
		size_t k = 0;
		while (k < nclocks && clocks[k] != ac->crate)
			++k;
		if (k == nclocks && nclocks < 8)
			clocks[nclocks++] = ac->crate;
	}
	for (size_t k = 0; k < nclocks; ++k)
		err |= sdp_format_add(nullptr, m, false, k ? nullptr : "101",
				      telev_rtpfmt, clocks[k], 1, nullptr,
				      nullptr, nullptr, false, "0-15");
	err |= sdp_media_set_lattr(m, true, "ptime", "%u", acc->ptime);
	return err;
}

bool is_telev(const struct sdp_format *f)
{
	return f->name && !str_casecmp(f->name, telev_rtpfmt);
}

// The first of the peer's formats that matched one of our codecs, in the
// peer's order. A static payload type needs no rtpmap (RFC 3551).
const struct sdp_format *remote_codec(const struct sdp_media *m)
{
	if (!m || !sdp_media_rport(m))
		return nullptr;
	const struct list *l = sdp_media_format_lst(m, false);
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *f = static_cast<const struct sdp_format *>(le->data);
		if (f->sup && f->data && !is_telev(f))
			return f;
	}
	return nullptr;
}

// Payload types the peer may send with: our formats that the exchange
// matched, as it numbered them (one left out may carry a number the peer
// gave to another), and the static ones of our codecs.
void receive_codecs(const struct call *call, struct audio_prm *prm)
{
	const struct aucodec *ac;
	for (size_t i = 0; (ac = codec_at(call->ua->acc, i)) != nullptr; ++i)
		if (ac->pt >= 0)
			prm->rx[ac->pt] = ac;
	const struct list *l = sdp_media_format_lst(call->am, true);
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *f = static_cast<const struct sdp_format *>(le->data);
		if (!f->sup || f->pt < 0 || f->pt >= 128)
			continue;
		if (is_telev(f))
			prm->tel_rx[f->pt] = true;
		else if (f->data)
			prm->rx[f->pt] =
				static_cast<const struct aucodec *>(f->data);
	}
}

// The peer's telephone events at the clock of the audio we send, else any.
int telev_pt(const struct sdp_media *m, const struct aucodec *tx)
{
	int pt = -1;
	const struct list *l = sdp_media_format_lst(m, false);
	for (struct le *le = l ? l->head : nullptr; le; le = le->next) {
		auto *f = static_cast<const struct sdp_format *>(le->data);
		if (!f->sup || !is_telev(f))
			continue;
		if (pt < 0 || (tx && f->srate == tx->crate))
			pt = f->pt;
	}
	return pt;
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

void mnat_ready(void *arg)
{
	auto *call = static_cast<struct call *>(arg);
	if (!call->closed)
		call_media_ready(call);
}

} // namespace

int media_alloc(struct call *call, bool video)
{
	const struct config *cfg = sipua_config();
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
	if (!err)
		err = mnat_alloc(&call->mnat, call->ua->acc, mnat_ready, call);
	if (!err)
		err = mnat_media_add(call->mnat, call->rtp, call->am);
	if (err)
		return err;
	err = add_audio_formats(call->am, call->ua->acc);
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
	call->mnat = (struct mnat *)mem_deref(call->mnat);
	call->sdes = (struct sdes *)mem_deref(call->sdes);
	call->rxf = (struct rxfilter *)mem_deref(call->rxf);
	call->rtp = (struct rtp_sock *)mem_deref(call->rtp);
	call->video = (struct video *)mem_deref(call->video);
	call->am = nullptr;
	call->sdp = (struct sdp_session *)mem_deref(call->sdp);
}

bool media_codec_ok(const struct call *call)
{
	return remote_codec(call->am) != nullptr;
}

void media_update(struct call *call)
{
	video_update(call->video);
	if (!call->am)
		return;
	struct audio_prm prm;
	memset(&prm, 0, sizeof(prm));
	if (const struct sdp_format *f = remote_codec(call->am)) {
		prm.tx = static_cast<const struct aucodec *>(f->data);
		prm.pt_tx = f->pt;
		prm.tx_fmtp = f->params;
	}
	prm.pt_tel_tx = telev_pt(call->am, prm.tx);
	const char *ptime = sdp_media_rattr(call->am, "ptime");
	prm.ptime_tx = ptime ? (uint32_t)atoi(ptime) : 0;
	prm.dir = sdp_media_rport(call->am) ? sdp_media_dir(call->am)
					    : SDP_INACTIVE;
	receive_codecs(call, &prm);
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
		const uint32_t clock = prm.tx ? prm.tx->crate : 8000;
		rtcp_set_srate(call->rtp, clock, clock);
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
