// One call's audio pipeline, owned by the loop thread. While the source runs,
// its thread encodes and sends each frame it reads, as baresip's "poll" mode
// does; the loop's timer sends instead when there is no source or it has
// ended. Everything the sending reads or the loop changes for it (parameters,
// queued keys, RTP timestamp and marker) is under tx_lock. The player's
// thread pulls from the playout buffer once play_on says it is set up.
// Between the devices and the codec the audio is mono at the codec's rate;
// a codec of another rate (a re-offer) restarts the devices.
#include "audio.h"

#include "aufilt.h"
#include "playout.h"
#include "resamp.h"

#include <cerrno>
#include <cstring>

namespace {

enum {
	MAX_SAMPC = 48 * 60 * 2,  // 60 ms at 48 kHz stereo
	MAX_PAYLOAD = 1500,       // 60 ms of any codec, within a datagram
	MAX_LOST = 5,             // packets concealed by the codec at most
	MAX_GAP_FRAMES = 5,       // a loop stalled longer skips the lost time
	MAX_BURST = 16,           // packets sent for one frame of the source
};

} // namespace

struct audio {
	struct audio_prm prm;    // written under tx_lock, by the loop only
	uint32_t ptime;
	uint32_t srate;          // the codec's, between devices and codec
	bool started;
	bool stopped;
	audio_send_h *sendh;
	audio_event_h *eventh;
	void *arg;

	const char *src_drv;     // driver names, for the devices' log lines
	const char *play_drv;

	// sending
	pthread_mutex_t tx_lock;
	bool tx_dev;             // under tx_lock: the source's thread sends
	bool src_ended;          // under tx_lock: it stopped by itself
	struct ausrc_st *ausrc;
	struct ausrc_prm sprm;
	struct mqueue *mq;       // tells the loop that the source ended
	struct aubuf *txbuf;     // at srate, mono
	struct resamp *txrs;     // from the source's rate; null at srate mono
	struct auenc_state *enc; // of prm.tx
	struct tmr tmr_tx;       // loop thread: sends while tx_dev is false
	uint64_t tx_next;        // jiffies of the timer's next frame
	uint32_t ts;
	uint32_t ts_tel;
	bool marker;             // the next audio packet starts a talkspurt
	struct telev *telev;     // sending side under tx_lock
	struct mbuf *txmb;
	int16_t tx_srcv[MAX_SAMPC];  // the source's thread, under tx_lock
	int16_t tx_pcmv[MAX_SAMPC];

	// receiving (loop thread puts, the player's thread takes)
	struct playout *pout;
	struct auplay_st *auplay;
	struct auplay_prm pprm;
	bool play_on;            // stored (release) once the player is set up
	struct resamp *rxrs;     // to the player's rate; null at srate mono
	// decoding (loop thread): the state of the codec last heard, and the
	// last packet, for the codec's own concealment of a loss
	struct audec_state *dec;
	const struct aucodec *dec_ac;
	bool rx_set;
	uint32_t rx_ssrc;
	uint16_t rx_seq;
	uint32_t rx_ts;
	// the key being pressed: one press is one RTP timestamp of one sender
	bool key_set;
	bool key_started;
	bool key_ended;
	uint32_t key_ssrc;
	uint32_t key_ts;

	int16_t pcmv[MAX_SAMPC];
	// player thread: srate from the playout, and what the resampler made
	// of it beyond the last frame
	int16_t play8v[MAX_SAMPC];
	int16_t playv[2 * MAX_SAMPC];
	size_t play_n;

	// echo, noise and gain at the devices' rates; stored (release) once
	// both devices are open, read by their threads
	struct aufilt_chain *filt;
};

