// SRTP keyed by SDES (RFC 4568) on libre's SRTP. Each media line has its own
// keys: ours, made here, go into our SDP; the peer's come from its a=crypto
// line. A UDP helper on the line's RTP and RTCP sockets encrypts on the way
// out and decrypts on the way in; a packet that fails its check is dropped
// before anything parses it.
//
// Threads: the audio source's thread sends RTP through the helper, the loop
// sends RTCP and receives everything. The sending contexts are made once,
// before the first packet goes out, and never replaced; RTP and RTCP each
// have their own, so the two threads never share one.
#include "srtp.h"

#include "call.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace {

enum {
	KEY_LEN = 30,          // 128-bit master key and 112-bit salt
	WRAP_WINDOW = 2048,    // sequence numbers taken as just past a wrap
};

struct suite_def {
	const char *name;
	enum srtp_suite suite;
};

// In our order of preference; offered with tags 1 and 2.
const suite_def suites[] = {
	{"AES_CM_128_HMAC_SHA1_80", SRTP_AES_CM_128_HMAC_SHA1_80},
	{"AES_CM_128_HMAC_SHA1_32", SRTP_AES_CM_128_HMAC_SHA1_32},
};
constexpr int SUITES = sizeof(suites) / sizeof(suites[0]);

bool enabled = false;
enum menc_mode default_mode = MENC_NONE;

struct crypto_line {
	uint32_t tag;
	int suite;
	uint8_t key[KEY_LEN];
};

} // namespace

struct sdes {
	struct call *call;
	const char *name;           // "audio", "video"
	struct sdp_media *m;
	struct udp_sock *us[2];     // RTP, RTCP
	struct udp_helper *uh[2];
	enum menc_mode mode;
	uint8_t key[SUITES][KEY_LEN];  // ours, one per suite
	uint32_t ltag[SUITES];      // the tag each suite has in our SDP, 0: none
	int suite;                  // agreed suite, -1 before
	uint8_t rkey[KEY_LEN];      // the peer's key in use
	struct srtp *tx_rtp, *tx_rtcp, *rx_rtp, *rx_rtcp;
	bool tx_on;                 // atomic: the sender thread reads it
	bool rx_on;
	bool got_sdp;
	// The peer's stream as last authenticated (see rtp_decrypt).
	uint32_t ssrc;
	uint16_t seq;
	bool seq_set;
	unsigned failures;
	struct tmr tmr;             // raises the secure event from the loop
	bool announced;
};

