// One RTSP DESCRIBE over plain sockets. The camera is not trusted: the reply
// is read into a fixed buffer (a longer one is refused), the whole exchange
// has one deadline, and the parameter sets' text is checked to be base64
// before anyone else sees it.
#include "camera_probe.h"

#include "h264.h"

extern "C" {
#include <re_types.h>
#include <re_base64.h>
#include <re_md5.h>
}

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

enum {
	REPLY_MAX = 16384,  // headers and session description
	SPROP_MAX = 1024,
	STEP_MS = 100,      // how soon a stop is seen
};

struct rtsp_url {
	std::string user, pass, host, port = "554", uri;
};

int hex(char c)
{
	return c >= '0' && c <= '9' ? c - '0'
	     : c >= 'a' && c <= 'f' ? c - 'a' + 10
	     : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string unescape(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); ++i) {
		if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 &&
		    hex(s[i + 2]) >= 0) {
			out += (char)(hex(s[i + 1]) << 4 | hex(s[i + 2]));
			i += 2;
		}
		else {
			out += s[i];
		}
	}
	return out;
}

bool parse_url(const char *url, struct rtsp_url *u)
{
	if (strncasecmp(url, "rtsp://", 7))
		return false;
	const char *auth = url + 7;
	const char *end = auth + strcspn(auth, "/?#");
	const char *at = nullptr;
	for (const char *p = auth; p < end; ++p)
		at = *p == '@' ? p : at;
	if (at) {
		const std::string info(auth, at);
		const size_t colon = info.find(':');
		u->user = unescape(info.substr(0, colon));
		if (colon != std::string::npos)
			u->pass = unescape(info.substr(colon + 1));
		auth = at + 1;
	}
	std::string hostport(auth, end);
	const size_t close = hostport.rfind(']');
	const size_t colon = hostport.rfind(':');
	if (colon != std::string::npos &&
	    (close == std::string::npos || colon > close)) {
		u->port = hostport.substr(colon + 1);
		hostport.resize(colon);
	}
	if (hostport.size() > 1 && hostport[0] == '[' && hostport.back() == ']')
		hostport = hostport.substr(1, hostport.size() - 2);
	u->host = hostport;
	// The request names the stream without the credentials.
	u->uri = std::string(url, url + 7) + std::string(auth);
	return !u->host.empty();
}

int64_t now_ms(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Waits for `events` on `fd` until the deadline or a stop.
bool wait_fd(int fd, short events, int64_t deadline,
	     const std::atomic<bool> &stop)
{
	for (;;) {
		const int64_t left = deadline - now_ms();
		if (stop || left <= 0)
			return false;
		struct pollfd p = {fd, events, 0};
		const int r = poll(&p, 1, (int)(left < (int64_t)STEP_MS ? left : (int64_t)STEP_MS));
		if (r > 0)
			return true;
		if (r < 0 && errno != EINTR)
			return false;
	}
}

int connect_to(const struct rtsp_url &u, int64_t deadline,
	       const std::atomic<bool> &stop)
{
	struct addrinfo hints = {}, *res = nullptr;
	hints.ai_socktype = SOCK_STREAM;
	if (getaddrinfo(u.host.c_str(), u.port.c_str(), &hints, &res) || !res)
		return -1;
	int fd = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
			0);
	if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) &&
	    errno != EINPROGRESS) {
		close(fd);
		fd = -1;
	}
	freeaddrinfo(res);
	int err = 0;
	socklen_t len = sizeof(err);
	if (fd >= 0 && (!wait_fd(fd, POLLOUT, deadline, stop) ||
			getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) || err)) {
		close(fd);
		fd = -1;
	}
	return fd;
}

bool send_all(int fd, const std::string &s, int64_t deadline,
	      const std::atomic<bool> &stop)
{
	for (size_t sent = 0; sent < s.size();) {
		const ssize_t n = send(fd, s.data() + sent, s.size() - sent,
				       MSG_NOSIGNAL);
		if (n > 0)
			sent += (size_t)n;
		else if (n < 0 && errno != EAGAIN && errno != EINTR)
			return false;
		else if (!wait_fd(fd, POLLOUT, deadline, stop))
			return false;
	}
	return true;
}

// A header's value in `head` (lines after the status line), or "".
std::string header(const std::string &head, const char *name)
{
	const size_t n = strlen(name);
	for (size_t at = head.find("\r\n"); at != std::string::npos;
	     at = head.find("\r\n", at + 2)) {
		if (!strncasecmp(head.c_str() + at + 2, name, n) &&
		    head[at + 2 + n] == ':') {
			const size_t from = head.find_first_not_of(' ', at + 3 + n);
			const size_t to = head.find("\r\n", at + 2);
			return from < to ? head.substr(from, to - from) : "";
		}
	}
	return "";
}

