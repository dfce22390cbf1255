// Account from its address text:
//   sip:user@host[:port][;auth_pass=x][;auth_user=y][;outbound=sip:p:port]
//   [;transport=udp|tcp|tls][;regint=n][;answermode=auto][;sipnat=outbound]
//   [;mediaenc=srtp|srtp-mand][;medianat=stun][;stunserver=stun:host[:port]]
//   [;audio_codecs=opus/48000/2,G722,PCMU]
// or the same inside "<...>" followed by the parameters.
#include "audio.h"
#include "core.h"
#include "mnat.h"
#include "srtp.h"

#include <cerrno>

namespace {

// What the parameters say before the account's texts are put together.
struct acc_params {
	struct account *acc;
	struct pl ob;      // outbound proxy
	struct pl ob_tp;   // its transport
	struct pl reg_tp;  // the registrar's transport
	bool after_ob;     // a transport now belongs to the proxy route
};

typedef int (param_h)(struct acc_params *ap, const struct pl *val);

void destructor(void *arg)
{
	auto *acc = static_cast<struct account *>(arg);
	mem_deref(acc->aor);
	mem_deref(acc->user);
	mem_deref(acc->host);
	mem_deref(acc->auth_user);
	mem_deref(acc->auth_pass);
	mem_deref(acc->outbound);
	mem_deref(acc->reg_uri);
	mem_deref(acc->stunserver);
}

// Characters that would let a value break out of a header line.
bool has_ctl(const struct pl *pl)
{
	for (size_t i = 0; i < pl->l; i++) {
		const unsigned char c = (unsigned char)pl->p[i];
		if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '"')
			return true;
	}
	return false;
}

// Only text the SIP address decoder reads one way: "<" opens the text and
// the first ">" closes a non-empty address; a bare address starts at once.
bool screened(const struct pl *all)
{
	if (all->p[0] != '<')
		return all->p[0] != ';' && !has_ctl(all);
	const char *gt = pl_strchr(all, '>');
	if (!gt || gt == all->p + 1)
		return false;
	const struct pl addr = {all->p + 1, (size_t)(gt - all->p - 1)};
	const struct pl rest = {gt + 1, all->l - addr.l - 2};
	return !has_ctl(&addr) && !has_ctl(&rest);
}

int replace_str(char **dst, const struct pl *val)
{
	*dst = (char *)mem_deref(*dst);
	return pl_strdup(dst, val);
}

int set_auth_pass(struct acc_params *ap, const struct pl *val)
{
	return replace_str(&ap->acc->auth_pass, val);
}

int set_auth_user(struct acc_params *ap, const struct pl *val)
{
	return replace_str(&ap->acc->auth_user, val);
}

int set_outbound(struct acc_params *ap, const struct pl *val)
{
	struct uri uri;
	if (uri_decode(&uri, val) || !pl_isset(&uri.host))
		return EINVAL;
	ap->ob = *val;
	ap->after_ob = true;
	return 0;
}

int set_transport(struct acc_params *ap, const struct pl *val)
{
	if (pl_strcasecmp(val, "udp") && pl_strcasecmp(val, "tcp") &&
	    pl_strcasecmp(val, "tls"))
		return EINVAL;
	if (ap->after_ob)
		ap->ob_tp = *val;
	else
		ap->reg_tp = *val;
	return 0;
}

int set_regint(struct acc_params *ap, const struct pl *val)
{
	ap->acc->regint = pl_u32(val);
	return 0;
}

int set_sipnat(struct acc_params *ap, const struct pl *val)
{
	ap->acc->sipnat_outbound = !pl_strcasecmp(val, "outbound");
	return 0;
}

int set_ptime(struct acc_params *ap, const struct pl *val)
{
	const uint32_t ptime = pl_u32(val);
	if (ptime >= 10 && ptime <= 60 && !(ptime % 10))
		ap->acc->ptime = ptime;
	return 0;
}

int set_answermode(struct acc_params *ap, const struct pl *val)
{
	if (!pl_strcasecmp(val, "auto"))
		ap->acc->answermode = ANSWERMODE_AUTO;
	else if (!pl_strcasecmp(val, "early"))
		ap->acc->answermode = ANSWERMODE_EARLY;
	return 0;
}

int set_mediaenc(struct acc_params *ap, const struct pl *val)
{
	ap->acc->menc = menc_decode(val);
	if (ap->acc->menc != MENC_NONE && !srtp_enabled())
		sipua_warn("account: mediaenc=%r needs module srtp.so, "
			   "calls are plain\n", val);
	return 0;
}

int set_medianat(struct acc_params *ap, const struct pl *val)
{
	ap->acc->medianat_stun = !pl_strcasecmp(val, "stun");
	if (pl_isset(val) && !ap->acc->medianat_stun)
		sipua_warn("account: medianat=%r not available, the SDP "
			   "names the local addresses\n", val);
	return 0;
}

int set_stunserver(struct acc_params *ap, const struct pl *val)
{
	return replace_str(&ap->acc->stunserver, val);
}

// Comma-separated codec names; one not registered is skipped, said once.
int set_audio_codecs(struct acc_params *ap, const struct pl *val)
{
	struct account *acc = ap->acc;
	const size_t max = sizeof(acc->aucodecv) / sizeof(acc->aucodecv[0]);
	struct pl rest = *val, name;
	acc->aucodecc = 0;
	while (acc->aucodecc < max &&
	       !re_regex(rest.p, rest.l, "[^,]+", &name)) {
		pl_advance(&rest, (size_t)(name.p + name.l - rest.p));
		if (pl_isset(&rest))
			pl_advance(&rest, 1);  // the comma
		const struct aucodec *ac = aucodec_find(&name);
		if (ac)
			acc->aucodecv[acc->aucodecc++] = ac;
		else
			sipua_warn("account: audio codec %r not found\n",
				   &name);
	}
	return 0;
}