namespace {

void destructor(void *arg)
{
	auto *s = static_cast<struct sdes *>(arg);
	tmr_cancel(&s->tmr);
	// The helpers leave their sockets before the sockets may go.
	for (int i = 0; i < 2; ++i) {
		mem_deref(s->uh[i]);
		mem_deref(s->us[i]);
	}
	mem_deref(s->tx_rtp);
	mem_deref(s->tx_rtcp);
	mem_deref(s->rx_rtp);
	mem_deref(s->rx_rtcp);
	mem_deref(s->m);
	// The keys do not outlive the call in freed memory.
	memset(s->key, 0, sizeof(s->key));
	memset(s->rkey, 0, sizeof(s->rkey));
}

// Version 2: RTP or RTCP (RFC 5764 tells them from STUN and DTLS so).
bool is_rtp_family(const struct mbuf *mb)
{
	return mbuf_get_left(mb) >= 2 && (mbuf_buf(mb)[0] & 0xc0) == 0x80;
}

// RTCP packet types 192-223 (RFC 5761), whatever the socket.
bool is_rtcp(const struct mbuf *mb)
{
	const uint8_t pt = mbuf_buf(mb)[1] & 0x7f;
	return pt >= 64 && pt <= 95;
}

const char *why(int err)
{
	switch (err) {
	case EAUTH:    return "authentication failed";
	case EALREADY: return "replayed";
	case ERANGE:   return "numbered out of the stream's window";
	case EPERM:    return "not encrypted";
	default:       return "malformed";
	}
}

// Counted always; logged once, then (debug trace) at 2, 4, 8, ... so that
// a flood cannot flood the log too.
void drop(struct sdes *s, int err)
{
	sipua_count(SIPUA_MEDIA_DROPPED);
	const unsigned n = ++s->failures;
	if (n == 1)
		sipua_warn("srtp: %s: dropped a packet (%s)\n", s->name,
			   why(err));
	else if (!(n & (n - 1)))
		sipua_log("srtp: %s: %u packets dropped, the last %s\n",
			  s->name, n, why(err));
}

bool send_handler(int *err, struct sa *dst, struct mbuf *mb, void *arg)
{
	(void)dst;
	auto *s = static_cast<struct sdes *>(arg);
	if (!__atomic_load_n(&s->tx_on, __ATOMIC_ACQUIRE)) {
		// Until keys are agreed a line that must be encrypted sends
		// nothing; otherwise it is plain RTP.
		return s->mode == MENC_SRTP_MAND;
	}
	if (!is_rtp_family(mb))
		return false;
	const int e = is_rtcp(mb) ? srtcp_encrypt(s->tx_rtcp, mb)
				  : srtp_encrypt(s->tx_rtp, mb);
	if (e) {
		*err = e;
		return true;  // never sent in clear
	}
	return false;
}

// libre 1.1.0 moves a stream's roll-over counter before it checks the tag:
// one forged packet numbered half a cycle away would put every later real
// packet out of step. Such a number reaches it only just past a wrap of the
// sequence numbers last authenticated.
int rtp_decrypt(struct sdes *s, struct mbuf *mb)
{
	if (mbuf_get_left(mb) < RTP_HEADER_SIZE)
		return EBADMSG;
	const uint8_t *p = mbuf_buf(mb);
	const uint16_t seq = (uint16_t)(p[2] << 8 | p[3]);
	const uint32_t ssrc = (uint32_t)p[8] << 24 | (uint32_t)p[9] << 16 |
			      (uint32_t)p[10] << 8 | p[11];
	const bool known = s->seq_set && ssrc == s->ssrc;
	bool wrap = false;
	if (known && (int)seq - (int)s->seq <= -32768) {
		if (seq >= WRAP_WINDOW || s->seq < 65536 - WRAP_WINDOW)
			return ERANGE;
		wrap = true;
	}
	const int err = srtp_decrypt(s->rx_rtp, mb);
	if (err)
		return err;
	if (!known || wrap || seq > s->seq) {
		s->ssrc = ssrc;
		s->seq = seq;
		s->seq_set = true;
	}
	return 0;
}

bool recv_handler(struct sa *src, struct mbuf *mb, void *arg)
{
	(void)src;
	auto *s = static_cast<struct sdes *>(arg);
	if (!s->got_sdp && s->mode != MENC_NONE)
		return true;  // keys may still come with the peer's SDP
	if (!s->rx_on) {
		if (s->mode != MENC_SRTP_MAND)
			return false;
		drop(s, EPERM);
		return true;
	}
	if (!is_rtp_family(mb)) {
		drop(s, EBADMSG);
		return true;
	}
	const int err = is_rtcp(mb) ? srtcp_decrypt(s->rx_rtcp, mb)
				    : rtp_decrypt(s, mb);
	if (err) {
		drop(s, err);
		return true;
	}
	return false;
}

void announce(void *arg)
{
	auto *s = static_cast<struct sdes *>(arg);
	char prm[64];
	// As the original library reports it: event 0 (secure), line, suite.
	(void)re_snprintf(prm, sizeof(prm), "0,%s,%s", s->name,
			  suites[s->suite].name);
	sipua_log("srtp: %s: SRTP on (%s)\n", s->name, suites[s->suite].name);
	(void)call_media_event(s->call, UA_EVENT_CALL_MENC, prm);
}

int suite_find(const struct pl *name)
{
	for (int i = 0; i < SUITES; ++i) {
		if (!pl_strcmp(name, suites[i].name))
			return i;
	}
	return -1;
}

// "tag suite inline:key[|lifetime]": one key, no MKI and no session
// parameters (they would change how packets are protected).
bool crypto_decode(struct crypto_line *c, const char *val)
{
	struct pl tag, suite, method, info, rest;
	if (re_regex(val, str_len(val), "[0-9]+[ ]+[^ ]+[ ]+[^:]+:[^ ]+[^]*",
		     &tag, nullptr, &suite, nullptr, &method, &info, &rest) ||
	    tag.p != val)
		return false;
	for (size_t i = 0; i < rest.l; ++i) {
		if (rest.p[i] != ' ' && rest.p[i] != '\t' &&
		    rest.p[i] != '\r' && rest.p[i] != '\n')
			return false;
	}
	if (tag.l > 9 || pl_strcmp(&method, "inline") ||
	    pl_strchr(&info, ';'))
		return false;
	c->tag = pl_u32(&tag);
	c->suite = suite_find(&suite);
	if (c->suite < 0)
		return false;
	struct pl key = info;
	const char *bar = pl_strchr(&info, '|');
	if (bar) {
		key.l = (size_t)(bar - info.p);
		struct pl more = {bar + 1, info.l - key.l - 1};
		if (pl_strchr(&more, ':'))  // an MKI
			return false;
	}
	uint8_t buf[64];
	size_t n = sizeof(buf);
	if (base64_decode(key.p, key.l, buf, &n) || n != KEY_LEN)
		return false;
	memcpy(c->key, buf, KEY_LEN);
	memset(buf, 0, sizeof(buf));
	return true;
}

struct pick {
	struct sdes *s;
	bool offer;
	struct crypto_line c;
};

// An offer's first line we can use; in an answer, only a line that takes
// up one of ours (same tag, same suite).
bool pick_handler(const char *name, const char *value, void *arg)
{
	(void)name;
	auto *p = static_cast<struct pick *>(arg);
	struct crypto_line c;
	if (!crypto_decode(&c, value))
		return false;
	if (!p->offer && p->s->ltag[c.suite] != c.tag)
		return false;
	p->c = c;
	return true;
}

int put_line(struct sdes *s, int suite, uint32_t tag)
{
	char b64[64];
	size_t n = sizeof(b64) - 1;
	int err = base64_encode(s->key[suite], KEY_LEN, b64, &n);
	if (err)
		return err;
	b64[n] = '\0';
	err = sdp_media_set_lattr(s->m, false, "crypto", "%u %s inline:%s",
				  tag, suites[suite].name, b64);
	memset(b64, 0, sizeof(b64));
	if (!err)
		s->ltag[suite] = tag;
	return err;
}

void clear_lines(struct sdes *s)
{
	sdp_media_del_lattr(s->m, "crypto");
	memset(s->ltag, 0, sizeof(s->ltag));
}

int start(struct sdes *s, const struct crypto_line *c)
{
	const enum srtp_suite suite = suites[c->suite].suite;
	int err = 0;
	if (!s->tx_rtp) {
		err = srtp_alloc(&s->tx_rtp, suite, s->key[c->suite], KEY_LEN,
				 0);
		err |= srtp_alloc(&s->tx_rtcp, suite, s->key[c->suite],
				  KEY_LEN, 0);
		if (err)
			return err;
	}
	// A new key from the peer starts new receiving contexts; the same
	// key keeps them, and with them the replay window.
	if (!s->rx_on || memcmp(s->rkey, c->key, KEY_LEN)) {
		struct srtp *rtp = nullptr, *rtcp = nullptr;
		err = srtp_alloc(&rtp, suite, c->key, KEY_LEN, 0);
		err |= srtp_alloc(&rtcp, suite, c->key, KEY_LEN, 0);
		if (err) {
			mem_deref(rtp);
			mem_deref(rtcp);
			return err;
		}
		mem_deref(s->rx_rtp);
		mem_deref(s->rx_rtcp);
		s->rx_rtp = rtp;
		s->rx_rtcp = rtcp;
		s->seq_set = false;
		memcpy(s->rkey, c->key, KEY_LEN);
	}
	s->suite = c->suite;
	s->rx_on = true;
	__atomic_store_n(&s->tx_on, true, __ATOMIC_RELEASE);
	if (!s->announced) {
		s->announced = true;
		tmr_start(&s->tmr, 0, announce, s);
	}
	return 0;
}

enum menc_mode mode_decode(const struct pl *val, bool *ok)
{
	*ok = true;
	if (!pl_strcasecmp(val, "srtp"))
		return MENC_SRTP;
	if (!pl_strcasecmp(val, "srtp-mand") ||
	    !pl_strcasecmp(val, "srtp-mandf"))
		return MENC_SRTP_MAND;
	if (!pl_strcasecmp(val, "none") || !pl_isset(val))
		return MENC_NONE;
	*ok = false;
	return MENC_NONE;
}

} // namespace

