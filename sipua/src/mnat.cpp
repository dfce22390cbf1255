// Mapped addresses of a call's media sockets from a STUN server (RFC 5389
// binding requests through libre's keep-alive). Only a well-formed binding
// response from the configured server's address, to one of our own
// transactions, is taken: libre's keep-alive helper drops anything else
// before decoding it as a response, and the rest goes on to the source
// filter above.
#include "mnat.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <netinet/in.h>

namespace {

// Below the source filter: the server is not the call's peer.
constexpr int LAYER_STUN = 0;
// While the call lasts: well inside the 30 s a router keeps an idle UDP
// binding, though RTP keeps it open too once the call is up.
constexpr uint32_t REFRESH_S = 15;
// The offer waits for the answers: 250 ms, then 500 ms, then 2 s more.
const struct stun_conf stun_cfg = {250, 3, 8, 2000, 0};
constexpr uint16_t STUN_PORT = 3478;

bool stun_loaded = false;

struct binding {
	struct le le;
	struct mnat *mn;
	struct sdp_media *sdpm;
	struct stun_keepalive *ska;
	void *sock;
	bool rtcp;
	bool done;               // mapped, or given up on
};

} // namespace

struct mnat {
	struct list bindings;
	struct stun_dns *dnsq;
	struct sa srv;
	char *server;
	bool resolved;
	bool failed;             // no server: local addresses stand
	bool signalled;
	mnat_ready_h *readyh;
	void *arg;
};

namespace {

void binding_destructor(void *arg)
{
	auto *b = static_cast<struct binding *>(arg);
	list_unlink(&b->le);
	mem_deref(b->ska);
	mem_deref(b->sock);
	mem_deref(b->sdpm);
}

void mnat_destructor(void *arg)
{
	auto *mn = static_cast<struct mnat *>(arg);
	list_flush(&mn->bindings);
	mem_deref(mn->dnsq);
	mem_deref(mn->server);
}

void check_ready(struct mnat *mn)
{
	if (mn->signalled || !mnat_ready(mn))
		return;
	mn->signalled = true;
	if (mn->readyh)
		mn->readyh(mn->arg);
}

void mapped_handler(int err, const struct sa *map, void *arg)
{
	auto *b = static_cast<struct binding *>(arg);
	struct mnat *mn = b->mn;
	const char *what = b->rtcp ? "RTCP" : "RTP";
	if (err) {
		if (!b->done)
			sipua_warn("stun: no mapped address for %s port from "
				   "%J (%m); the SDP names the local one\n",
				   what, &mn->srv, err);
		b->done = true;
		check_ready(mn);
		return;
	}
	if (b->done && mn->signalled) {
		// Too late for this call's SDP; the router moved us.
		sipua_warn("stun: %s mapped address changed to %J\n", what,
			   map);
		return;
	}
	if (b->rtcp)
		sdp_media_set_laddr_rtcp(b->sdpm, map);
	else
		sdp_media_set_laddr(b->sdpm, map);
	sipua_log("stun: %s port mapped to %J\n", what, map);
	b->done = true;
	check_ready(mn);
}

int binding_start(struct binding *b)
{
	int err = stun_keepalive_alloc(&b->ska, IPPROTO_UDP, b->sock,
				       LAYER_STUN, &b->mn->srv, &stun_cfg,
				       mapped_handler, b);
	if (!err)
		stun_keepalive_enable(b->ska, REFRESH_S);
	return err;
}

void start_all(struct mnat *mn)
{
	for (struct le *le = mn->bindings.head; le; le = le->next) {
		auto *b = static_cast<struct binding *>(le->data);
		if (!b->ska && !b->done && binding_start(b))
			b->done = true;
	}
}

void dns_handler(int err, const struct sa *srv, void *arg)
{
	auto *mn = static_cast<struct mnat *>(arg);
	if (err || !srv || !sa_isset(srv, SA_ALL)) {
		sipua_warn("stun: server %s not found (%m); the SDP names "
			   "the local addresses\n", mn->server, err);
		mn->failed = true;
		check_ready(mn);
		return;
	}
	mn->srv = *srv;
	mn->resolved = true;
	start_all(mn);
}

// "stun:host[:port]", an IPv6 host in brackets.
int server_split(const char *uri, char *host, size_t sz, uint16_t *port)
{
	if (!uri || strncasecmp(uri, "stun:", 5))
		return EINVAL;
	const char *h = uri + 5, *end = nullptr, *colon = nullptr;
	if (*h == '[') {
		end = strchr(++h, ']');
		if (!end || (end[1] && end[1] != ':'))
			return EINVAL;
		colon = end[1] ? end + 1 : nullptr;
	}
	else {
		colon = strchr(h, ':');
		end = colon ? colon : h + strlen(h);
	}
	const size_t n = (size_t)(end - h);
	if (!n || n >= sz)
		return EINVAL;
	memcpy(host, h, n);
	host[n] = '\0';
	*port = STUN_PORT;
	if (colon) {
		char *e = nullptr;
		const unsigned long v = strtoul(colon + 1, &e, 10);
		if (!colon[1] || *e || !v || v > 65535)
			return EINVAL;
		*port = (uint16_t)v;
	}
	return 0;
}

} // namespace