namespace {

bool play_on(const struct audio *a)
{
	return __atomic_load_n(&a->play_on, __ATOMIC_ACQUIRE);
}

struct aufilt_chain *filters(const struct audio *a)
{
	return __atomic_load_n(&a->filt, __ATOMIC_ACQUIRE);
}

// Devices first: once their threads have ended, nothing sends any more.
void stop_all(struct audio *a)
{
	a->stopped = true;
	tmr_cancel(&a->tmr_tx);
	a->ausrc = (struct ausrc_st *)mem_deref(a->ausrc);
	a->auplay = (struct auplay_st *)mem_deref(a->auplay);
	a->filt = (struct aufilt_chain *)mem_deref(a->filt);
	a->mq = (struct mqueue *)mem_deref(a->mq);
}

void destructor(void *arg)
{
	auto *a = static_cast<struct audio *>(arg);
	stop_all(a);
	mem_deref(a->txbuf);
	mem_deref(a->txrs);
	mem_deref(a->rxrs);
	mem_deref(a->pout);
	mem_deref(a->telev);
	mem_deref(a->txmb);
	mem_deref(a->enc);
	mem_deref(a->dec);
	pthread_mutex_destroy(&a->tx_lock);
}

// Sending (the source's thread, or the loop's timer; under tx_lock) ----------

uint32_t tx_ptime(const struct audio *a)
{
	return a->prm.ptime_tx ? a->prm.ptime_tx : a->ptime;
}

// Samples of one frame at srate, and its timestamp step at the codec's
// clock (8000 before a codec is chosen).
size_t frame_samples(const struct audio *a)
{
	return a->srate / 1000 * tx_ptime(a);
}

uint32_t frame_ts(const struct audio *a)
{
	const uint32_t clock = a->prm.tx ? a->prm.tx->crate : 8000;
	return clock / 1000 * tx_ptime(a);
}

// One frame of the source into a->tx_pcmv; silence without one.
void read_source(struct audio *a, size_t n)
{
	struct aubuf *ab = a->txbuf;
	if (!ab) {
		memset(a->tx_pcmv, 0, n * sizeof(int16_t));
		return;
	}
	aubuf_read_samp(ab, a->tx_pcmv, n);
}

// One packet: a key's event while one is being sent, else the audio.
void send_frame(struct audio *a)
{
	const size_t n = frame_samples(a);
	read_source(a, n);
	const struct aucodec *ac = a->prm.tx;
	if (!ac || !(a->prm.dir & SDP_SENDONLY) || ac->srate != a->srate) {
		a->marker = true;
		a->ts += frame_ts(a);
		return;
	}
	struct mbuf *mb = a->txmb;
	bool marker = false;
	mb->pos = mb->end = RTP_HEADER_SIZE;
	if (a->prm.pt_tel_tx >= 0 && !telev_poll(a->telev, &marker, mb)) {
		if (marker)
			a->ts_tel = a->ts;
		mb->pos = RTP_HEADER_SIZE;
		(void)a->sendh(&a->prm.raddr, (uint8_t)a->prm.pt_tel_tx,
			       marker, a->ts_tel, mb, a->arg);
	}
	else {
		mb->pos = mb->end = RTP_HEADER_SIZE;
		size_t len = mbuf_get_space(mb);
		if (!ac->ench(a->enc, mbuf_buf(mb), &len, a->tx_pcmv, n)) {
			mb->end += len;
			(void)a->sendh(&a->prm.raddr, (uint8_t)a->prm.pt_tx,
				       a->marker, a->ts, mb, a->arg);
			a->marker = false;
		}
	}
	a->ts += frame_ts(a);
}

// Paced by absolute time: each frame has its own due time, so the timer's
// own lateness never adds up.
void tx_handler(void *arg)
{
	auto *a = static_cast<struct audio *>(arg);
	pthread_mutex_lock(&a->tx_lock);
	const uint32_t ptime = tx_ptime(a);
	const uint64_t now = tmr_jiffies();
	if (now > a->tx_next + (uint64_t)MAX_GAP_FRAMES * ptime) {
		// A stalled loop: skip the lost time, as the clock did.
		const uint64_t missed = (now - a->tx_next) / ptime;
		a->ts += (uint32_t)missed * frame_ts(a);
		a->tx_next += missed * ptime;
		a->marker = true;
	}
	while (a->tx_next <= now) {
		send_frame(a);
		a->tx_next += ptime;
	}
	pthread_mutex_unlock(&a->tx_lock);
	tmr_start(&a->tmr_tx, a->tx_next - now, tx_handler, a);
}

void timer_start(struct audio *a)
{
	a->tx_next = tmr_jiffies();
	tmr_start(&a->tmr_tx, 0, tx_handler, a);
}

// The loop hears that the source has ended: its timer sends from now on.
void src_ended(int id, void *data, void *arg)
{
	(void)id;
	(void)data;
	auto *a = static_cast<struct audio *>(arg);
	pthread_mutex_lock(&a->tx_lock);
	const bool dev = a->tx_dev;
	pthread_mutex_unlock(&a->tx_lock);
	if (!dev && !a->stopped && !tmr_isrunning(&a->tmr_tx))
		timer_start(a);
}

// Device side (their own threads) -------------------------------------------

// Each frame of the source goes out at once, in packets of the peer's ptime
// (the aubuf keeps what does not fill one). The source reads frames of that
// ptime, so one frame is one packet and the packets leave evenly spaced.
void src_read(struct auframe *af, void *arg)
{
	auto *a = static_cast<struct audio *>(arg);
	pthread_mutex_lock(&a->tx_lock);
	if (a->tx_dev) {
		aufilt_chain_encode(filters(a), af);
		size_t n = MAX_SAMPC;
		if (!a->txrs)
			(void)aubuf_write_samp(a->txbuf, af->sampv, af->sampc);
		else if (!resamp_run(a->txrs, a->tx_srcv, &n, af->sampv,
				     af->sampc))
			(void)aubuf_write_samp(a->txbuf, a->tx_srcv, n);
		const size_t bytes = frame_samples(a) * sizeof(int16_t);
		for (int i = 0;
		     i < MAX_BURST && aubuf_cur_size(a->txbuf) >= bytes; ++i)
			send_frame(a);
	}
	pthread_mutex_unlock(&a->tx_lock);
}

// The player takes what is due at srate mono, made into its own rate. The
// resampler's output does not come in whole frames: what it made beyond the
// frame waits for the next one.
void play_fill(struct audio *a, struct auframe *af)
{
	if (!play_on(a) || af->sampc > MAX_SAMPC) {
		memset(af->sampv, 0, af->sampc * sizeof(int16_t));
		return;
	}
	if (!a->rxrs) {
		playout_get(a->pout, af->sampv, af->sampc);
		return;
	}
	const size_t n8 = a->srate / 100;  // 10 ms a step
	while (a->play_n < af->sampc) {
		playout_get(a->pout, a->play8v, n8);
		size_t outc = sizeof(a->playv) / sizeof(int16_t) - a->play_n;
		if (resamp_run(a->rxrs, a->playv + a->play_n, &outc,
			       a->play8v, n8)) {
			a->play_n = 0;
			memset(af->sampv, 0, af->sampc * sizeof(int16_t));
			return;
		}
		a->play_n += outc;
	}
	memcpy(af->sampv, a->playv, af->sampc * sizeof(int16_t));
	a->play_n -= af->sampc;
	memmove(a->playv, a->playv + af->sampc, a->play_n * sizeof(int16_t));
}

// What is played, silence too, is the echo canceller's reference.
void play_write(struct auframe *af, void *arg)
{
	auto *a = static_cast<struct audio *>(arg);
	play_fill(a, af);
	aufilt_chain_decode(filters(a), af);
}

// One line per fault, naming the device; err 0 when there is no code.
void dev_error(const char *kind, const char *mod, const char *dev, int err,
	       const char *what)
{
	if (!err)
		sipua_warn("audio: %s %s,%s: %s\n", kind, mod, dev, what);
	else if (what)
		sipua_warn("audio: %s %s,%s: %s: %m\n", kind, mod, dev, what,
			   err);
	else
		sipua_warn("audio: %s %s,%s: %m\n", kind, mod, dev, err);
}

// The source's thread ends after this: the call goes on with silence.
void src_error(int err, const char *str, void *arg)
{
	auto *a = static_cast<struct audio *>(arg);
	if (err || str)
		dev_error("source", a->src_drv, sipua_config()->audio.src_dev,
			  err, str);
	pthread_mutex_lock(&a->tx_lock);
	a->tx_dev = false;
	a->src_ended = true;
	a->marker = true;
	pthread_mutex_unlock(&a->tx_lock);
	(void)mqueue_push(a->mq, 0, nullptr);
}

void play_error(int err, const char *str, void *arg)
{
	auto *a = static_cast<struct audio *>(arg);
	dev_error("player", a->play_drv, sipua_config()->audio.play_dev, err,
		  str);
}

// Bytes of `ms` milliseconds of audio, at least one byte.
size_t buf_bytes(uint32_t ms, uint32_t srate, uint8_t ch)
{
	const size_t n = (size_t)srate * ch * ms / 1000 * sizeof(int16_t);
	return n ? n : 1;
}

// Any rate from 8 kHz to 48 kHz, mono or stereo.
bool rate_ok(uint32_t srate, uint8_t ch)
{
	return srate >= 8000 && srate <= 48000 && ch && ch <= 2;
}

// A device running at srate/ch gets its resampler from or to the codec's
// rate, mono; the source also its buffer, at that rate, read as soon as it
// holds a packet (the player takes from the playout buffer).
int device_setup(const struct audio *a, struct resamp **rsp,
		 struct aubuf **txbufp, uint32_t srate, uint8_t ch)
{
	if (!rate_ok(srate, ch))
		return ENOTSUP;
	int err = 0;
	if (srate != a->srate || ch != 1)
		err = txbufp ? resamp_alloc(rsp, srate, ch, a->srate, 1)
			     : resamp_alloc(rsp, a->srate, 1, srate, ch);
	if (err || !txbufp)
		return err;
	struct aubuf *ab = nullptr;
	err = aubuf_alloc(&ab, sizeof(int16_t),
			  buf_bytes(sipua_config()->audio.buffer.max, a->srate, 1));
	if (!err)
		__atomic_store_n(txbufp, ab, __ATOMIC_RELEASE);
	return err;
}

// False without a driver: none configured, or one named but not loaded
// (said once).
bool driver_ok(const void *drv, const char *kind, const char *mod,
	       const char *dev)
{
	if (!drv && str_isset(mod))
		dev_error(kind, mod, dev, 0, "driver not loaded");
	return drv != nullptr;
}

void start_source(struct audio *a)
{
	const struct config_audio *c = &sipua_config()->audio;
	const struct ausrc *as = ausrc_find(baresip_ausrcl(), c->src_mod);
	if (!driver_ok(as, "source", c->src_mod, c->src_dev))
		return;
	a->src_drv = as->name;
	a->sprm = {c->srate_src ? c->srate_src : a->srate,
		   (uint8_t)(c->channels_src ? c->channels_src : 1),
		   tx_ptime(a)};
	int err = mqueue_alloc(&a->mq, src_ended, a);
	if (!err)
		err = as->alloch(&a->ausrc, as, &a->sprm, c->src_dev,
				 src_read, src_error, a);
	if (!err)
		err = device_setup(a, &a->txrs, &a->txbuf, a->sprm.srate,
				   a->sprm.ch);
	if (err) {
		dev_error("source", as->name, c->src_dev, err, nullptr);
		a->ausrc = (struct ausrc_st *)mem_deref(a->ausrc);
		a->mq = (struct mqueue *)mem_deref(a->mq);
		return;
	}
	// A source that ended already has told the loop so.
	pthread_mutex_lock(&a->tx_lock);
	a->tx_dev = !a->src_ended;
	pthread_mutex_unlock(&a->tx_lock);
}

void start_player(struct audio *a)
{
	const struct config_audio *c = &sipua_config()->audio;
	const struct auplay *ap = auplay_find(baresip_auplayl(), c->play_mod);
	if (!driver_ok(ap, "player", c->play_mod, c->play_dev))
		return;
	a->play_drv = ap->name;
	a->pprm = {c->srate_play ? c->srate_play : a->srate,
		   (uint8_t)(c->channels_play ? c->channels_play : 1),
		   a->ptime};
	int err = ap->alloch(&a->auplay, ap, &a->pprm, c->play_dev,
			     play_write, play_error, a);
	if (!err)
		err = device_setup(a, &a->rxrs, nullptr, a->pprm.srate,
				   a->pprm.ch);
	if (!err)
		__atomic_store_n(&a->play_on, true, __ATOMIC_RELEASE);
	if (err) {
		dev_error("player", ap->name, c->play_dev, err, nullptr);
		a->auplay = (struct auplay_st *)mem_deref(a->auplay);
	}
}

// Receiving (loop thread) ----------------------------------------------------

// A timestamp of the codec's clock as a place in samples at srate.
uint32_t ts_samples(const struct aucodec *ac, uint32_t ts)
{
	if (ac->srate == ac->crate)
		return ts;
	return (uint32_t)((uint64_t)ts * ac->srate / ac->crate);
}

// Packets lost just before this one from the same sender are made up by the
// codec itself where it can (Opus); the playout conceals the rest.
void conceal_lost(struct audio *a, const struct aucodec *ac,
		  const struct rtp_header *hdr)
{
	const uint16_t lost = (uint16_t)(hdr->seq - a->rx_seq - 1);
	if (!ac->plch || !a->rx_set || hdr->ssrc != a->rx_ssrc || !lost ||
	    lost > MAX_LOST)
		return;
	const uint32_t step = (hdr->ts - a->rx_ts) / (lost + 1u);
	for (uint16_t i = 1; i <= lost; ++i) {
		size_t n = MAX_SAMPC / 2;
		if (ac->plch(a->dec, a->pcmv, &n))
			return;
		playout_put(a->pout, hdr->ssrc,
			    ts_samples(ac, a->rx_ts + i * step), a->pcmv, n);
	}
}

// A codec of another rate than the devices' is not heard (a peer that
// switches codecs against its answer).
void decode(struct audio *a, const struct rtp_header *hdr, struct mbuf *mb)
{
	const struct aucodec *ac = a->prm.rx[hdr->pt & 0x7f];
	if (!ac || !mbuf_get_left(mb) || ac->srate != a->srate)
		return;
	if (ac != a->dec_ac) {
		a->dec = (struct audec_state *)mem_deref(a->dec);
		a->dec_ac = ac;
		a->rx_set = false;
		if (ac->decupdh && ac->decupdh(&a->dec, ac, nullptr))
			a->dec_ac = nullptr;
	}
	if (!a->dec_ac)
		return;
	conceal_lost(a, ac, hdr);
	if ((int16_t)(hdr->seq - a->rx_seq) > 0 || !a->rx_set ||
	    hdr->ssrc != a->rx_ssrc) {
		a->rx_set = true;
		a->rx_ssrc = hdr->ssrc;
		a->rx_seq = hdr->seq;
		a->rx_ts = hdr->ts;
	}
	size_t n = MAX_SAMPC / 2;  // 60 ms at 48 kHz
	if (ac->dech(a->dec, a->pcmv, &n, mbuf_buf(mb), mbuf_get_left(mb)))
		return;
	playout_put(a->pout, hdr->ssrc, ts_samples(ac, hdr->ts), a->pcmv, n);
}

// RTP padding (RFC 3550 5.1): the last byte counts the bytes to drop,
// itself included; a count beyond the payload makes the packet void.
bool strip_padding(const struct rtp_header *hdr, struct mbuf *mb)
{
	if (!hdr->pad)
		return true;
	const size_t left = mbuf_get_left(mb);
	if (!left)
		return false;
	const uint8_t count = mb->buf[mb->end - 1];
	if (!count || count > left)
		return false;
	mb->end -= count;
	return true;
}

// RFC 4733: a press is sent as several packets with the timestamp of its
// start, the last three marked as its end, and any may come late or twice.
// A press is raised once, start before end, even when its start packets came
// after its end or not at all.
void recv_telev(struct audio *a, const struct rtp_header *hdr,
		struct mbuf *mb)
{
	if (mbuf_get_left(mb) < 4)
		return;
	const uint8_t *p = mbuf_buf(mb);
	const int key = telev_code2digit(p[0]);
	const bool end = p[1] & 0x80;
	if (key < 0)
		return;
	const bool sender = a->key_set && hdr->ssrc == a->key_ssrc;
	if (!sender || hdr->ts != a->key_ts) {
		if (sender && (int32_t)(hdr->ts - a->key_ts) < 0)
			return;  // a press before the current one
		a->key_set = true;
		a->key_ssrc = hdr->ssrc;
		a->key_ts = hdr->ts;
		a->key_started = a->key_ended = false;
	}
	const char prm[2] = {(char)key, '\0'};
	if (!a->key_started) {
		a->key_started = true;
		if (!a->eventh(UA_EVENT_CALL_DTMF_START, prm, a->arg))
			return;
	}
	if (end && !a->key_ended) {
		a->key_ended = true;
		(void)a->eventh(UA_EVENT_CALL_DTMF_END, prm, a->arg);
	}
}

// Fixed counts frames of our ptime, as baresip does; adaptive is in
// milliseconds; off plays each packet as it comes.
int playout_setup(struct audio *a)
{
	const struct config_avt *avt = &sipua_config()->avt;
	struct playout_prm pp = {false, 0, 0, a->srate};
	if (avt->audio.jbtype == JBUF_ADAPTIVE)
		pp = {true, avt->audio.jbuf_del.min, avt->audio.jbuf_del.max,
		      a->srate};
	else if (avt->audio.jbtype == JBUF_FIXED)
		pp = {false, avt->audio.jbuf_del.min * a->ptime,
		      avt->audio.jbuf_del.max * a->ptime, a->srate};
	a->pout = (struct playout *)mem_deref(a->pout);
	return playout_alloc(&a->pout, &pp);
}

// Loop thread, outside tx_lock: the devices stop (their threads end), what
// runs at the old rate is made anew, and they start again.
void set_rate(struct audio *a, uint32_t srate)
{
	tmr_cancel(&a->tmr_tx);
	a->ausrc = (struct ausrc_st *)mem_deref(a->ausrc);
	a->auplay = (struct auplay_st *)mem_deref(a->auplay);
	a->mq = (struct mqueue *)mem_deref(a->mq);
	__atomic_store_n(&a->play_on, false, __ATOMIC_RELEASE);
	pthread_mutex_lock(&a->tx_lock);
	a->tx_dev = a->src_ended = false;
	a->txbuf = (struct aubuf *)mem_deref(a->txbuf);
	a->txrs = (struct resamp *)mem_deref(a->txrs);
	a->srate = srate;
	pthread_mutex_unlock(&a->tx_lock);
	a->rxrs = (struct resamp *)mem_deref(a->rxrs);
	a->play_n = 0;
	a->dec = (struct audec_state *)mem_deref(a->dec);
	a->dec_ac = nullptr;
	if (playout_setup(a))
		sipua_warn("audio: no playout buffer at %u Hz\n", srate);
	if (!a->started || a->stopped)
		return;
	start_player(a);
	start_source(a);
	pthread_mutex_lock(&a->tx_lock);
	const bool dev = a->tx_dev;
	pthread_mutex_unlock(&a->tx_lock);
	if (!dev)
		timer_start(a);
}

} // namespace