enum menc_mode menc_decode(const struct pl *val)
{
	bool ok;
	const enum menc_mode m = mode_decode(val, &ok);
	if (!ok)
		sipua_warn("mediaenc: '%r' not available, calls are plain\n",
			   val);
	return ok ? m : MENC_NONE;
}

int srtp_module_init(void)
{
	enabled = true;
	default_mode = MENC_NONE;
	struct pl val;
	if (conf_cur() && !conf_get(conf_cur(), "mediaenc_default", &val))
		default_mode = menc_decode(&val);
	return 0;
}

void srtp_module_close(void)
{
	enabled = false;
	default_mode = MENC_NONE;
}

bool srtp_enabled(void)
{
	return enabled;
}

enum menc_mode srtp_mode(const struct account *acc)
{
	if (!enabled)
		return MENC_NONE;
	if (!acc || acc->menc == MENC_DEFAULT)
		return default_mode;
	return acc->menc;
}

const char *srtp_proto(enum menc_mode mode)
{
	return mode == MENC_SRTP_MAND ? sdp_proto_rtpsavp : sdp_proto_rtpavp;
}

int sdes_alloc(struct sdes **sp, struct call *call, const char *name,
	       struct sdp_media *m, struct rtp_sock *rtp, enum menc_mode mode)
{
	if (!enabled)
		return 0;
	auto *s = static_cast<struct sdes *>(
		mem_zalloc(sizeof(struct sdes), destructor));
	if (!s)
		return ENOMEM;
	s->call = call;
	s->name = name;
	s->m = static_cast<struct sdp_media *>(mem_ref(m));
	s->mode = mode;
	s->suite = -1;
	tmr_init(&s->tmr);
	int err = 0;
	if (getrandom(s->key, sizeof(s->key), 0) != (ssize_t)sizeof(s->key))
		err = EIO;
	// Offers come plain or as RTP/SAVP; either is answered in kind.
	if (!err)
		err = sdp_media_set_alt_protos(m, 2, sdp_proto_rtpavp,
					       sdp_proto_rtpsavp);
	for (int i = 0; i < 2 && !err; ++i) {
		struct udp_sock *us = static_cast<struct udp_sock *>(
			i ? rtcp_sock(rtp) : rtp_sock(rtp));
		if (!us)
			continue;
		s->us[i] = static_cast<struct udp_sock *>(mem_ref(us));
		err = udp_register_helper(&s->uh[i], us, LAYER_SRTP,
					  send_handler, recv_handler, s);
	}
	// Our offer carries a key for each suite; an answer keeps only the
	// one the peer's offer picks.
	for (int i = 0; i < SUITES && !err && mode != MENC_NONE; ++i)
		err = put_line(s, i, (uint32_t)i + 1);
	if (err) {
		mem_deref(s);
		return err;
	}
	*sp = s;
	return 0;
}

