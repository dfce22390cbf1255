// User agents: SIP stack bring-up, accounts, registration, event handlers and
// the routing of incoming calls.
#include "call.h"
#include "cancel.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>

struct uag uag;

namespace {

// What the stack sends: a TLS flow's own address, and INVITEs to cancel.
void sip_trace(bool tx, enum sip_transp tp, const struct sa *src,
	       const struct sa *dst, const uint8_t *pkt, size_t len,
	       void *arg)
{
	flow_trace(tx, tp, src, dst, pkt, len, arg);
	if (tx)
		cancel_trace(tp, dst, pkt, len);
}

struct ehe {
	struct le le;
	ua_event_h *h;
	void *arg;
};

void keepalive_stop(struct ua *ua)
{
	tmr_cancel(&ua->ka_tmr);
	ua->ka_req = (struct sip_request *)mem_deref(ua->ka_req);
	ua->ka_dlg = (struct sip_dialog *)mem_deref(ua->ka_dlg);
	ua->ka_interval = 0;
}

// Whether `peer` is on one of the host's own subnets: no router, hence no
// binding that could expire, stands between them.
bool on_own_subnet(const struct sa *peer)
{
	struct ifaddrs *ifa = nullptr;
	if (getifaddrs(&ifa))
		return false;
	bool own = false;
	for (struct ifaddrs *i = ifa; i && !own; i = i->ifa_next) {
		if (!i->ifa_addr || !i->ifa_netmask ||
		    i->ifa_addr->sa_family != sa_af(peer))
			continue;
		const uint8_t *a, *m, *p;
		size_t n;
		if (sa_af(peer) == AF_INET) {
			a = (const uint8_t *)&((struct sockaddr_in *)i->ifa_addr)->sin_addr;
			m = (const uint8_t *)&((struct sockaddr_in *)i->ifa_netmask)->sin_addr;
			p = (const uint8_t *)&peer->u.in.sin_addr;
			n = 4;
		}
		else {
			a = ((struct sockaddr_in6 *)i->ifa_addr)->sin6_addr.s6_addr;
			m = ((struct sockaddr_in6 *)i->ifa_netmask)->sin6_addr.s6_addr;
			p = peer->u.in6.sin6_addr.s6_addr;
			n = 16;
		}
		own = true;
		for (size_t k = 0; k < n; k++)
			own = own && ((a[k] ^ p[k]) & m[k]) == 0;
	}
	freeifaddrs(ifa);
	return own;
}

void reg_resp_handler(int err, const struct sip_msg *msg, void *arg);

// A probe left unanswered for a whole interval means the registrar can no
// longer reach the panel either: the registration is reported failed and
// sent again (the stack retries it until the registrar answers).
void keepalive_failed(struct ua *ua, int err)
{
	keepalive_stop(ua);
	if (!ua->registered)
		return;
	sipua_warn("ua: %s: keep-alive to the registrar failed (%m)\n",
		   ua->acc->aor, err);
	ua->registered = false;
	ua_event(ua, UA_EVENT_REGISTER_FAIL, nullptr,
		 "408 Keep-alive unanswered (%m)", err);
	(void)ua_register(ua);
}

void keepalive_resp(int err, const struct sip_msg *msg, void *arg)
{
	(void)msg;
	// Any answer, even a refusal of OPTIONS, shows the path works.
	if (err)
		keepalive_failed(static_cast<struct ua *>(arg), err);
}

void keepalive_tick(void *arg)
{
	auto *ua = static_cast<struct ua *>(arg);
	if (ua->ka_req) {
		keepalive_failed(ua, ETIMEDOUT);
		return;
	}
	const int err = sip_drequestf(&ua->ka_req, uag.sip, true, "OPTIONS",
				      ua->ka_dlg, 0, nullptr, nullptr,
				      keepalive_resp, ua,
				      "Accept: application/sdp\r\n"
				      "Content-Length: 0\r\n\r\n");
	if (err) {
		keepalive_failed(ua, err);
		return;
	}
	tmr_start(&ua->ka_tmr, ua->ka_interval * 1000, keepalive_tick, ua);
}

// After a registration: OPTIONS to the registrar (through the outbound
// proxy) every interval keep the router's binding open and show whether
// the registrar still hears the panel.
void keepalive_start(struct ua *ua, const struct sip_msg *msg)
{
	if (ua->ka_interval)
		return;
	uint32_t interval = sipua_keepalive();
	if (interval == SIPUA_KEEPALIVE_AUTO)
		interval = on_own_subnet(&msg->src) ? 0 : 25;
	if (!interval)
		return;
	struct account *acc = ua->acc;
	const char *routev[1] = {acc->outbound};
	if (sip_dialog_alloc(&ua->ka_dlg, acc->reg_uri, acc->aor, nullptr,
			     acc->aor, acc->outbound ? routev : nullptr,
			     acc->outbound ? 1 : 0))
		return;
	ua->ka_interval = interval;
	tmr_start(&ua->ka_tmr, interval * 1000, keepalive_tick, ua);
}

void ua_destructor(void *arg)
{
	auto *ua = static_cast<struct ua *>(arg);
	list_unlink(&ua->le);
	// Calls go without events: the agent itself is going away.
	struct le *le = ua->calls.head;
	while (le) {
		struct call *call = static_cast<struct call *>(le->data);
		le = le->next;
		call_close_silent(call);
	}
	tmr_cancel(&ua->fail_tmr);
	keepalive_stop(ua);
	ua->reg = (struct sipreg *)mem_deref(ua->reg);
	mem_deref(ua->acc);
}

// A second challenge in a row means the credentials were refused; the stack
// would otherwise keep retrying them.
int reg_auth_handler(char **username, char **password, const char *realm,
		     void *arg)
{
	(void)realm;
	auto *ua = static_cast<struct ua *>(arg);
	struct account *acc = ua->acc;
	if (!acc->auth_pass || ++ua->auth_tries > 1)
		return EAUTH;
	int err = str_dup(username, acc->auth_user);
	err |= str_dup(password, acc->auth_pass);
	return err;
}

// The registration's next hop is reached over TLS.
bool uses_tls(const struct account *acc)
{
	const char *hop = acc->outbound ? acc->outbound : acc->reg_uri;
	struct pl pl, val;
	struct uri u;
	pl_set_str(&pl, hop);
	if (uri_decode(&u, &pl))
		return false;
	return !pl_strcasecmp(&u.scheme, "sips") ||
	       (!msg_param_decode(&u.params, "transport", &val) &&
		!pl_strcasecmp(&val, "tls"));
}

void reg_resp_handler(int err, const struct sip_msg *msg, void *arg)
{
	auto *ua = static_cast<struct ua *>(arg);
	if (err || !msg) {
		ua->registered = false;
		keepalive_stop(ua);
		char why[160];
		// A handshake that failed ends the connection with EPROTO.
		if (err == EPROTO && uses_tls(ua->acc) &&
		    tls_failure_recent(why, sizeof(why)))
			ua_event(ua, UA_EVENT_REGISTER_FAIL, nullptr,
				 "503 TLS %s", why);
		else if (err == ETIMEDOUT)
			ua_event(ua, UA_EVENT_REGISTER_FAIL, nullptr,
				 "408 Request Timeout");
		else
			ua_event(ua, UA_EVENT_REGISTER_FAIL, nullptr,
				 "503 Service Unavailable (%m)", err);
		return;
	}
	if (msg->scode < 200)
		return;
	if (msg->scode < 300) {
		ua->auth_tries = 0;
		ua->registered = true;
		keepalive_start(ua, msg);
		ua_event(ua, UA_EVENT_REGISTER_OK, nullptr, "%u %r",
			 msg->scode, &msg->reason);
	}
	else {
		ua->registered = false;
		keepalive_stop(ua);
		ua_event(ua, UA_EVENT_REGISTER_FAIL, nullptr, "%u %r",
			 msg->scode, &msg->reason);
	}
}

// A registration that was never sent fails as a lookup would.
void reg_unsent(void *arg)
{
	reg_resp_handler(EDESTADDRREQ, nullptr, arg);
}

// Incoming calls go to the agent whose user the request names; calls to
// other users (an apartment number) go to the first agent.
struct ua *find_ua_for(const struct sip_msg *msg)
{
	struct le *le;
	for (le = uag.ual.head; le; le = le->next) {
		auto *ua = static_cast<struct ua *>(le->data);
		if (!pl_strcmp(&msg->uri.user, ua->acc->user))
			return ua;
	}
	return uag.ual.head ? static_cast<struct ua *>(uag.ual.head->data)
			    : nullptr;
}

void conn_handler(const struct sip_msg *msg, void *arg)
{
	(void)arg;
	struct ua *ua = find_ua_for(msg);
	if (!ua || uag.stopping) {
		refusal_log(&msg->src, 480, ua ? "stopping" : "no account",
			    "ua: INVITE from %r refused: 480 Temporarily "
			    "Unavailable (%s)", &msg->from.auri,
			    ua ? "stopping" : "no account");
		(void)sip_treply(nullptr, uag.sip, msg, 480,
				 "Temporarily Unavailable");
		return;
	}
	int err = call_accept_incoming(ua, msg);
	if (err)
		sipua_log("ua: incoming call failed (%m)\n", err);
}

// An orderly stop waits for the last transactions (unregistration, BYEs);
// a peer that never answers would hold it for a whole transaction timeout.
constexpr uint32_t STOP_GRACE_MS = 4000;

void sip_exit_handler(void *arg)
{
	(void)arg;
	uag.exited = true;
	tmr_cancel(&uag.stop_tmr);
	if (uag.exith)
		uag.exith(uag.exitarg);
}

void stop_timeout(void *arg)
{
	(void)arg;
	sipua_log("ua: stop still waiting after %u ms, closing by force\n",
		  STOP_GRACE_MS);
	if (uag.sip)
		sip_close(uag.sip, true);
	if (!uag.exited) {
		uag.exited = true;
		if (uag.exith)
			uag.exith(uag.exitarg);
	}
}

// Every request passes here first; OPTIONS is answered here.
bool request_handler(const struct sip_msg *msg, void *arg)
{
	(void)arg;
	if (request_screen(msg) || offer_screen(msg))
		return true;
	if (!pl_strcmp(&msg->met, "OPTIONS")) {
		(void)sip_treplyf(nullptr, nullptr, uag.sip, msg, false, 200,
				  "OK",
				  "Allow: INVITE, ACK, BYE, CANCEL, INFO, "
				  "OPTIONS\r\nContent-Length: 0\r\n\r\n");
		return true;
	}
	return false;
}

int local_address(struct sa *laddr)
{
	const struct config *cfg = sipua_config();
	if (cfg && cfg->sip.local[0]) {
		// The decoder would cut a port above 65535 to 16 bits.
		const char *colon = strrchr(cfg->sip.local, ':');
		if (colon && !strchr(colon, ']') &&
		    strtoul(colon + 1, nullptr, 10) > 65535) {
			sipua_warn("config: sip_listen %s: port not in "
				   "0-65535\n", cfg->sip.local);
			return ERANGE;
		}
		int err = sa_decode(laddr, cfg->sip.local,
				    strlen(cfg->sip.local));
		if (err) {
			err = sa_set_str(laddr, cfg->sip.local, 0);
			if (err)
				return err;
		}
	}
	else {
		sa_init(laddr, AF_INET);
		sa_set_port(laddr, 5060);
	}
	if (sa_is_any(laddr)) {
		struct sa ip;
		if (!net_default_source_addr_get(sa_af(laddr), &ip)) {
			uint16_t port = sa_port(laddr);
			*laddr = ip;
			sa_set_port(laddr, port);
		}
	}
	return 0;
}

const char *const event_names[UA_EVENT_MAX] = {
	"REGISTERING", "REGISTER_OK", "REGISTER_FAIL", "UNREGISTERING",
	"FALLBACK_OK", "FALLBACK_FAIL", "MWI_NOTIFY", "CREATE", "SHUTDOWN",
	"EXIT", "CALL_INCOMING", "CALL_OUTGOING", "CALL_RINGING",
	"CALL_PROGRESS", "CALL_ANSWERED", "CALL_ESTABLISHED", "CALL_CLOSED",
	"TRANSFER", "CALL_REDIRECT", "TRANSFER_FAILED", "CALL_DTMF_START",
	"CALL_DTMF_END", "CALL_RTPESTAB", "CALL_RTCP", "CALL_MENC",
	"VU_TX_REPORT", "VU_RX_REPORT", "AUDIO_ERROR", "CALL_LOCAL_SDP",
	"CALL_REMOTE_SDP", "CALL_HOLD", "CALL_RESUME", "REFER", "MODULE",
	"END_OF_FILE", "CUSTOM", "SIPSESS_CONN",
};

// The name servers of the config's dns_server lines, else the system's.
uint32_t dns_servers(struct sa nsv[NET_MAX_NS])
{
	const struct config *cfg = sipua_config();
	uint32_t n = 0;
	for (size_t i = 0; i < cfg->net.nsc && n < NET_MAX_NS; ++i) {
		const char *addr = cfg->net.nsv[i].addr;
		if (!sa_decode(&nsv[n], addr, strlen(addr)))
			++n;
		else
			sipua_warn("config: bad dns_server '%s'\n", addr);
	}
	if (n)
		return n;
	char domain[64] = "";
	n = NET_MAX_NS;
	if (dns_srv_get(domain, sizeof(domain), nsv, &n))
		n = 0;
	return n;
}

// TLS listens on the port after the others' (when one is set), as the
// original library does.
int add_tls(const struct sa *laddr)
{
	const struct config *cfg = sipua_config();
	const char *cert = cfg->sip.cert[0] ? cfg->sip.cert : nullptr;
	int err = tls_alloc(&uag.tls, TLS_METHOD_SSLV23, cert, nullptr);
	if (!err)
		err = tls_verify_setup(uag.tls, &cfg->sip);
	if (err)
		return err;
	struct sa tladdr = *laddr;
	if (sa_port(laddr))
		sa_set_port(&tladdr, sa_port(laddr) + 1);
	return sip_transp_add(uag.sip, SIP_TRANSP_TLS, &tladdr, uag.tls);
}

// The listening transports; the media address is the same, any port.
int add_transports(bool udp, bool tcp, bool tls)
{
	struct sa laddr;
	int err = local_address(&laddr);
	if (err)
		return err;
	uag.laddr = laddr;
	sa_set_port(&uag.laddr, 0);

	const char *tp = "UDP";
	if (udp)
		err = sip_transp_add(uag.sip, SIP_TRANSP_UDP, &laddr);
	if (!err && tcp) {
		tp = "TCP";
		err = sip_transp_add(uag.sip, SIP_TRANSP_TCP, &laddr);
	}
	if (!err && tls) {
		tp = "TLS";
		err = add_tls(&laddr);
	}
	if (err)
		sipua_warn("sip_listen: cannot listen on %J over %s (%m)\n",
			   &laddr, tp, err);
	return err;
}

bool ua_has_call(const struct ua *ua, const struct call *call)
{
	if (!ua || !call)
		return false;
	for (struct le *le = ua->calls.head; le; le = le->next) {
		if (le->data == call)
			return true;
	}
	return false;
}

// The agent's newest call.
struct call *last_call(const struct ua *ua)
{
	if (!ua || !ua->calls.tail)
		return nullptr;
	return static_cast<struct call *>(ua->calls.tail->data);
}

void event_unregister(ua_event_h *eh)
{
	struct le *le = uag.ehl.head;
	while (le) {
		auto *e = static_cast<struct ehe *>(le->data);
		le = le->next;
		if (e->h == eh)
			mem_deref(e);
	}
}

} // namespace