int audio_alloc(struct audio **ap, uint32_t ptime, audio_send_h *sendh,
		audio_event_h *eventh, void *arg)
{
	if (!ap || !ptime || ptime > 60 || !sendh || !eventh)
		return EINVAL;
	auto *a = static_cast<struct audio *>(
		mem_zalloc(sizeof(struct audio), destructor));
	if (!a)
		return ENOMEM;
	pthread_mutex_init(&a->tx_lock, nullptr);
	tmr_init(&a->tmr_tx);
	a->ptime = ptime;
	a->sendh = sendh;
	a->eventh = eventh;
	a->arg = arg;
	a->ts = rand_u32();
	a->marker = true;
	a->srate = 8000;
	a->prm.pt_tx = a->prm.pt_tel_tx = -1;
	a->prm.dir = SDP_SENDRECV;
	int err = telev_alloc(&a->telev, ptime);
	a->txmb = mbuf_alloc((size_t)RTP_HEADER_SIZE + MAX_PAYLOAD);
	if (!a->txmb)
		err = ENOMEM;
	if (!err)
		err = playout_setup(a);
	if (err) {
		mem_deref(a);
		return err;
	}
	*ap = a;
	return 0;
}

void audio_update(struct audio *a, const struct audio_prm *prm)
{
	if (!a || !prm)
		return;
	const struct aucodec *tx = prm->tx;
	if (tx && tx->srate != a->srate)
		set_rate(a, tx->srate);
	const uint32_t ptime = prm->ptime_tx;
	pthread_mutex_lock(&a->tx_lock);
	const bool same = tx == a->prm.tx;
	a->prm = *prm;
	a->prm.tx_fmtp = nullptr;  // the SDP's, gone after this
	// A peer's ptime is a wish: one our encoder cannot meet gets our own
	// packet time rather than no audio.
	if (ptime < 10 || ptime > 60 || ptime % 10 ||
	    (tx && tx->ptimes && !(tx->ptimes & (1u << (ptime / 10 - 1)))))
		a->prm.ptime_tx = a->ptime;
	if (!same)
		a->enc = (struct auenc_state *)mem_deref(a->enc);
	if (tx && tx->encupdh && tx->encupdh(&a->enc, tx, prm->tx_fmtp)) {
		sipua_warn("audio: %s encoder failed\n", tx->name);
		a->prm.tx = nullptr;
	}
	if (tx)
		(void)telev_set_srate(a->telev, tx->crate);
	pthread_mutex_unlock(&a->tx_lock);
	// The source reads frames of the packets' length, so that they
	// leave evenly spaced, also after a re-offer changed it.
	audev_set_ptime(a->ausrc, tx_ptime(a));
}

