// Configuration directory, the "config" file and module lines.
#include "core.h"

#include "avformat.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>

namespace {

char conf_dir[256] = "";
struct conf *conf_obj = nullptr;
struct config core_config;

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

// "video_source avformat,URL"; the camera's "rtspsrc_url" line, whose
// channel digit the panel's settings rewrite, names the stream first.
void video_parse(struct config_video *vid)
{
	struct pl pl, mod, dev;
	if (!conf_get(conf_obj, "video_source", &pl) &&
	    !re_regex(pl.p, pl.l, "[^,]+,[^]+", &mod, &dev)) {
		(void)pl_strcpy(&mod, vid->src_mod, sizeof(vid->src_mod));
		(void)pl_strcpy(&dev, vid->src_dev, sizeof(vid->src_dev));
	}
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
	get_str("sip_certificate", cfg->sip.cert, sizeof(cfg->sip.cert));
	get_str("sip_cafile", cfg->sip.cafile, sizeof(cfg->sip.cafile));
	get_str("sip_capath", cfg->sip.capath, sizeof(cfg->sip.capath));
	if (!conf_get_bool(conf_obj, "sip_verify_server", &b))
		cfg->sip.verify_server = b;

	(void)conf_get_u32(conf_obj, "call_local_timeout",
			   &cfg->call.local_timeout);
	(void)conf_get_u32(conf_obj, "call_max_calls", &cfg->call.max_calls);
	if (!conf_get_bool(conf_obj, "call_accept", &b))
		cfg->call.accept = b;

	if (!conf_get(conf_obj, "rtp_ports", &pl)) {
		struct range r;
		if (parse_range(&pl, &r))
			cfg->avt.rtp_ports = r;
		else
			sipua_warn("config: bad rtp_ports '%r', kept %u-%u\n",
				  &pl, cfg->avt.rtp_ports.min,
				  cfg->avt.rtp_ports.max);
	}
	if (!conf_get(conf_obj, "rtp_bandwidth", &pl)) {
		struct range r;
		if (parse_range(&pl, &r))
			cfg->avt.rtp_bw = r;
	}
	(void)conf_get_u32(conf_obj, "rtp_timeout", &cfg->avt.rtp_timeout);
	if (!conf_get_bool(conf_obj, "rtcp_mux", &b))
		cfg->avt.rtcp_mux = b;
	if (!conf_get_bool(conf_obj, "rtp_stats", &b))
		cfg->avt.rtp_stats = b;

	get_str("audio_path", cfg->audio.audio_path,
		sizeof(cfg->audio.audio_path));
	video_parse(&cfg->video);

	get_str("net_interface", cfg->net.ifname, sizeof(cfg->net.ifname));
	(void)conf_apply(conf_obj, "dns_server", dns_server_line, &cfg->net);
}

// Modules this agent provides itself, by name without ".so".
bool module_builtin(const struct pl *base)
{
	static const char *const builtin[] = {
		"g711", "account", "contact", "menu", "uuid", "stun",
		"syslog", "stdio", "cons", "auloop",
		"avcodec",  // H.264 passes through: nothing to encode
	};
	for (const char *m : builtin) {
		if (!pl_strcmp(base, m))
			return true;
	}
	return false;
}

int module_line(const struct pl *val, void *arg)
{
	(void)arg;
	struct pl base = *val;
	const char *dot = (const char *)memchr(base.p, '.', base.l);
	if (dot)
		base.l = (size_t)(dot - base.p);
	if (!pl_strcmp(&base, "avformat")) {
		const int err = avformat_init();
		if (err)
			sipua_warn("module: avformat failed (%m)\n", err);
	}
	else if (!module_builtin(&base)) {
		sipua_warn("module: %r not available, skipped\n", val);
	}
	return 0;
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
	(void)re_vfprintf(stderr, fmt, ap);
	va_end(ap);
}

void sipua_warn(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	(void)re_vfprintf(stderr, fmt, ap);
	va_end(ap);
}

uint32_t sipua_rtp_timeout(void)
{
	return uag.cfg ? uag.cfg->avt.rtp_timeout : core_config.avt.rtp_timeout;
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
		sipua_log("config: %s missing, using defaults\n", file);
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
	uag.cfg = nullptr;
}

} // extern "C"
