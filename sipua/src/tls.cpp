// Verification of the TLS servers the panel connects to (sip_cafile,
// sip_capath, sip_verify_server).
//
// libre 1.1.0's SIP transport opens its client connections on our context
// without asking for verification, so the context does it: each handshake
// the panel starts as a client is switched to SSL_VERIFY_PEER when it
// starts, and the callback below checks the chain against the CAs loaded
// here and the leaf certificate against the SIP server names the panel uses
// (server_names()). Handshakes where the panel is the server are left alone:
// no client certificate is asked for.
// re_tls.h declares tls_openssl_context() only for OpenSSL builds.
#define USE_OPENSSL 1
#include "core.h"

#include <cerrno>
#include <cstring>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

// The chain may hold intermediate CAs; the depth is not libre's concern.
constexpr int VERIFY_DEPTH = 8;

// The last verification failure, for the registration that it ended.
struct failure {
	uint64_t when;  // tmr_jiffies(); 0: none
	char text[160];
} last_failure;

// FAILURE_WINDOW_MS: a registration failing this soon after a verification
// failure failed because of it.
constexpr uint64_t FAILURE_WINDOW_MS = 10000;

// The layout of libre 1.1.0's record behind the send BIO of its TLS
// connections (src/tls/openssl/tls_tcp.c, built with opaque BIOs against
// OpenSSL 3). It is the only way from a handshake to the TCP connection and
// its peer; peer_of() checks the BIO's method name and that the record
// points back to the same SSL and BIO before it trusts the rest.
struct libre_tls_conn {
	SSL *ssl;
	BIO_METHOD *biomet;
	BIO *sbio_out;
	BIO *sbio_in;
	void *th;
	struct tcp_conn *tcp;
};

bool peer_of(SSL *ssl, struct sa *peer)
{
	BIO *wbio = SSL_get_wbio(ssl);
	if (!wbio || !BIO_method_name(wbio) ||
	    strcmp(BIO_method_name(wbio), "tcp_send"))
		return false;
	auto *tc = static_cast<const libre_tls_conn *>(BIO_get_data(wbio));
	if (!tc || tc->ssl != ssl || tc->sbio_out != wbio || !tc->tcp)
		return false;
	return !tcp_conn_peer_get(tc->tcp, peer);
}

// Does the certificate name `host`? An IP address counts only for the
// connection to that address (when the peer is known); a DNS name is
// checked against the subjectAltName DNS entries (the subject's CN only when
// there are none), wildcards in the leftmost label allowed.
bool names_host(X509 *cert, const struct pl *host, const struct sa *peer)
{
	char name[256];
	if (!pl_isset(host) || pl_strcpy(host, name, sizeof(name)))
		return false;
	struct sa ip;
	if (!sa_set_str(&ip, name, 0)) {
		if (peer && !sa_cmp(&ip, peer, SA_ADDR))
			return false;
		return X509_check_ip_asc(cert, name, 0) == 1;
	}
	return X509_check_host(cert, name, strlen(name),
			       X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
			       nullptr) == 1;
}

bool uri_host_named(X509 *cert, const char *uri, const struct sa *peer)
{
	struct pl pl;
	struct uri u;
	if (!uri)
		return false;
	pl_set_str(&pl, uri);
	return !uri_decode(&u, &pl) && names_host(cert, &u.host, peer);
}

// The SIP server names: each account's domain, each outbound proxy, and the
// next hop of a call whose TLS connection is being opened right now.
bool names_a_server(X509 *cert, const struct sa *peer)
{
	for (struct le *le = uag.ual.head; le; le = le->next) {
		const struct account *acc =
			static_cast<struct ua *>(le->data)->acc;
		struct pl host;
		pl_set_str(&host, acc->host);
		if (names_host(cert, &host, peer) ||
		    uri_host_named(cert, acc->outbound, peer))
			return true;
	}
	const char *hop = peer ? flow_next_hop(peer) : nullptr;
	return hop && uri_host_named(cert, hop, peer);
}

void fail(SSL *ssl, const char *why)
{
	struct sa peer;
	char where[64] = "?";
	if (peer_of(ssl, &peer))
		(void)re_snprintf(where, sizeof(where), "%J", &peer);
	(void)re_snprintf(last_failure.text, sizeof(last_failure.text),
			  "%s: certificate verify failed: %s", where, why);
	last_failure.when = tmr_jiffies();
	sipua_warn("tls: %s\n", last_failure.text);
	sipua_count(SIPUA_TLS_FAILED);
}

// The first failure ends the handshake: one line, one count per connection.
int verify_handler(int ok, X509_STORE_CTX *store)
{
	auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(
		store, SSL_get_ex_data_X509_STORE_CTX_idx()));
	if (!ssl)
		return ok;
	if (!ok) {
		fail(ssl, X509_verify_cert_error_string(
				  X509_STORE_CTX_get_error(store)));
		return 0;
	}
	if (X509_STORE_CTX_get_error_depth(store) > 0)
		return 1;
	struct sa peer;
	const bool known = peer_of(ssl, &peer);
	if (names_a_server(X509_STORE_CTX_get_current_cert(store),
			   known ? &peer : nullptr))
		return 1;
	X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
	fail(ssl, "hostname mismatch");
	return 0;
}

void info_handler(const SSL *ssl, int where, int ret)
{
	(void)ret;
	if ((where & SSL_CB_HANDSHAKE_START) && !SSL_is_server(ssl))
		SSL_set_verify(const_cast<SSL *>(ssl), SSL_VERIFY_PEER,
			       verify_handler);
}

} // namespace

int tls_verify_setup(struct tls *tls, const struct config_sip *cfg)
{
	const char *cafile = cfg->cafile[0] ? cfg->cafile : nullptr;
	const char *capath = cfg->capath[0] ? cfg->capath : nullptr;
	SSL_CTX *ctx = tls_openssl_context(tls);
	if (!ctx)
		return EINVAL;
	if ((cafile || capath) &&
	    !SSL_CTX_load_verify_locations(ctx, cafile, capath)) {
		sipua_warn("tls: cannot load CAs from %s%s%s\n",
			   cafile ? cafile : "", cafile && capath ? " and " : "",
			   capath ? capath : "");
		return EINVAL;
	}
	if (!cfg->verify_server)
		return 0;
	// Asked to verify with no CA named: the system's store, as OpenSSL
	// keeps it (/etc/ssl/certs).
	if (!cafile && !capath && !SSL_CTX_set_default_verify_paths(ctx))
		sipua_warn("tls: the system's CA store cannot be loaded\n");
	SSL_CTX_set_verify_depth(ctx, VERIFY_DEPTH);
	SSL_CTX_set_info_callback(ctx, info_handler);
	return 0;
}

bool tls_failure_recent(char *buf, size_t sz)
{
	if (!last_failure.when ||
	    tmr_jiffies() - last_failure.when > FAILURE_WINDOW_MS)
		return false;
	str_ncpy(buf, last_failure.text, sz);
	return true;
}
