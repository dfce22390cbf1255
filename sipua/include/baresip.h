/*
 * baresip.h  User agent API used by the daemon (baresip 3.7.0 names and
 * numbering), implemented by sipua on top of libre.
 */
#ifndef BARESIP_H__
#define BARESIP_H__

#include <re.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BARESIP_VERSION "3.7.0"

#ifndef NET_MAX_NS
#define NET_MAX_NS (4)
#endif

struct sa;
struct sip_msg;
struct ua;
struct call;
struct account;
struct audio;
struct video;
struct stream;
struct conf;

/*
 * Account
 */

enum answermode {
	ANSWERMODE_MANUAL = 0,
	ANSWERMODE_EARLY,
	ANSWERMODE_AUTO,
	ANSWERMODE_EARLY_AUDIO,
	ANSWERMODE_EARLY_VIDEO,
};

const char *account_outbound(const struct account *acc, unsigned ix);

/*
 * Call
 */

enum vidmode {
	VIDMODE_OFF = 0,
	VIDMODE_ON,
};

/* Key release, passed to call_send_digit() to end a telephone event */
#define KEYCODE_NONE   (0x00)
#define KEYCODE_REL    (0x04)
#define KEYCODE_ESC    (0x1b)

int  call_send_digit(struct call *call, char key);
bool call_has_audio(const struct call *call);
void call_hangup(struct call *call, uint16_t scode, const char *reason);
uint16_t      call_scode(const struct call *call);
const char   *call_id(const struct call *call);
const char   *call_peeruri(const struct call *call);
const char   *call_localuri(const struct call *call);
struct audio *call_audio(const struct call *call);
struct ua    *call_get_ua(const struct call *call);
void          call_enable_rtp_timeout(struct call *call, uint32_t timeout_ms);
/* Custom headers (list of struct sip_hdr): sent with the responses of an
 * incoming call; for an outgoing call, the X- headers of the last response
 * received. */
int call_set_custom_hdrs(struct call *call, const struct list *hdrs);
const struct list *call_get_custom_hdrs(const struct call *call);
/* Remote media (RTP) address of the call's audio as struct sockaddr_in
 * into buf (size at least 16). 0 on success; the port is 0 while unknown. */
int call_get_raddress(void *buf, size_t size, const struct call *call);

/*
 * Custom headers
 */

int custom_hdrs_add(struct list *hdrs, const char *name, const char *fmt, ...);

/*
 * Conf
 */

int  conf_configure(void);
int  conf_modules(void);
void conf_path_set(const char *path);
void conf_close(void);
struct conf *conf_cur(void);

/*
 * Config (core configuration)
 */

struct range {
	uint32_t min;
	uint32_t max;
};

static inline bool in_range(const struct range *rng, uint32_t val)
{
	return rng ? (val >= rng->min && val <= rng->max) : false;
}

struct config_sip {
	char uuid[64];          /* Universally Unique Identifier  */
	char local[64];         /* Local SIP address (sip_listen) */
	char cert[256];         /* SIP certificate (TLS)          */
	char cafile[256];       /* CA file                        */
	char capath[256];       /* CA path                        */
	bool verify_server;     /* Verify the TLS server          */
	uint8_t tos;            /* Type-of-Service for SIP        */
};

struct config_call {
	uint32_t local_timeout; /* Incoming call timeout [sec] 0=off */
	uint32_t max_calls;     /* Maximum number of calls, 0=unlimited */
	bool hold_other_calls;
	bool accept;
};

struct config_audio {
	char audio_path[256];
	char src_mod[16];
	char src_dev[128];
	char play_mod[16];
	char play_dev[128];
	char alert_mod[16];
	char alert_dev[128];
	struct range buffer;    /* Audio buffer [ms] (audio_buffer)  */
	uint32_t srate_src;     /* Source rate asked for, 0: 8000    */
	uint32_t srate_play;    /* Player rate asked for, 0: 8000    */
	uint32_t channels_src;  /* Source channels, 0: mono          */
	uint32_t channels_play; /* Player channels, 0: mono          */
};

struct config_video {
	char src_mod[16];
	char src_dev[256];      /* e.g. the rtspsrc_url text          */
	char disp_mod[16];
	char disp_dev[128];
	unsigned width, height;
	uint32_t bitrate;
	double fps;
};

/* Jitter buffer type (libre 1.1.0 has one kind, "fixed") */
enum jbuf_type {
	JBUF_OFF,
	JBUF_FIXED,
	JBUF_ADAPTIVE,
};

struct config_avt {
	uint8_t rtp_tos;
	uint8_t rtpv_tos;
	struct range rtp_ports; /* RTP port range                 */
	struct range rtp_bw;
	bool rtcp_mux;
	struct {
		enum jbuf_type jbtype;
		struct range jbuf_del;  /* Delay, number of frames */
	} audio, video;
	bool rtp_stats;
	uint32_t rtp_timeout;   /* RTP timeout in seconds (0=off) */
	bool rtp_latch;         /* media from the first source, not the SDP's */
};

