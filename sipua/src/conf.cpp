// Configuration directory, the "config" file and module lines.
#include "audio.h"
#include "aufilt.h"

#include "avformat.h"
#include "mnat.h"
#include "playout.h"
#include "srtp.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char conf_dir[256] = "";
struct conf *conf_obj = nullptr;
struct config core_config;

// Inbound TCP/TLS connections open at once; libre's loop polls descriptors
// below 1024 only, and the rest of the daemon needs its share of them.
constexpr uint32_t MAX_CONNS_DEFAULT = 64, MAX_CONNS_LIMIT = 512;
uint32_t max_conns = MAX_CONNS_DEFAULT;

// Keep-alives towards the registrar [s]: KEEPALIVE_AUTO leaves the choice to
// where the registrar is (off on the panel's own subnets, else 25 s, inside
// the 30 s a common router keeps an idle UDP binding).
constexpr uint32_t KEEPALIVE_LIMIT = 3600, REGINT_MIN = 60,
		   REGINT_LIMIT = 86400;
uint32_t keepalive = SIPUA_KEEPALIVE_AUTO;
uint32_t regint = 3600;
bool outbound = false;
bool medianat_stun = false;
char stunserver[256] = "";

void config_defaults(struct config *cfg)
{
	memset(cfg, 0, sizeof(*cfg));
	cfg->call.local_timeout = 120;
	cfg->call.max_calls = 4;
	cfg->call.accept = true;
	cfg->avt.rtp_ports.min = 10000;
	cfg->avt.rtp_ports.max = 20000;
	cfg->avt.rtp_bw.min = 0;
	cfg->avt.rtp_bw.max = 0;
	// A peer that vanishes without BYE must not keep the panel busy.
	cfg->avt.rtp_timeout = 60;
	cfg->audio.buffer = {20, 160};
	cfg->avt.audio = {JBUF_ADAPTIVE, {5, 10}};
	cfg->avt.video = {JBUF_FIXED, {5, 50}};
	cfg->video.width = 352;
	cfg->video.height = 288;
	cfg->video.bitrate = 500000;
	cfg->video.fps = 25;
}

// "10000-20000" or a single number.
bool parse_range(const struct pl *pl, struct range *rng)
{
	struct pl a, b;
	if (!re_regex(pl->p, pl->l, "[0-9]+-[0-9]+", &a, &b)) {
		rng->min = pl_u32(&a);
		rng->max = pl_u32(&b);
	}
	else if (!re_regex(pl->p, pl->l, "[0-9]+", &a)) {
		rng->min = rng->max = pl_u32(&a);
	}
	else {
		return false;
	}
	return rng->min <= rng->max && rng->max <= 65535;
}

void get_str(const char *name, char *buf, size_t sz)
{
	struct pl pl;
	if (conf_get(conf_obj, name, &pl))
		return;
	(void)pl_strcpy(&pl, buf, sz);
}

int dns_server_line(const struct pl *addr, void *arg)
{
	auto *net = static_cast<struct config_net *>(arg);
	if (net->nsc < NET_MAX_NS)
		(void)pl_strcpy(addr, net->nsv[net->nsc++].addr,
				sizeof(net->nsv[0].addr));
	return 0;
}

// "module,device": the device is the rest after the first comma.
void get_csv(const char *name, char *mod, size_t msz, char *dev, size_t dsz)
{
	struct pl pl, m, d = PL_INIT;
	if (conf_get(conf_obj, name, &pl))
		return;
	if (re_regex(pl.p, pl.l, "[^,]+,[^]*", &m, &d))
		m = pl;
	(void)pl_strcpy(&m, mod, msz);
	dev[0] = '\0';
	if (pl_isset(&d))
		(void)pl_strcpy(&d, dev, dsz);
}

void get_range(const char *name, struct range *rng)
{
	struct pl pl;
	struct range r;
	if (conf_get(conf_obj, name, &pl))
		return;
	if (parse_range(&pl, &r))
		*rng = r;
	else
		sipua_warn("config: bad %s '%r', kept %u-%u\n", name, &pl,
			   rng->min, rng->max);
}

void get_jbuf_type(const char *name, enum jbuf_type *type)
{
	struct pl pl;
	if (conf_get(conf_obj, name, &pl))
		return;
	if (!pl_strcasecmp(&pl, "off"))
		*type = JBUF_OFF;
	else if (!pl_strcasecmp(&pl, "fixed"))
		*type = JBUF_FIXED;
	else if (!pl_strcasecmp(&pl, "adaptive"))
		*type = JBUF_ADAPTIVE;
	else
		sipua_warn("config: unknown %s '%r'\n", name, &pl);
}

