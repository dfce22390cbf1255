// Where an outgoing request goes: a name under .invalid never resolves
// (RFC 6761), so it is not looked up.
#include "core.h"

#include <cerrno>
#include <strings.h>

namespace {

bool reserved(const struct pl *name)
{
	struct pl host = *name;
	if (host.l && host.p[host.l - 1] == '.')
		--host.l;
	static const char tld[] = "invalid";
	const size_t n = sizeof(tld) - 1;
	if (host.l < n || strncasecmp(host.p + host.l - n, tld, n))
		return false;
	return host.l == n || host.p[host.l - n - 1] == '.';
}

} // namespace

int next_hop_reserved(const char *what, const char *uri, const char *outbound)
{
	struct pl pl;
	struct uri u;
	pl_set_str(&pl, outbound ? outbound : uri);
	if (uri_decode(&u, &pl) || !reserved(&u.host))
		return 0;
	sipua_warn("ua: %s not sent: %r is under .invalid and never resolves "
		   "(RFC 6761), so it is not looked up\n", what, &u.host);
	return EDESTADDRREQ;
}