// Reads one reply: its status and headers, and its body into `body`.
int read_reply(int fd, int64_t deadline, const std::atomic<bool> &stop,
	       std::string *head, std::string *body)
{
	std::string in;
	char buf[4096];
	size_t need = std::string::npos;
	for (;;) {
		const size_t end = in.find("\r\n\r\n");
		if (end != std::string::npos && need == std::string::npos) {
			*head = in.substr(0, end);
			const std::string len = header(*head, "Content-Length");
			const unsigned long n = strtoul(len.c_str(), nullptr, 10);
			if (n > REPLY_MAX)
				return 0;
			need = end + 4 + n;
		}
		if (in.size() >= need) {
			*body = in.substr(head->size() + 4, need - head->size() - 4);
			return atoi(head->c_str() + head->find(' ') + 1);
		}
		if (in.size() > REPLY_MAX || !wait_fd(fd, POLLIN, deadline, stop))
			return 0;
		const ssize_t n = recv(fd, buf, sizeof(buf), 0);
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
			return 0;
		if (n > 0)
			in.append(buf, (size_t)n);
	}
}

std::string md5_hex(const std::string &s)
{
	uint8_t d[MD5_SIZE];
	md5(reinterpret_cast<const uint8_t *>(s.data()), s.size(), d);
	char out[MD5_STR_SIZE];
	for (int i = 0; i < MD5_SIZE; ++i)
		(void)snprintf(out + 2 * i, 3, "%02x", d[i]);
	return out;
}

// `key`="value" out of a challenge.
std::string param(const std::string &chall, const char *key)
{
	const std::string k = std::string(key) + "=\"";
	const size_t at = chall.find(k);
	if (at == std::string::npos)
		return "";
	const size_t from = at + k.size(), to = chall.find('"', from);
	return to == std::string::npos ? "" : chall.substr(from, to - from);
}

// The Authorization header answering `chall` (Basic, or Digest without qop).
std::string authorization(const struct rtsp_url &u, const std::string &chall)
{
	if (!strncasecmp(chall.c_str(), "Basic", 5)) {
		const std::string up = u.user + ":" + u.pass;
		char b64[512];
		size_t n = sizeof(b64) - 1;
		if (up.size() > 300 ||
		    base64_encode(reinterpret_cast<const uint8_t *>(up.data()),
				  up.size(), b64, &n))
			return "";
		return "Authorization: Basic " + std::string(b64, n) + "\r\n";
	}
	const std::string realm = param(chall, "realm"),
			  nonce = param(chall, "nonce");
	const std::string ha1 = md5_hex(u.user + ":" + realm + ":" + u.pass);
	const std::string ha2 = md5_hex("DESCRIBE:" + u.uri);
	return "Authorization: Digest username=\"" + u.user + "\", realm=\"" +
	       realm + "\", nonce=\"" + nonce + "\", uri=\"" + u.uri +
	       "\", response=\"" + md5_hex(ha1 + ":" + nonce + ":" + ha2) +
	       "\"\r\n";
}

// The parameter sets of the first H.264 video stream of `sdp`.
bool sprop_of(const std::string &sdp, char *sprop, size_t size)
{
	const size_t video = sdp.find("m=video");
	if (video == std::string::npos)
		return false;
	const size_t next = sdp.find("\nm=", video);
	const std::string m = sdp.substr(video, next == std::string::npos
						     ? std::string::npos
						     : next - video);
	const char key[] = "sprop-parameter-sets=";
	const size_t at = m.find(key);
	if (at == std::string::npos)
		return false;
	const size_t from = at + sizeof(key) - 1;
	const size_t to = m.find_first_of("; \t\r\n", from);
	const std::string v = m.substr(from, to == std::string::npos
						     ? std::string::npos : to - from);
	if (v.empty() || v.size() >= size || v.size() > SPROP_MAX ||
	    v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnop"
				"qrstuvwxyz0123456789+/=,") != std::string::npos)
		return false;
	memcpy(sprop, v.c_str(), v.size() + 1);
	return true;
}

} // namespace

bool camera_describe(const char *url, int ms, const std::atomic<bool> &stop,
		     char *sprop, size_t size)
{
	struct rtsp_url u;
	if (!url || !parse_url(url, &u))
		return false;
	const int64_t deadline = now_ms() + ms;
	std::string head, body, auth;
	int status = 0;
	// The request with credentials goes on a connection of its own: some
	// cameras close theirs after a 401.
	for (int round = 0; round < 2; ++round) {
		const int fd = connect_to(u, deadline, stop);
		if (fd < 0)
			return false;
		const std::string req = "DESCRIBE " + u.uri + " RTSP/1.0\r\n"
			"CSeq: 1\r\nAccept: application/sdp\r\n" + auth + "\r\n";
		status = send_all(fd, req, deadline, stop)
			 ? read_reply(fd, deadline, stop, &head, &body) : 0;
		close(fd);
		if (status != 401 || !auth.empty() || u.user.empty())
			break;
		auth = authorization(u, header(head, "WWW-Authenticate"));
	}
	return status == 200 && sprop_of(body, sprop, size);
}

size_t sprop_annex_b(const char *sprop, uint8_t *out, size_t cap)
{
	size_t len = 0;
	for (const char *p = sprop; *p;) {
		const size_t n = strcspn(p, ",");
		size_t olen = cap > len + 4 ? cap - len - 4 : 0;
		if (!olen || !n ||
		    base64_decode(p, n, out + len + 4, &olen) || !olen)
			return 0;
		memcpy(out + len, "\0\0\0\1", 4);
		len += 4 + olen;
		p += n + (p[n] == ',');
	}
	return len;
}