void ua_event(struct ua *ua, enum ua_event ev, struct call *call,
	      const char *fmt, ...)
{
	char buf[256] = "";
	if (fmt) {
		va_list ap;
		va_start(ap, fmt);
		(void)re_vsnprintf(buf, sizeof(buf), fmt, ap);
		va_end(ap);
	}
	struct le *le = uag.ehl.head;
	while (le) {
		auto *e = static_cast<struct ehe *>(le->data);
		le = le->next;  // a handler may unregister itself
		e->h(ua, ev, call, buf, e->arg);
	}
}

struct ua *uag_find_call_owner(const struct call *call)
{
	for (struct le *le = uag.ual.head; le; le = le->next) {
		auto *ua = static_cast<struct ua *>(le->data);
		if (ua_has_call(ua, call))
			return ua;
	}
	return nullptr;
}

extern "C" {

int ua_init(const char *software, bool udp, bool tcp, bool tls)
{
	if (uag.sip)
		return EALREADY;
	if (!udp && !tcp && !tls)
		return EINVAL;

	int err;
	struct sa nsv[NET_MAX_NS];
	uint32_t nsn = dns_servers(nsv);
	err = dnsc_alloc(&uag.dnsc, nullptr, nsv, nsn);
	if (err)
		goto out;

	err = sip_alloc(&uag.sip, uag.dnsc, 32, 32, 32,
			software ? software : "sipua", sip_exit_handler,
			nullptr);
	if (err)
		goto out;
	sip_set_trace_handler(uag.sip, sip_trace);

	err = add_transports(udp, tcp, tls);
	if (err)
		goto out;
	if (tcp || tls)
		conns_watch(uag.sip);

	// Listeners are asked in the order they were added: the screen first.
	err = sip_listen(&uag.lsnr, uag.sip, true, request_handler, nullptr);
	if (err)
		goto out;
	err = sipsess_listen(&uag.sock, uag.sip, 32, conn_handler, nullptr);
	if (err)
		goto out;
	uag.tls_on = tls;
	uag.stopping = false;

out:
	if (err)
		ua_close();
	return err;
}

void ua_close(void)
{
	conns_watch(nullptr);
	tmr_cancel(&uag.stop_tmr);
	cancel_close();
	list_flush(&uag.ual);
	uag.lsnr = (struct sip_lsnr *)mem_deref(uag.lsnr);
	uag.sock = (struct sipsess_sock *)mem_deref(uag.sock);
	if (uag.sip)
		sip_close(uag.sip, true);
	uag.sip = (struct sip *)mem_deref(uag.sip);
	uag.tls = (struct tls *)mem_deref(uag.tls);
	uag.dnsc = (struct dnsc *)mem_deref(uag.dnsc);
	list_flush(&uag.ehl);
	uag.exith = nullptr;
	uag.exitarg = nullptr;
	uag.stopping = false;
}

void ua_stop_all(bool forced)
{
	uag.stopping = true;
	uag.exited = false;
	if (!forced && uag.sip)
		tmr_start(&uag.stop_tmr, STOP_GRACE_MS, stop_timeout, nullptr);
	ua_event(nullptr, UA_EVENT_SHUTDOWN, nullptr, nullptr);
	// Each agent's destructor unregisters it; the stack reports its exit
	// when the last transaction is done.
	list_flush(&uag.ual);
	if (uag.sock && forced)
		sipsess_close_all(uag.sock);
	if (uag.sip)
		sip_close(uag.sip, forced);
	else if (uag.exith)
		uag.exith(uag.exitarg);
}

void uag_set_exit_handler(ua_exit_h *exith, void *arg)
{
	uag.exith = exith;
	uag.exitarg = arg;
}

int uag_event_register(ua_event_h *eh, void *arg)
{
	if (!eh)
		return EINVAL;
	event_unregister(eh);
	auto *e = static_cast<struct ehe *>(
		mem_zalloc(sizeof(struct ehe), [](void *p) {
			list_unlink(&static_cast<struct ehe *>(p)->le);
		}));
	if (!e)
		return ENOMEM;
	e->h = eh;
	e->arg = arg;
	list_append(&uag.ehl, &e->le, e);
	return 0;
}

const char *uag_event_str(enum ua_event ev)
{
	if ((int)ev < 0 || ev >= UA_EVENT_MAX)
		return "?";
	return event_names[ev];
}

struct list *uag_list(void)
{
	return &uag.ual;
}

int ua_alloc(struct ua **uap, const char *aor)
{
	if (!aor)
		return EINVAL;
	auto *ua = static_cast<struct ua *>(
		mem_zalloc(sizeof(struct ua), ua_destructor));
	if (!ua)
		return ENOMEM;
	int err = account_alloc(&ua->acc, aor);
	if (err) {
		mem_deref(ua);
		return err;
	}
	list_append(&uag.ual, &ua->le, ua);
	if (uap)
		*uap = ua;
	ua_event(ua, UA_EVENT_CREATE, nullptr, "%s", ua->acc->aor);
	return 0;
}

struct account *ua_account(const struct ua *ua)
{
	return ua ? ua->acc : nullptr;
}

struct list *ua_calls(const struct ua *ua)
{
	return ua ? (struct list *)&ua->calls : nullptr;
}

int ua_register(struct ua *ua)
{
	if (!ua || !uag.sip)
		return EINVAL;
	struct account *acc = ua->acc;
	ua->reg = (struct sipreg *)mem_deref(ua->reg);
	ua->registered = false;
	ua->auth_tries = 0;
	keepalive_stop(ua);

	const char *routev[1] = {acc->outbound};
	// An RFC 5626 flow names the instance it belongs to.
	char instance[96] = "";
	if (acc->sipnat_outbound && uag.cfg && uag.cfg->sip.uuid[0])
		(void)re_snprintf(instance, sizeof(instance),
				  "+sip.instance=\"<urn:uuid:%s>\"",
				  uag.cfg->sip.uuid);
	ua_event(ua, UA_EVENT_REGISTERING, nullptr, nullptr);
	if (next_hop_reserved("REGISTER", acc->reg_uri, acc->outbound)) {
		tmr_start(&ua->fail_tmr, 0, reg_unsent, ua);
		return 0;
	}
	int err = sipreg_register(&ua->reg, uag.sip, acc->reg_uri, acc->aor,
				  nullptr, acc->aor, acc->regint ? acc->regint
								 : 3600,
				  acc->user, acc->outbound ? routev : nullptr,
				  acc->outbound ? 1 : 0,
				  acc->sipnat_outbound ? 1 : 0,
				  reg_auth_handler, ua, false, reg_resp_handler,
				  ua, instance[0] ? instance : nullptr,
				  "Allow: INVITE, ACK, BYE, CANCEL, INFO, "
				  "OPTIONS\r\n");
	return err;
}

bool ua_isregistered(const struct ua *ua)
{
	return ua && ua->registered;
}

void ua_unregister(struct ua *ua)
{
	if (!ua)
		return;
	if (ua->reg)
		ua_event(ua, UA_EVENT_UNREGISTERING, nullptr, nullptr);
	ua->registered = false;
	keepalive_stop(ua);
	// Releasing the registration sends REGISTER with Expires: 0.
	ua->reg = (struct sipreg *)mem_deref(ua->reg);
}

int ua_connect(struct ua *ua, struct call **callp, const char *from_uri,
	       const char *req_uri, enum vidmode vmode)
{
	if (!ua || !req_uri || !uag.sip || uag.stopping)
		return EINVAL;
	int err = call_connect_out(callp, ua, from_uri, req_uri, vmode);
	return err;
}

int ua_answer(struct ua *ua, struct call *call, enum vidmode vmode)
{
	if (!ua)
		return EINVAL;
	if (!call) {
		for (struct le *le = ua->calls.head; le; le = le->next) {
			auto *c = static_cast<struct call *>(le->data);
			if (call_is_pending_incoming(c)) {
				call = c;
				break;
			}
		}
		if (!call)
			return ENOENT;
	}
	else if (!uag_find_call_owner(call)) {
		return ENOENT;  // not a live call
	}
	int err = call_answer_local(call, vmode);
	return err;
}

void ua_hangup(struct ua *ua, struct call *call, uint16_t scode,
	       const char *reason)
{
	if (!call)
		call = last_call(ua);
	// Only live calls (of any agent, as the original does); a stale handle
	// is ignored.
	if (!call || !uag_find_call_owner(call))
		return;
	call_terminate(call, scode, reason, true,
		       reason ? reason : "Connection reset by user");
}

} // extern "C"
