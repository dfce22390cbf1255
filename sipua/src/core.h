// Records shared by the user agent's parts. Only sipua sees them; callers get
// the opaque handles of baresip.h.
#pragma once

#include <re.h>
#include <baresip.h>


// Media encryption of an account's calls; MENC_DEFAULT takes the config's.
enum menc_mode {
	MENC_DEFAULT = 0,
	MENC_NONE,
	MENC_SRTP,       // SRTP when the peer takes it, else plain RTP
	MENC_SRTP_MAND,  // RTP/SAVP only
};

struct account {
	char *aor;        // "sip:user@host:port"
	char *user;
	char *host;
	uint16_t port;
	char *auth_user;
	char *auth_pass;
	char *outbound;   // route towards the outbound proxy, null without one
	char *reg_uri;    // "sip:host:port[;transport=x]"
	uint32_t regint;
	uint32_t ptime;   // audio packet time [ms]
	enum answermode answermode;
	bool sipnat_outbound;  // RFC 5626 flow: reg-id and the server's keep-alives
	enum menc_mode menc;
	bool medianat_stun;    // the SDP names what a STUN server sees
	char *stunserver;      // "stun:host[:port]"
	// ;audio_codecs=a,b: these in this order; none named: all registered
	const struct aucodec *aucodecv[8];
	size_t aucodecc;
};

int account_alloc(struct account **accp, const char *text);

struct ua {
	struct le le;           // in the agent list
	struct account *acc;
	struct sipreg *reg;
	struct list calls;
	bool registered;
	unsigned auth_tries;
	struct tmr fail_tmr;    // reports a registration that cannot be sent
	struct sip_dialog *ka_dlg;   // keep-alive OPTIONS towards the registrar
	struct sip_request *ka_req;  // the one in flight, null when answered
	struct tmr ka_tmr;
	uint32_t ka_interval;        // [s], 0 while none run
};

struct call;

// Agent-wide state (one per process, like the library it stands in for).
struct uag {
	struct config *cfg;
	struct sip *sip;
	struct sipsess_sock *sock;
	struct sip_lsnr *lsnr;
	struct dnsc *dnsc;
	struct tls *tls;
	struct list ual;        // struct ua, in creation order
	struct list ehl;        // event handlers
	ua_exit_h *exith;
	void *exitarg;
	struct sa laddr;        // address for SDP and RTP
	bool stopping;
	bool exited;            // the stack has reported its exit
	struct tmr stop_tmr;    // bounds an orderly stop
	bool tls_on;
};

extern struct uag uag;

// Sends an event to every registered handler.
void ua_event(struct ua *ua, enum ua_event ev, struct call *call,
	      const char *fmt, ...);

struct ua *uag_find_call_owner(const struct call *call);

// Outgoing requests (route.cpp). EDESTADDRREQ, logged, when the next hop is
// a name under .invalid; 0 otherwise.
int next_hop_reserved(const char *what, const char *uri, const char *outbound);
// An INVITE's next hop; over TLS its connection is opened first. 0: the
// INVITE may go now, with flow_contact() as its Contact (null: the usual
// one); EINPROGRESS: readyh follows; else an error.
struct flow;
typedef void (flow_ready_h)(struct call *call, const char *contact, int err);
int  flow_open(struct flow **flowp, struct call *call, const char *req_uri,
	       const char *outbound, const char *user, flow_ready_h *readyh);
const char *flow_contact(const struct flow *f);
// The next hop (outbound proxy or request URI) of a call whose TLS
// connection to `peer` is opening, else null.
const char *flow_next_hop(const struct sa *peer);
void flow_trace(bool tx, enum sip_transp tp, const struct sa *src,
		const struct sa *dst, const uint8_t *pkt, size_t len,
		void *arg);

// Answers or drops a request the agent cannot take; true when it did.
bool request_screen(const struct sip_msg *msg);
// Whether an SDP body's connection addresses are ones the panel can send to
// (no multicast, no host name, its own family; 0.0.0.0 holds); if not, why.
bool sdp_addr_usable(const struct mbuf *mb, char *why, size_t size);
// An INVITE offering an address that is not is answered 488; true then.
bool offer_screen(const struct sip_msg *msg);

// Configuration helpers. The config in force: the application's (baresip_init)
// else the one read from the config file (or the defaults).
const struct config *sipua_config(void);
uint32_t sipua_rtp_timeout(void);
uint32_t sipua_max_conns(void);
// Keep-alive interval [s] from sip_keepalive (0: none), or AUTO when unset.
constexpr uint32_t SIPUA_KEEPALIVE_AUTO = UINT32_MAX;
uint32_t sipua_keepalive(void);
// Registration interval [s] (sip_regint) of accounts without their own.
uint32_t sipua_regint(void);
// Whether accounts ask for RFC 5626 flows unless they say (sip_outbound).
bool sipua_outbound(void);
// Media NAT and STUN server of accounts that name none (sip_medianat,
// sip_stunserver); the server null when unset.
bool sipua_medianat_stun(void);
const char *sipua_stunserver(void);

// TLS servers (tls.cpp): loads the CAs and, with cfg->verify_server, makes
// the panel's client handshakes verify the server.
int  tls_verify_setup(struct tls *tls, const struct config_sip *cfg);
// The last verification failure ("peer: certificate verify failed: why")
// when it is recent enough to be what ended a request over TLS.
bool tls_failure_recent(char *buf, size_t sz);

// Inbound TCP/TLS connections (conns.cpp): counts and caps what is accepted
// on the SIP stack's listening sockets; null stops the watch.
void conns_watch(struct sip *sip);
// Debug trace (with SIPUA_LOG=1) and warnings (always, to stderr).
void sipua_log(const char *fmt, ...);
void sipua_warn(const char *fmt, ...);

// Counters of what was refused from the network (sipua_counters_get).
enum sipua_counter {
	SIPUA_MEDIA_DROPPED,
	SIPUA_OFFER_REFUSED,
	SIPUA_CONN_REFUSED,
	SIPUA_TLS_FAILED,
	SIPUA_REFUSAL_UNLOGGED,
	SIPUA_COUNTER_MAX,
};
void sipua_count(enum sipua_counter c);

// A refused call's log line (no final newline), at most one a minute for
// each source address, status and reason; the rest are counted.
void refusal_log(const struct sa *src, uint16_t scode, const char *why,
		 const char *fmt, ...);

// Layers of the UDP helpers on a call's media sockets: lower layers see a
// received packet first, so the source filter runs before SRTP decryption.
enum {
	LAYER_RXFILTER = 10,
	LAYER_SRTP = 20,
};