struct config_net {
	int af;
	char ifname[64];
	struct {
		char addr[64];
		bool fallback;
	} nsv[NET_MAX_NS];
	size_t nsc;
	bool use_linklocal;
	bool use_getaddrinfo;
};

struct config {
	struct config_sip sip;
	struct config_call call;
	struct config_audio audio;
	struct config_video video;
	struct config_avt avt;
	struct config_net net;
};

struct config *conf_config(void);

/*
 * Modules
 */

void module_app_unload(void);

/*
 * User Agent
 */

enum ua_event {
	UA_EVENT_REGISTERING = 0,
	UA_EVENT_REGISTER_OK,
	UA_EVENT_REGISTER_FAIL,
	UA_EVENT_UNREGISTERING,
	UA_EVENT_FALLBACK_OK,
	UA_EVENT_FALLBACK_FAIL,
	UA_EVENT_MWI_NOTIFY,
	UA_EVENT_CREATE,
	UA_EVENT_SHUTDOWN,
	UA_EVENT_EXIT,

	UA_EVENT_CALL_INCOMING,          /* 10 */
	UA_EVENT_CALL_OUTGOING,
	UA_EVENT_CALL_RINGING,
	UA_EVENT_CALL_PROGRESS,
	UA_EVENT_CALL_ANSWERED,
	UA_EVENT_CALL_ESTABLISHED,       /* 15 */
	UA_EVENT_CALL_CLOSED,
	UA_EVENT_CALL_TRANSFER,
	UA_EVENT_CALL_REDIRECT,
	UA_EVENT_CALL_TRANSFER_FAILED,
	UA_EVENT_CALL_DTMF_START,        /* 20 */
	UA_EVENT_CALL_DTMF_END,
	UA_EVENT_CALL_RTPESTAB,
	UA_EVENT_CALL_RTCP,
	UA_EVENT_CALL_MENC,
	UA_EVENT_VU_TX,                  /* 25 */
	UA_EVENT_VU_RX,
	UA_EVENT_AUDIO_ERROR,
	UA_EVENT_CALL_LOCAL_SDP,
	UA_EVENT_CALL_REMOTE_SDP,
	UA_EVENT_CALL_HOLD,              /* 30 */
	UA_EVENT_CALL_RESUME,
	UA_EVENT_REFER,
	UA_EVENT_MODULE,
	UA_EVENT_END_OF_FILE,
	UA_EVENT_CUSTOM,                 /* 35 */
	UA_EVENT_SIPSESS_CONN,

	UA_EVENT_MAX,
};

typedef void (ua_event_h)(struct ua *ua, enum ua_event ev,
			  struct call *call, const char *prm, void *arg);
typedef void (ua_exit_h)(void *arg);

int  ua_alloc(struct ua **uap, const char *aor);
int  ua_connect(struct ua *ua, struct call **callp,
		const char *from_uri, const char *req_uri,
		enum vidmode vmode);
void ua_hangup(struct ua *ua, struct call *call,
	       uint16_t scode, const char *reason);
int  ua_answer(struct ua *ua, struct call *call, enum vidmode vmode);
int  ua_register(struct ua *ua);
void ua_unregister(struct ua *ua);
bool ua_isregistered(const struct ua *ua);
struct account *ua_account(const struct ua *ua);
struct list    *ua_calls(const struct ua *ua);

int  ua_init(const char *software, bool udp, bool tcp, bool tls);
void ua_close(void);
void ua_stop_all(bool forced);

void uag_set_exit_handler(ua_exit_h *exith, void *arg);
int  uag_event_register(ua_event_h *eh, void *arg);
const char  *uag_event_str(enum ua_event ev);
struct list *uag_list(void);

/*
 * What the library refused from the network since it started (this
 * library's own addition; baresip keeps no such totals). Safe from any
 * thread.
 */

struct sipua_counters {
	uint64_t media_dropped;    /* RTP/RTCP not from the call's peer, or
				      failing SRTP authentication */
	uint64_t offers_refused;   /* SDP offers answered 488 for their
				      media address or encryption */
	uint64_t conns_refused;    /* TCP/TLS connections refused at the cap */
	uint64_t tls_failed;       /* TLS servers failing verification */
	uint64_t refusals_unlogged; /* refused calls whose log line was left
				       out: the same refusal from the same
				       host within a minute */
};

void sipua_counters_get(struct sipua_counters *c);

/*
 * The file that keeps the camera's last known H.264 profile and parameter
 * sets across restarts, read now (this library's own addition). Before the
 * modules are loaded.
 */
void sipua_camera_state(const char *path);

/* Whether the peer takes the call's video (baresip 3.x's call_has_video). */
bool call_has_video(const struct call *call);

/*
 * Baresip instance
 */

int  baresip_init(struct config *cfg);
void baresip_close(void);

#ifdef __cplusplus
}
#endif

#endif /* BARESIP_H__ */
