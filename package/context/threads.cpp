#include "context/threads.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// Write end of the pipe the stop signals go to; read in signal context, so a
// lock-free atomic.
std::atomic<int> relayFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void RelaySignal(int signum) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signum);
  if (write(relayFd.load(), &byte, 1) < 0) {
    // Nothing can be done in signal context: a full pipe already holds
    // signals waiting to be served; otherwise the signal is lost.
  }
  errno = saved;
}

}  // namespace

bool StartDetached(void *(*body)(void *), pthread_t *handle) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, body, nullptr) != 0) return false;
  if (handle) *handle = thread;
  pthread_detach(thread);
  return true;
}

bool RelayStopSignals(int fds[2], int flags) {
  if (fds[0] < 0 && pipe2(fds, flags | O_CLOEXEC) != 0) {
    fds[0] = fds[1] = -1;
    return false;
  }
  relayFd = fds[1];
  struct sigaction action {};
  action.sa_handler = RelaySignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return true;
}