void config_parse_audio(struct config *cfg)
{
	struct config_audio *a = &cfg->audio;
	get_str("audio_path", a->audio_path, sizeof(a->audio_path));
	get_csv("audio_player", a->play_mod, sizeof(a->play_mod),
		a->play_dev, sizeof(a->play_dev));
	get_csv("audio_source", a->src_mod, sizeof(a->src_mod), a->src_dev,
		sizeof(a->src_dev));
	get_csv("audio_alert", a->alert_mod, sizeof(a->alert_mod),
		a->alert_dev, sizeof(a->alert_dev));
	get_range("audio_buffer", &a->buffer);
	// What the devices are asked for; a device may give a rate of its
	// own, which the resampler then takes.
	(void)conf_get_u32(conf_obj, "ausrc_srate", &a->srate_src);
	(void)conf_get_u32(conf_obj, "auplay_srate", &a->srate_play);
	(void)conf_get_u32(conf_obj, "ausrc_channels", &a->channels_src);
	(void)conf_get_u32(conf_obj, "auplay_channels", &a->channels_play);
	if (!a->buffer.min || !a->buffer.max) {
		sipua_warn("config: audio_buffer cannot be zero, using 20-160\n");
		a->buffer = {20, 160};
	}
	// The older names set audio and video alike; the newer ones win.
	get_jbuf_type("jitter_buffer_type", &cfg->avt.audio.jbtype);
	get_jbuf_type("jitter_buffer_type", &cfg->avt.video.jbtype);
	get_range("jitter_buffer_delay", &cfg->avt.audio.jbuf_del);
	get_range("jitter_buffer_delay", &cfg->avt.video.jbuf_del);
	get_jbuf_type("audio_jitter_buffer_type", &cfg->avt.audio.jbtype);
	get_range("audio_jitter_buffer_delay", &cfg->avt.audio.jbuf_del);
	get_jbuf_type("video_jitter_buffer_type", &cfg->avt.video.jbtype);
	get_range("video_jitter_buffer_delay", &cfg->avt.video.jbuf_del);
	// The default range counts fixed's frames; adaptive's is in ms.
	struct pl pl;
	if (cfg->avt.audio.jbtype == JBUF_ADAPTIVE &&
	    conf_get(conf_obj, "jitter_buffer_delay", &pl) &&
	    conf_get(conf_obj, "audio_jitter_buffer_delay", &pl))
		cfg->avt.audio.jbuf_del = {0, 300};
	if (!cfg->avt.audio.jbuf_del.max)
		cfg->avt.audio.jbtype = JBUF_OFF;
}

// "video_source avformat,URL"; the camera's "rtspsrc_url" line, whose
// channel digit the panel's settings rewrite, names the stream first.
void video_parse(struct config_video *vid)
{
	struct pl pl;
	get_csv("video_source", vid->src_mod, sizeof(vid->src_mod),
		vid->src_dev, sizeof(vid->src_dev));
	if (!conf_get(conf_obj, "rtspsrc_url", &pl)) {
		str_ncpy(vid->src_mod, "avformat", sizeof(vid->src_mod));
		(void)pl_strcpy(&pl, vid->src_dev, sizeof(vid->src_dev));
	}
	struct pl w, h;
	if (!conf_get(conf_obj, "video_size", &pl) &&
	    !re_regex(pl.p, pl.l, "[0-9]+x[0-9]+", &w, &h)) {
		vid->width = pl_u32(&w);
		vid->height = pl_u32(&h);
	}
	(void)conf_get_u32(conf_obj, "video_bitrate", &vid->bitrate);
	if (!conf_get(conf_obj, "video_fps", &pl))
		vid->fps = pl_float(&pl);
}