const struct {
	const char *name;
	param_h *h;
} param_table[] = {
	{"auth_pass", set_auth_pass}, {"auth_user", set_auth_user},
	{"outbound", set_outbound},   {"outbound1", set_outbound},
	{"transport", set_transport}, {"regint", set_regint},
	{"ptime", set_ptime},         {"answermode", set_answermode},
	{"mediaenc", set_mediaenc},   {"sipnat", set_sipnat},
	{"medianat", set_medianat},   {"stunserver", set_stunserver},
	{"audio_codecs", set_audio_codecs},
};

// One "key[=value]"; unknown keys are ignored. Only a transport keeps an
// outbound's run going.
int apply_param(struct acc_params *ap, const struct pl *key,
		const struct pl *val)
{
	for (const auto &p : param_table) {
		if (pl_strcasecmp(key, p.name))
			continue;
		if (p.h != set_transport)
			ap->after_ob = false;
		return p.h(ap, val);
	}
	ap->after_ob = false;
	return 0;
}

// The ";"-separated parameters in order, each split at its first "=": the
// value is taken as written, and the last of a repeated key wins.
int decode_params(struct acc_params *ap, const struct pl *params)
{
	struct pl rest = *params, prm;
	while (!re_regex(rest.p, rest.l, "[^;]+", &prm)) {
		pl_advance(&rest, prm.p + prm.l - rest.p);
		struct pl key = prm, val = pl_null;
		const char *eq = pl_strchr(&prm, '=');
		if (eq) {
			key.l = (size_t)(eq - prm.p);
			val.p = eq + 1;
			val.l = prm.l - key.l - 1;
		}
		const int err = apply_param(ap, &key, &val);
		if (err)
			return err;
	}
	return 0;
}

// The texts the agent sends: address of record, registrar and proxy route.
int compose(struct account *acc, const struct uri *uri,
	    const struct acc_params *ap)
{
	int err = 0;
	if (pl_isset(&ap->ob) && pl_isset(&ap->ob_tp))
		err = re_sdprintf(&acc->outbound, "%r;transport=%r;lr", &ap->ob,
				  &ap->ob_tp);
	else if (pl_isset(&ap->ob))
		err = re_sdprintf(&acc->outbound, "%r;lr", &ap->ob);
	if (err)
		return err;

	char port[8] = "";
	if (acc->port)
		(void)re_snprintf(port, sizeof(port), ":%u", acc->port);
	err = re_sdprintf(&acc->aor, "sip:%r@%s%s", &uri->user, acc->host,
			  port);
	if (err)
		return err;
	if (pl_isset(&ap->reg_tp))
		err = re_sdprintf(&acc->reg_uri, "sip:%s%s;transport=%r",
				  acc->host, port, &ap->reg_tp);
	else
		err = re_sdprintf(&acc->reg_uri, "sip:%s%s", acc->host, port);
	if (err)
		return err;

	// An address of record that does not read back as an address is
	// refused.
	char *text = nullptr;
	err = re_sdprintf(&text, "<%s>", acc->aor);
	if (err)
		return err;
	struct pl pl;
	struct sip_addr addr;
	pl_set_str(&pl, text);
	err = sip_addr_decode(&addr, &pl);
	mem_deref(text);
	return err;
}

} // namespace

int account_alloc(struct account **accp, const char *text)
{
	if (!accp || !text || !*text)
		return EINVAL;

	struct pl all;
	struct sip_addr addr;
	pl_set_str(&all, text);
	if (!screened(&all) || sip_addr_decode(&addr, &all))
		return EINVAL;
	const struct uri *uri = &addr.uri;
	if (pl_strcasecmp(&uri->scheme, "sip") || !pl_isset(&uri->user) ||
	    !pl_isset(&uri->host))
		return EINVAL;

	auto *acc = static_cast<struct account *>(
		mem_zalloc(sizeof(struct account), destructor));
	if (!acc)
		return ENOMEM;
	acc->regint = sipua_regint();
	acc->sipnat_outbound = sipua_outbound();
	acc->medianat_stun = sipua_medianat_stun();
	acc->ptime = 20;
	acc->answermode = ANSWERMODE_MANUAL;
	acc->port = uri->port;

	struct acc_params ap = {acc, pl_null, pl_null, pl_null, false};
	int err = pl_strdup(&acc->user, &uri->user);
	// The decoder drops an IPv6 literal's brackets; every text the host
	// goes into needs them back.
	err |= uri->af == AF_INET6
		       ? re_sdprintf(&acc->host, "[%r]", &uri->host)
		       : pl_strdup(&acc->host, &uri->host);
	err |= pl_strdup(&acc->auth_user, &uri->user);
	if (sipua_stunserver())
		err |= str_dup(&acc->stunserver, sipua_stunserver());
	if (!err)
		err = decode_params(&ap, &addr.params);
	if (!err)
		err = compose(acc, uri, &ap);
	if (!err && acc->medianat_stun && !mnat_stun_enabled())
		sipua_warn("account: medianat=stun needs module stun.so, the "
			   "SDP names the local addresses\n");

	if (err)
		mem_deref(acc);
	else
		*accp = acc;
	return err;
}

extern "C" {

const char *account_outbound(const struct account *acc, unsigned ix)
{
	return (acc && ix == 0) ? acc->outbound : nullptr;
}

} // extern "C"