void audio_set_raddr(struct audio *a, const struct sa *raddr)
{
	if (!a || !raddr)
		return;
	pthread_mutex_lock(&a->tx_lock);
	a->prm.raddr = *raddr;
	pthread_mutex_unlock(&a->tx_lock);
}

void audio_start(struct audio *a)
{
	if (!a || a->started || a->stopped)
		return;
	a->started = true;
	start_player(a);
	start_source(a);
	const struct aufilt_prm enc = {a->ausrc ? a->sprm.srate : 0,
				       a->sprm.ch},
			      dec = {a->auplay ? a->pprm.srate : 0,
				     a->pprm.ch};
	struct aufilt_chain *ch = nullptr;
	if (!aufilt_chain_alloc(&ch, &enc, &dec))
		__atomic_store_n(&a->filt, ch, __ATOMIC_RELEASE);
	pthread_mutex_lock(&a->tx_lock);
	const bool dev = a->tx_dev;
	pthread_mutex_unlock(&a->tx_lock);
	if (!dev)
		timer_start(a);
}

void audio_stop(struct audio *a)
{
	if (a)
		stop_all(a);
}

void audio_recv(struct audio *a, const struct rtp_header *hdr,
		struct mbuf *mb)
{
	if (!a || !hdr || !mb || !strip_padding(hdr, mb))
		return;
	if (a->prm.tel_rx[hdr->pt & 0x7f]) {
		recv_telev(a, hdr, mb);
		return;
	}
	if (!play_on(a) || !(a->prm.dir & SDP_RECVONLY))
		return;
	decode(a, hdr, mb);
}

int audio_send_digit(struct audio *a, char key)
{
	if (!a)
		return EINVAL;
	const bool release = key == KEYCODE_REL || key == KEYCODE_NONE;
	const int code = release ? 0 : telev_digit2code((unsigned char)key);
	if (code < 0)
		return EINVAL;
	pthread_mutex_lock(&a->tx_lock);
	const int err = telev_send(a->telev, code, release);
	pthread_mutex_unlock(&a->tx_lock);
	return err;
}
