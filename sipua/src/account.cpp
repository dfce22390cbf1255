// Account from its address text:
//   sip:user@host[:port][;auth_pass=x][;auth_user=y][;outbound=sip:p:port]
//   [;transport=udp|tcp|tls][;regint=n][;answermode=auto]
// or the same inside "<...>" followed by the parameters.
#include "core.h"

#include <cerrno>
#include <cstring>

namespace {

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
	mem_deref(acc->laddr_buf);
}

bool valid_transport(const struct pl *pl)
{
	return !pl_strcasecmp(pl, "udp") || !pl_strcasecmp(pl, "tcp") ||
	       !pl_strcasecmp(pl, "tls");
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

} // namespace

int account_alloc(struct account **accp, const char *text)
{
	if (!accp || !text || !*text)
		return EINVAL;

	struct pl all, uri_pl, params = PL_INIT;
	pl_set_str(&all, text);
	if (has_ctl(&all) && all.p[0] != '<')
		return EINVAL;

	if (all.p[0] == '<') {
		const char *gt = (const char *)memchr(all.p, '>', all.l);
		if (!gt)
			return EINVAL;
		uri_pl.p = all.p + 1;
		uri_pl.l = (size_t)(gt - all.p - 1);
		params.p = gt + 1;
		params.l = all.l - (size_t)(gt + 1 - all.p);
	}
	else {
		const char *semi = (const char *)memchr(all.p, ';', all.l);
		uri_pl.p = all.p;
		uri_pl.l = semi ? (size_t)(semi - all.p) : all.l;
		if (semi) {
			params.p = semi;
			params.l = all.l - uri_pl.l;
		}
	}
	if (has_ctl(&uri_pl) || has_ctl(&params))
		return EINVAL;

	struct uri uri;
	if (uri_decode(&uri, &uri_pl))
		return EINVAL;
	if (pl_strcasecmp(&uri.scheme, "sip") || !pl_isset(&uri.user) ||
	    !pl_isset(&uri.host))
		return EINVAL;

	auto *acc = static_cast<struct account *>(
		mem_zalloc(sizeof(struct account), destructor));
	if (!acc)
		return ENOMEM;
	acc->regint = 3600;
	acc->ptime = 20;
	acc->answermode = ANSWERMODE_MANUAL;
	acc->port = uri.port;

	int err = 0;
	err |= pl_strdup(&acc->user, &uri.user);
	err |= pl_strdup(&acc->host, &uri.host);
	err |= pl_strdup(&acc->auth_user, &uri.user);
	if (err)
		goto out;

	{
		// Walk ";key=value" pairs; a transport right after "outbound"
		// belongs to the proxy route.
		struct pl ob = PL_INIT, ob_tp = PL_INIT, reg_tp = PL_INIT;
		const char *p = params.p;
		const char *end = params.p + params.l;
		bool after_ob = false;
		while (p && p < end) {
			if (*p == ';') {
				++p;
				continue;
			}
			const char *semi =
				(const char *)memchr(p, ';', (size_t)(end - p));
			const char *stop = semi ? semi : end;
			struct pl kv = {p, (size_t)(stop - p)};
			struct pl key = kv, val = PL_INIT;
			const char *eq = (const char *)memchr(kv.p, '=', kv.l);
			if (eq) {
				key.l = (size_t)(eq - kv.p);
				val.p = eq + 1;
				val.l = kv.l - key.l - 1;
			}
			if (!pl_strcasecmp(&key, "auth_pass")) {
				acc->auth_pass = (char *)mem_deref(acc->auth_pass);
				err = pl_strdup(&acc->auth_pass, &val);
				after_ob = false;
			}
			else if (!pl_strcasecmp(&key, "auth_user")) {
				acc->auth_user = (char *)mem_deref(acc->auth_user);
				err = pl_strdup(&acc->auth_user, &val);
				after_ob = false;
			}
			else if (!pl_strcasecmp(&key, "outbound") ||
				 !pl_strcasecmp(&key, "outbound1")) {
				struct uri ouri;
				if (uri_decode(&ouri, &val) ||
				    !pl_isset(&ouri.host)) {
					err = EINVAL;
				}
				ob = val;
				after_ob = true;
			}
			else if (!pl_strcasecmp(&key, "transport")) {
				if (!valid_transport(&val))
					err = EINVAL;
				if (after_ob)
					ob_tp = val;
				else
					reg_tp = val;
			}
			else if (!pl_strcasecmp(&key, "regint")) {
				acc->regint = pl_u32(&val);
				after_ob = false;
			}
			else if (!pl_strcasecmp(&key, "ptime")) {
				const uint32_t ptime = pl_u32(&val);
				if (ptime >= 10 && ptime <= 60 && !(ptime % 10))
					acc->ptime = ptime;
				after_ob = false;
			}
			else if (!pl_strcasecmp(&key, "answermode")) {
				if (!pl_strcasecmp(&val, "auto"))
					acc->answermode = ANSWERMODE_AUTO;
				else if (!pl_strcasecmp(&val, "early"))
					acc->answermode = ANSWERMODE_EARLY;
				after_ob = false;
			}
			else {
				after_ob = false;  // unknown keys are ignored
			}
			if (err)
				goto out;
			p = semi;
		}

		if (pl_isset(&ob)) {
			if (pl_isset(&ob_tp))
				err = re_sdprintf(&acc->outbound,
						  "%r;transport=%r;lr", &ob,
						  &ob_tp);
			else
				err = re_sdprintf(&acc->outbound, "%r;lr", &ob);
			if (err)
				goto out;
		}

		if (acc->port)
			err = re_sdprintf(&acc->aor, "sip:%r@%r:%u", &uri.user,
					  &uri.host, acc->port);
		else
			err = re_sdprintf(&acc->aor, "sip:%r@%r", &uri.user,
					  &uri.host);
		if (err)
			goto out;

		{
			char port[8] = "";
			if (acc->port)
				(void)re_snprintf(port, sizeof(port), ":%u",
						  acc->port);
			if (pl_isset(&reg_tp))
				err = re_sdprintf(&acc->reg_uri,
						  "sip:%r%s;transport=%r",
						  &uri.host, port, &reg_tp);
			else
				err = re_sdprintf(&acc->reg_uri, "sip:%r%s",
						  &uri.host, port);
			if (err)
				goto out;
		}

		err = re_sdprintf(&acc->laddr_buf, "<%s>", acc->aor);
		if (err)
			goto out;
		struct pl lp;
		pl_set_str(&lp, acc->laddr_buf);
		err = sip_addr_decode(&acc->laddr, &lp);
	}

out:
	if (err)
		mem_deref(acc);
	else
		*accp = acc;
	return err;
}

extern "C" {

const char *account_aor(const struct account *acc)
{
	return acc ? acc->aor : nullptr;
}

const char *account_auth_user(const struct account *acc)
{
	return acc ? acc->auth_user : nullptr;
}

const char *account_auth_pass(const struct account *acc)
{
	return acc ? acc->auth_pass : nullptr;
}

const char *account_outbound(const struct account *acc, unsigned ix)
{
	return (acc && ix == 0) ? acc->outbound : nullptr;
}

uint32_t account_regint(const struct account *acc)
{
	return acc ? acc->regint : 0;
}

struct sip_addr *account_laddr(const struct account *acc)
{
	return acc ? (struct sip_addr *)&acc->laddr : nullptr;
}

enum answermode account_answermode(const struct account *acc)
{
	return acc ? acc->answermode : ANSWERMODE_MANUAL;
}

} // extern "C"