void config_parse(struct config *cfg)
{
	struct pl pl;
	bool b;

	get_str("sip_listen", cfg->sip.local, sizeof(cfg->sip.local));
	get_str("sip_uuid", cfg->sip.uuid, sizeof(cfg->sip.uuid));
	get_str("sip_certificate", cfg->sip.cert, sizeof(cfg->sip.cert));
	get_str("sip_cafile", cfg->sip.cafile, sizeof(cfg->sip.cafile));
	get_str("sip_capath", cfg->sip.capath, sizeof(cfg->sip.capath));
	// As in baresip: naming a CA turns verification on unless told not to.
	cfg->sip.verify_server = cfg->sip.cafile[0] || cfg->sip.capath[0];
	if (!conf_get_bool(conf_obj, "sip_verify_server", &b))
		cfg->sip.verify_server = b;
	uint32_t n;
	max_conns = MAX_CONNS_DEFAULT;
	if (!conf_get_u32(conf_obj, "sip_max_connections", &n)) {
		if (n >= 1 && n <= MAX_CONNS_LIMIT)
			max_conns = n;
		else
			sipua_warn("config: sip_max_connections %u not in "
				   "1-%u, kept %u\n", n, MAX_CONNS_LIMIT,
				   max_conns);
	}

	keepalive = SIPUA_KEEPALIVE_AUTO;
	if (!conf_get_u32(conf_obj, "sip_keepalive", &n)) {
		if (n <= KEEPALIVE_LIMIT)
			keepalive = n;
		else
			sipua_warn("config: sip_keepalive %u not in 0-%u, "
				   "kept the default\n", n, KEEPALIVE_LIMIT);
	}
	outbound = false;
	if (!conf_get_bool(conf_obj, "sip_outbound", &b))
		outbound = b;
	medianat_stun = false;
	struct pl v;
	if (!conf_get(conf_obj, "sip_medianat", &v)) {
		medianat_stun = !pl_strcasecmp(&v, "stun");
		if (!medianat_stun)
			sipua_warn("config: sip_medianat %r not available, "
				   "the SDP names the local addresses\n", &v);
	}
	stunserver[0] = '\0';
	(void)conf_get_str(conf_obj, "sip_stunserver", stunserver,
			   sizeof(stunserver));
	regint = 3600;
	if (!conf_get_u32(conf_obj, "sip_regint", &n)) {
		if (n >= REGINT_MIN && n <= REGINT_LIMIT)
			regint = n;
		else
			sipua_warn("config: sip_regint %u not in %u-%u, kept "
				   "%u\n", n, REGINT_MIN, REGINT_LIMIT, regint);
	}

	(void)conf_get_u32(conf_obj, "call_local_timeout",
			   &cfg->call.local_timeout);
	(void)conf_get_u32(conf_obj, "call_max_calls", &cfg->call.max_calls);
	if (!conf_get_bool(conf_obj, "call_accept", &b))
		cfg->call.accept = b;

	get_range("rtp_ports", &cfg->avt.rtp_ports);
	if (!conf_get(conf_obj, "rtp_bandwidth", &pl)) {
		struct range r;
		if (parse_range(&pl, &r))
			cfg->avt.rtp_bw = r;
	}
	(void)conf_get_u32(conf_obj, "rtp_timeout", &cfg->avt.rtp_timeout);
	if (!conf_get_bool(conf_obj, "rtp_latch", &b))
		cfg->avt.rtp_latch = b;
	if (!conf_get_bool(conf_obj, "rtcp_mux", &b))
		cfg->avt.rtcp_mux = b;
	if (!conf_get_bool(conf_obj, "rtp_stats", &b))
		cfg->avt.rtp_stats = b;

	config_parse_audio(cfg);
	video_parse(&cfg->video);

	get_str("net_interface", cfg->net.ifname, sizeof(cfg->net.ifname));
	(void)conf_apply(conf_obj, "dns_server", dns_server_line, &cfg->net);
}

// Modules this agent provides itself; the drivers register when named.
struct builtin_module {
	const char *name;
	int (*init)(void);
};

const struct builtin_module builtin[] = {
	{"g711", g711_module_init}, {"g722", g722_module_init},
	{"opus", opus_module_init}, {"aufile", aufile_module_init},
	{"alsa", alsa_module_init}, {"account", nullptr},
	{"contact", nullptr}, {"menu", nullptr}, {"uuid", nullptr},
	{"syslog", nullptr}, {"stdio", nullptr},
	{"cons", nullptr}, {"avformat", avformat_init},
	{"avcodec", nullptr},  // H.264 passes through: nothing to encode
	{"srtp", srtp_module_init},
	{"plc", plc_module_init},  // spandsp's concealment of lost audio
	// Filters, in the order of their lines: echo before noise and gain.
	{"webrtc_aec", webrtc_aec_module_init},
	{"speex_pp", speex_pp_module_init},
	{"stun", [] { mnat_stun_enable(true); return 0; }},
};

void filters_close(void)
{
	webrtc_aec_module_close();
	speex_pp_module_close();
}

int module_line(const struct pl *val, void *arg)
{
	(void)arg;
	struct pl base = *val;
	const char *dot = (const char *)memchr(base.p, '.', base.l);
	if (dot)
		base.l = (size_t)(dot - base.p);
	for (const struct builtin_module &m : builtin) {
		if (pl_strcmp(&base, m.name))
			continue;
		int err = m.init ? m.init() : 0;
		if (err)
			sipua_warn("module: %r failed (%m)\n", val, err);
		return 0;
	}
	if (!pl_strcmp(&base, "ice") || !pl_strcmp(&base, "turn")) {
		// Said aloud: without a relay the SDP names at most what
		// STUN shows, which a symmetric NAT does not keep.
		sipua_warn("module: %r not available: behind NAT use stun.so "
			   "(medianat stun) or a media relay at the server "
			   "(e.g. rtpengine)\n", val);
		return 0;
	}
	sipua_warn("module: %r not available, skipped\n", val);
	return 0;
}

