// Call media: the RTP/RTCP sockets and SDP of a call, what the offer/answer
// exchange gives its audio (codec, telephone events, direction),
// RTP-established and RTP-timeout detection. The audio itself is audio.cpp's,
// the video video.cpp's; this record owns both.
#include "media.h"
#include "audio.h"
#include "call.h"
#include "mnat.h"
#include "rxfilter.h"
#include "srtp.h"
#include "video.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

struct media {
	struct call *call;        // the owner
	struct sdp_session *sdp;
	struct sdp_media *am;     // the audio line
	struct rtp_sock *rtp;
	struct sdes *sdes;        // SRTP of the audio line
	struct rxfilter *rxf;     // the audio sockets take the peer only
	struct mnat *mnat;        // the public addresses, with STUN
	struct audio *audio;
	struct video *video;      // m=video, when offered or answered
	struct tmr tmr_rtpto;
	struct sa raddr;
	uint64_t estab_time;      // the RTP timeout counts from here
	uint64_t last_rx;         // the peer's last RTP or RTCP, any stream
	uint32_t rtp_timeout_ms;  // 0: the configured rtp_timeout
	bool warned;              // a stranger's datagram was logged
	bool rtcp_started;
	bool rtp_estab;
	bool closed;
};

namespace {

// On the audio source's thread too: libre's rtp_send runs on any thread as
// long as one sends at a time (its RTCP session locks the counts it shares
// with the loop), and the audio serialises its sends.
int send_handler(const struct sa *dst, uint8_t pt, bool marker, uint32_t ts,
		 struct mbuf *mb, void *arg)
{
	auto *m = static_cast<struct media *>(arg);
	if (!sa_isset(dst, SA_ALL))
		return 0;
	return rtp_send(m->rtp, dst, false, marker, pt, ts, mb);
}

bool event_handler(enum ua_event ev, const char *prm, void *arg)
{
	return call_media_event(static_cast<struct media *>(arg)->call, ev,
				prm);
}

// rtp_latch: the peer answers from behind a NAT; the audio follows it.
void latch_handler(const struct sa *src, void *arg)
{
	auto *m = static_cast<struct media *>(arg);
	m->raddr = *src;
	audio_set_raddr(m->audio, src);
}

void rtp_handler(const struct sa *src, const struct rtp_header *hdr,
		 struct mbuf *mb, void *arg)
{
	(void)src;
	auto *m = static_cast<struct media *>(arg);
	if (m->closed)
		return;
	m->last_rx = tmr_jiffies();