int mnat_alloc(struct mnat **mp, const struct account *acc,
	       mnat_ready_h *readyh, void *arg)
{
	if (!mp || !acc)
		return EINVAL;
	*mp = nullptr;
	if (!acc->medianat_stun || !stun_loaded)
		return 0;
	auto *mn = static_cast<struct mnat *>(
		mem_zalloc(sizeof(struct mnat), mnat_destructor));
	if (!mn)
		return ENOMEM;
	mn->readyh = readyh;
	mn->arg = arg;
	char host[256];
	uint16_t port = 0;
	int err = str_dup(&mn->server, acc->stunserver ? acc->stunserver
						       : "");
	if (!err && server_split(acc->stunserver, host, sizeof(host), &port)) {
		sipua_warn("stun: no usable stunserver (\"%s\"); the SDP "
			   "names the local addresses\n", mn->server);
		mn->failed = true;
	}
	else if (!err) {
		// A literal address resolves at once, inside this call.
		const int derr = stun_server_discover(
			&mn->dnsq, uag.dnsc, stun_usage_binding,
			stun_proto_udp, sa_af(&uag.laddr), host, port,
			dns_handler, mn);
		if (derr)  // the call goes on, as with no answer
			dns_handler(derr, nullptr, mn);
	}
	if (err) {
		mem_deref(mn);
		return err;
	}
	*mp = mn;
	return 0;
}

int mnat_media_add(struct mnat *mn, struct rtp_sock *rtp, struct sdp_media *m)
{
	if (!mn)
		return 0;
	if (!rtp || !m)
		return EINVAL;
	for (int i = 0; i < 2; ++i) {
		void *sock = i ? rtcp_sock(rtp) : rtp_sock(rtp);
		if (!sock)
			continue;
		auto *b = static_cast<struct binding *>(
			mem_zalloc(sizeof(struct binding), binding_destructor));
		if (!b)
			return ENOMEM;
		b->mn = mn;
		b->sdpm = static_cast<struct sdp_media *>(mem_ref(m));
		b->sock = mem_ref(sock);
		b->rtcp = i == 1;
		b->done = mn->failed;
		list_append(&mn->bindings, &b->le, b);
		if (mn->resolved && binding_start(b))
			b->done = true;
	}
	return 0;
}

bool mnat_ready(const struct mnat *mn)
{
	if (!mn || mn->failed)
		return true;
	if (!mn->resolved)
		return false;
	for (struct le *le = mn->bindings.head; le; le = le->next) {
		if (!static_cast<const struct binding *>(le->data)->done)
			return false;
	}
	return true;
}

void mnat_stun_enable(bool on)
{
	stun_loaded = on;
}

bool mnat_stun_enabled(void)
{
	return stun_loaded;
}
