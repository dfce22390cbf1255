// The cap on inbound TCP/TLS connections (sip_max_connections).
//
// Idle connections from outside would otherwise hold descriptors until the
// process runs out; then every accept() fails with EMFILE, the pending
// connection stays queued, and libre's loop wakes on it again and again.
// libre 1.1.0's SIP transport gives no say in what it accepts: its TCP
// listener (src/tcp/tcp.c) calls accept() and later close() through the
// PLT. So accept, accept4 and close are defined here. The daemon and the
// tests link sipua statically and the linker exports these definitions
// because libre.so refers to them, so libre's calls bind to them and the
// real ones are reached through dlsym(RTLD_NEXT). conns_watch() checks that
// the binding holds (the global lookup finds these definitions) and says so
// when it does not: the cap is then not enforced.
//
// Only sockets accepted on the SIP stack's listening sockets are counted;
// everything else passes through untouched.
#include "core.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using accept_fn = int (*)(int, struct sockaddr *, socklen_t *);
using accept4_fn = int (*)(int, struct sockaddr *, socklen_t *, int);
using close_fn = int (*)(int);

template <class F>
F real(std::atomic<F> &slot, const char *name)
{
	F f = slot.load(std::memory_order_relaxed);
	if (!f) {
		f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
		slot.store(f, std::memory_order_relaxed);
	}
	return f;
}

std::atomic<accept_fn> real_accept;
std::atomic<accept4_fn> real_accept4;
std::atomic<close_fn> real_close_fn;

int close_real(int fd)
{
	close_fn f = real(real_close_fn, "close");
	return f ? f(fd) : (int)syscall(SYS_close, fd);
}

// Descriptors accepted on a SIP listener, one bit each; above MAX_FD a
// connection is refused (libre polls only far lower ones anyway).
constexpr int MAX_FD = 4096;
std::atomic<uint64_t> accepted[MAX_FD / 64];
std::atomic<int> open_conns;

// The SIP listeners' addresses (TCP, TLS); set on the loop thread before
// `listeners` is published.
struct sa listen_addr[2];
std::atomic<int> listeners;

// Held so that at EMFILE one queued connection can still be taken off the
// queue and closed.
int spare_fd = -1;

// Refusals are logged at most once a minute.
constexpr uint64_t LOG_INTERVAL_MS = 60000;
uint64_t last_log;
unsigned unlogged;

bool mark(int fd)
{
	const uint64_t bit = 1ull << (fd % 64);
	return accepted[fd / 64].fetch_or(bit) & bit;
}

bool unmark(int fd)
{
	if (fd < 0 || fd >= MAX_FD)
		return false;
	const uint64_t bit = 1ull << (fd % 64);
	return accepted[fd / 64].fetch_and(~bit) & bit;
}

bool sip_listener(int fd)
{
	const int n = listeners.load(std::memory_order_acquire);
	if (!n)
		return false;
	struct sa local;
	sa_init(&local, AF_UNSPEC);
	if (getsockname(fd, &local.u.sa, &local.len))
		return false;
	for (int i = 0; i < n; ++i) {
		if (sa_cmp(&local, &listen_addr[i], SA_ALL))
			return true;
	}
	return false;
}

void refused(const struct sockaddr *peer, socklen_t len, const char *why)
{
	sipua_count(SIPUA_CONN_REFUSED);
	const uint64_t now = tmr_jiffies();
	if (last_log && now - last_log < LOG_INTERVAL_MS) {
		++unlogged;
		return;
	}
	struct sa from;
	sa_init(&from, AF_UNSPEC);
	if (peer && len <= sizeof(from.u))
		(void)sa_set_sa(&from, peer);
	sipua_warn("sip: connection from %J refused: %s (%u more refused "
		   "since the last such line)\n", &from, why, unlogged);
	last_log = now;
	unlogged = 0;
}

// At EMFILE the spare descriptor makes room to take the connection off the
// queue, which would otherwise wake the loop at once, forever.
void shed(int lfd)
{
	if (spare_fd < 0)
		return;
	close_real(spare_fd);
	struct sa peer;
	sa_init(&peer, AF_UNSPEC);
	const int fd = real(real_accept, "accept")(lfd, &peer.u.sa, &peer.len);
	if (fd >= 0) {
		close_real(fd);
		refused(&peer.u.sa, peer.len, "out of descriptors");
	}
	spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

int screen(int lfd, int fd, const struct sockaddr *peer, socklen_t *len)
{
	if (!sip_listener(lfd))
		return fd;
	if (fd < 0) {
		if (errno == EMFILE || errno == ENFILE) {
			const int saved = errno;
			shed(lfd);
			errno = saved;
		}
		return fd;
	}
	const char *why = nullptr;
	if (fd >= MAX_FD)
		why = "descriptor out of range";
	else if (open_conns.load() >= (int)sipua_max_conns())
		why = "at the connection limit (sip_max_connections)";
	if (why) {
		close_real(fd);
		refused(peer, len ? *len : 0, why);
		errno = ECONNABORTED;  // for accept(), "try again"
		return -1;
	}
	if (!mark(fd))
		open_conns.fetch_add(1);
	return fd;
}

} // namespace

extern "C" {

int accept(int lfd, struct sockaddr *addr, socklen_t *len)
{
	const int fd = real(real_accept, "accept")(lfd, addr, len);
	return screen(lfd, fd, addr, len);
}

int accept4(int lfd, struct sockaddr *addr, socklen_t *len, int flags)
{
	const int fd = real(real_accept4, "accept4")(lfd, addr, len, flags);
	return screen(lfd, fd, addr, len);
}

int close(int fd)
{
	if (unmark(fd))
		open_conns.fetch_sub(1);
	return close_real(fd);
}

} // extern "C"

void conns_watch(struct sip *sip)
{
	listeners.store(0, std::memory_order_release);
	if (!sip)
		return;
	int n = 0;
	for (enum sip_transp tp : {SIP_TRANSP_TCP, SIP_TRANSP_TLS}) {
		if (!sip_transp_laddr(sip, &listen_addr[n], tp, nullptr))
			++n;
	}
	if (dlsym(RTLD_DEFAULT, "accept") != (void *)&accept ||
	    dlsym(RTLD_DEFAULT, "close") != (void *)&close) {
		sipua_warn("sip: accept()/close() are not this program's own: "
			   "TCP/TLS connections are not capped\n");
		return;
	}
	if (spare_fd < 0)
		spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
	listeners.store(n, std::memory_order_release);
}