int conf_path_get(char *path, size_t sz)
{
	if (!path || !sz)
		return EINVAL;
	if (conf_dir[0]) {
		str_ncpy(path, conf_dir, sz);
		return 0;
	}
	const char *home = getenv("HOME");
	if (!home)
		return ENOENT;
	if (re_snprintf(path, sz, "%s/.baresip", home) < 0)
		return ENOMEM;
	return 0;
}

// The line is formatted whole and written at once: the daemon and the
// library's device and camera threads share stderr, and a line written in
// pieces (as re_vfprintf writes each conversion) can be split by another
// thread's line.
void emit(const char *fmt, va_list ap)
{
	char *line = nullptr;
	if (re_vsdprintf(&line, fmt, ap) || !line)
		return;
	for (size_t off = 0, len = strlen(line); off < len;) {
		const ssize_t n = write(STDERR_FILENO, line + off, len - off);
		if (n <= 0 && errno != EINTR)
			break;
		off += n > 0 ? (size_t)n : 0;
	}
	mem_deref(line);
}

} // namespace

void sipua_log(const char *fmt, ...)
{
	static int enabled = -1;
	if (enabled < 0) {
		const char *e = getenv("SIPUA_LOG");
		enabled = (e && *e && *e != '0') ? 1 : 0;
	}
	if (!enabled)
		return;
	va_list ap;
	va_start(ap, fmt);
	emit(fmt, ap);
	va_end(ap);
}

void sipua_warn(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	emit(fmt, ap);
	va_end(ap);
}

uint32_t sipua_max_conns(void)
{
	return max_conns;
}

uint32_t sipua_keepalive(void)
{
	return keepalive;
}

bool sipua_outbound(void)
{
	return outbound;
}

bool sipua_medianat_stun(void)
{
	return medianat_stun;
}

const char *sipua_stunserver(void)
{
	return stunserver[0] ? stunserver : nullptr;
}

uint32_t sipua_regint(void)
{
	return regint;
}

const struct config *sipua_config(void)
{
	return uag.cfg ? uag.cfg : &core_config;
}

uint32_t sipua_rtp_timeout(void)
{
	return sipua_config()->avt.rtp_timeout;
}

extern "C" {

void conf_path_set(const char *path)
{
	if (!path) {
		conf_dir[0] = '\0';
		return;
	}
	str_ncpy(conf_dir, path, sizeof(conf_dir));
}

int conf_configure(void)
{
	char dir[256], file[300];
	int err = conf_path_get(dir, sizeof(dir));
	if (err)
		return err;

	config_defaults(&core_config);
	conf_obj = (struct conf *)mem_deref(conf_obj);

	if (re_snprintf(file, sizeof(file), "%s/config", dir) < 0)
		return ENAMETOOLONG;

	struct stat st;
	if (stat(file, &st) != 0) {
		// Like the original: run with defaults when there is no file.
		sipua_warn("config: %s missing, using the defaults: SIP on "
			   "the default route's address, port 5060; RTP "
			   "ports 10000-20000\n", file);
		return conf_alloc_buf(&conf_obj, (const uint8_t *)"", 0);
	}
	err = conf_alloc(&conf_obj, file);
	if (err)
		return err;
	config_parse(&core_config);
	return 0;
}

struct config *conf_config(void)
{
	return &core_config;
}

struct conf *conf_cur(void)
{
	return conf_obj;
}

int conf_modules(void)
{
	if (!conf_obj)
		return ENOENT;
	audev_modules_close();  // a second bring-up starts from scratch
	aucodec_modules_close();
	srtp_module_close();
	plc_module_close();
	filters_close();
	mnat_stun_enable(false);
	for (const char *key : {"module", "module_tmp", "module_app"})
		(void)conf_apply(conf_obj, key, module_line, nullptr);
	return 0;
}

void conf_close(void)
{
	avformat_close();
	conf_obj = (struct conf *)mem_deref(conf_obj);
}

void module_app_unload(void)
{
}

int baresip_init(struct config *cfg)
{
	if (!cfg)
		return EINVAL;
	uag.cfg = cfg;
	return 0;
}

void baresip_close(void)
{
	audev_modules_close();
	aucodec_modules_close();
	srtp_module_close();
	plc_module_close();
	filters_close();
	uag.cfg = nullptr;
}

} // extern "C"