	if (!m->rtp_estab) {
		m->rtp_estab = true;
		if (!call_media_event(m->call, UA_EVENT_CALL_RTPESTAB, "audio"))
			return;
	}
	// A key's handler may end the call: the audio outlives this packet.
	auto *a = static_cast<struct audio *>(mem_ref(m->audio));
	audio_recv(a, hdr, mb);
	mem_deref(a);
}

void rtcp_handler(const struct sa *src, struct rtcp_msg *msg, void *arg)
{
	(void)src;
	(void)msg;
	// RTCP alone also shows the peer is there.
	static_cast<struct media *>(arg)->last_rx = tmr_jiffies();
}

void rtpto_handler(void *arg)
{
	auto *m = static_cast<struct media *>(arg);
	const uint64_t timeout = m->rtp_timeout_ms
					 ? m->rtp_timeout_ms
					 : (uint64_t)sipua_rtp_timeout() * 1000;
	if (!timeout || m->closed)
		return;
	const uint64_t since = m->last_rx > m->estab_time ? m->last_rx
							  : m->estab_time;
	if (tmr_jiffies() - since >= timeout) {
		call_stream_error(m->call);
		return;
	}
	tmr_start(&m->tmr_rtpto, 500, rtpto_handler, m);
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
void receive_codecs(const struct media *m, struct audio_prm *prm)
{
	const struct account *acc = call_account(m->call);
	const struct aucodec *ac;
	for (size_t i = 0; (ac = codec_at(acc, i)) != nullptr; ++i)
		if (ac->pt >= 0)
			prm->rx[ac->pt] = ac;
	const struct list *l = sdp_media_format_lst(m->am, true);
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
int telev_pt(const struct sdp_media *am, const struct aucodec *tx)
{
	int pt = -1;
	const struct list *l = sdp_media_format_lst(am, false);
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
int add_audio_line(struct media *m, const struct account *acc)
{
	const enum menc_mode mode = srtp_mode(acc);
	int err = sdp_media_add(&m->am, m->sdp, "audio",
				sa_port(rtp_local(m->rtp)), srtp_proto(mode));
	if (!err)
		err = sdes_alloc(&m->sdes, m->call, "audio", m->am, m->rtp,
				 mode);
	return err;
}

void mnat_ready_handler(void *arg)
{
	call_media_ready(static_cast<struct media *>(arg)->call);
}

void destructor(void *arg)
{
	media_close(static_cast<struct media *>(arg));
}

int sockets_alloc(struct media *m, const struct account *acc)
{
	const struct config *cfg = sipua_config();
	int err = sdp_session_alloc(&m->sdp, &uag.laddr);
	if (!err)
		err = rtp_listen(&m->rtp, IPPROTO_UDP, &uag.laddr,
				 (uint16_t)cfg->avt.rtp_ports.min,
				 (uint16_t)cfg->avt.rtp_ports.max, true,
				 rtp_handler, rtcp_handler, m);
	if (!err)
		err = rxfilter_alloc(&m->rxf, m->rtp, "audio", &m->warned,
				     latch_handler, m);
	if (!err)
		err = add_audio_line(m, acc);
	if (!err)
		err = mnat_alloc(&m->mnat, acc, mnat_ready_handler, m);
	if (!err)
		err = mnat_media_add(m->mnat, m->rtp, m->am);
	return err;
}

} // namespace

int media_alloc(struct media **mp, struct call *call, bool video)
{
	const struct account *acc = call_account(call);
	auto *m = static_cast<struct media *>(
		mem_zalloc(sizeof(struct media), destructor));
	if (!m)
		return ENOMEM;
	m->call = call;
	tmr_init(&m->tmr_rtpto);
	int err = sockets_alloc(m, acc);
	if (!err)
		err = add_audio_formats(m->am, acc);
	if (!err)
		err = audio_alloc(&m->audio, acc->ptime, send_handler,
				  event_handler, m);
	if (!err && video)
		err = video_alloc(&m->video, call, m->sdp, m->mnat, &m->warned,
				  &m->last_rx);
	if (err) {
		mem_deref(m);
		return err;
	}
	*mp = m;
	return 0;
}

void media_close(struct media *m)
{
	if (!m)
		return;
	m->closed = true;
	tmr_cancel(&m->tmr_rtpto);
	// The devices stop before the socket their frames go to, even when a
	// packet's handler still holds the audio.
	audio_stop(m->audio);
	m->audio = (struct audio *)mem_deref(m->audio);
	// The socket's helpers go before the socket.
	m->mnat = (struct mnat *)mem_deref(m->mnat);
	m->sdes = (struct sdes *)mem_deref(m->sdes);
	m->rxf = (struct rxfilter *)mem_deref(m->rxf);
	m->rtp = (struct rtp_sock *)mem_deref(m->rtp);
	m->video = (struct video *)mem_deref(m->video);
	m->am = nullptr;
	m->sdp = (struct sdp_session *)mem_deref(m->sdp);
}

struct sdp_session *media_sdp(const struct media *m)
{
	return m ? m->sdp : nullptr;
}

struct sdp_media *media_audio_line(const struct media *m)
{
	return m ? m->am : nullptr;
}

bool media_has_audio(const struct media *m)
{
	return m && m->am && m->rtp;
}

struct audio *media_audio(const struct media *m)
{
	return m ? m->audio : nullptr;
}

struct video *media_video(const struct media *m)
{
	return m ? m->video : nullptr;
}

bool media_ready(const struct media *m)
{
	return mnat_ready(m ? m->mnat : nullptr);
}

bool media_codec_ok(const struct media *m)
{
	return remote_codec(m->am) != nullptr;
}

void media_update(struct media *m)
{
	video_update(m->video);
	if (!m->am)
		return;
	struct audio_prm prm;
	memset(&prm, 0, sizeof(prm));
	if (const struct sdp_format *f = remote_codec(m->am)) {
		prm.tx = static_cast<const struct aucodec *>(f->data);
		prm.pt_tx = f->pt;
		prm.tx_fmtp = f->params;
	}
	prm.pt_tel_tx = telev_pt(m->am, prm.tx);
	const char *ptime = sdp_media_rattr(m->am, "ptime");
	prm.ptime_tx = ptime ? (uint32_t)atoi(ptime) : 0;
	prm.dir = sdp_media_rport(m->am) ? sdp_media_dir(m->am)
					 : SDP_INACTIVE;
	receive_codecs(m, &prm);
	const struct sa *ra = sdp_media_raddr(m->am);
	if (ra && sa_isset(ra, SA_ALL))
		m->raddr = *ra;
	rxfilter_set(m->rxf, m->am);
	if (const struct sa *peer = rxfilter_peer(m->rxf))
		m->raddr = *peer;
	prm.raddr = m->raddr;
	audio_update(m->audio, &prm);

	if (!m->rtcp_started && sa_isset(&m->raddr, SA_ALL)) {
		struct sa rtcp;
		sdp_media_raddr_rtcp(m->am, &rtcp);
		const uint32_t clock = prm.tx ? prm.tx->crate : 8000;
		rtcp_set_srate(m->rtp, clock, clock);
		rtcp_start(m->rtp, "sipua", &rtcp);
		m->rtcp_started = true;
	}
}

int media_secure(struct media *m, bool offer)
{
	const int err = sdes_update(m->sdes, offer);
	return err ? err : video_secure(m->video, offer);
}

void media_start(struct media *m, enum vidmode vmode, bool established)
{
	if (established)
		m->estab_time = tmr_jiffies();
	video_start(m->video, vmode);
	if (!m->rtp)
		return;
	audio_start(m->audio);
	if ((m->rtp_timeout_ms || sipua_rtp_timeout()) &&
	    !tmr_isrunning(&m->tmr_rtpto)) {
		if (!m->estab_time)
			m->estab_time = tmr_jiffies();
		tmr_start(&m->tmr_rtpto, 500, rtpto_handler, m);
	}
}

void media_set_rtp_timeout(struct media *m, uint32_t timeout_ms,
			   bool established)
{
	m->rtp_timeout_ms = timeout_ms;
	if (timeout_ms && established && !tmr_isrunning(&m->tmr_rtpto))
		tmr_start(&m->tmr_rtpto, 500, rtpto_handler, m);
}

bool media_telev_missing(const struct media *m)
{
	return m && m->am && !sdp_media_rformat(m->am, telev_rtpfmt);
}

int media_send_digit(struct media *m, char key)
{
	return audio_send_digit(m->audio, key);
}