int sdes_update(struct sdes *s, bool offer)
{
	if (!s)
		return 0;
	s->got_sdp = true;
	if (!sdp_media_rport(s->m)) {
		// A line that is off carries nothing, but an audio line
		// refused in answer to RTP/SAVP is SRTP refused.
		const bool refused = !offer && !s->rx_on &&
				     s->mode == MENC_SRTP_MAND &&
				     !strcmp(s->name, "audio");
		return refused ? EPROTO : 0;
	}
	struct pick p;
	memset(&p, 0, sizeof(p));
	p.s = s;
	p.offer = offer;
	const bool found = sdp_media_rattr_apply(s->m, "crypto", pick_handler,
						 &p) != nullptr;
	const bool savp = offer && !str_casecmp(sdp_media_proto(s->m),
						sdp_proto_rtpsavp);
	int err = 0;
	if (!found) {
		if (s->mode == MENC_SRTP_MAND || s->rx_on || savp)
			err = EPROTO;
		else if (offer)
			clear_lines(s);  // a plain offer gets a plain answer
	}
	// The suite stays for the call: the sender's context is in use.
	else if (s->suite >= 0 && p.c.suite != s->suite) {
		err = EPROTO;
	}
	else {
		clear_lines(s);
		err = put_line(s, p.c.suite, p.c.tag);
		if (!err)
			err = start(s, &p.c);
	}
	memset(&p.c, 0, sizeof(p.c));
	return err;
}
