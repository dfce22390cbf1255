// sipua with TCP on, while another process holds 1,000 idle TCP connections
// to its SIP port (the cap is 64): the SIP loop's CPU use over 2 s before and
// during, the refusals counted, and the OPTIONS round trip over UDP at the cap.
#include <poll.h>
#include <cerrno>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "figures.h"

namespace {

constexpr int kConns = 1000;

// Opens kConns connections at once (non-blocking: libre listens with a
// backlog of 5, so many SYNs are dropped and retried by the kernel), waits up
// to 30 s for them, writes how many were established to `done`, then holds
// them until `hold` reaches end of file. Runs in the child.
[[noreturn]] void Hold(int port, int done, int hold) {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = std::min<rlim_t>(r.rlim_max, kConns + 64);
  setrlimit(RLIMIT_NOFILE, &r);
  const sockaddr_in to = Loopback(port);
  std::vector<pollfd> fds;
  for (int i = 0; i < kConns; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd >= 0 && (connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 || errno == EINPROGRESS))
      fds.push_back({fd, POLLOUT, 0});
  }
  int made = 0;
  const double end = MonotonicMs() + 30000;
  while (!fds.empty() && MonotonicMs() < end) {
    poll(fds.data(), fds.size(), 500);
    for (size_t i = 0; i < fds.size();) {
      if (!fds[i].revents) {
        ++i;
        continue;
      }
      made += !(fds[i].revents & (POLLERR | POLLHUP));
      fds[i] = fds.back();
      fds.pop_back();
    }
  }
  (void)!write(done, &made, sizeof made);
  pollfd p{hold, POLLIN, 0};
  poll(&p, 1, 60000);
  _exit(0);
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Per cent of one core used by this process over `ms` of wall time.
double CpuPercent(int ms) {
  const double c0 = CpuMs(), t0 = MonotonicMs();
  usleep(unsigned(ms) * 1000);
  return (CpuMs() - c0) / (MonotonicMs() - t0) * 100;
}

}  // namespace

int main() {
  SipuaLoop loop;
  if (!loop.Start()) return 1;
  const double idle = CpuPercent(2000);
  int done[2], hold[2];
  if (pipe(done) || pipe(hold)) return 1;
  const pid_t child = fork();
  if (child == 0) {
    close(done[0]);
    close(hold[1]);
    Hold(loop.sipPort(), done[1], hold[0]);
  }
  close(done[1]);
  close(hold[0]);
  int made = 0;
  pollfd p{done[0], POLLIN, 0};
  const bool connected = poll(&p, 1, 40000) == 1 && read(done[0], &made, sizeof made) == sizeof made;
  const double busy = connected ? CpuPercent(2000) : 0;
  std::vector<double> rtt;
  for (int i = 0; connected && i < 50; ++i) {
    const double t0 = MonotonicMs();
    if (Exchange(loop.sipPort(), Request("OPTIONS"), 2000).rfind("SIP/2.0 200", 0) != 0) break;
    rtt.push_back((MonotonicMs() - t0) * 1e3);
  }
  sipua_counters c{};
  sipua_counters_get(&c);
  close(hold[1]);
  waitpid(child, nullptr, 0);
  if (!connected || rtt.size() != 50) return 1;
  printf("# %d idle TCP connections tried from another process, %d established within 30 s, cap 64\n", kConns,
         made);
  Figure("sip_loop_cpu_idle", {idle}, "%");
  Figure("sip_loop_cpu_with_idle_conns", {busy}, "%");
  Figure("tcp_conns_refused", {double(c.conns_refused)}, "conns");
  Figure("options_rtt_at_conn_cap", rtt, "us");
  return 0;
}
