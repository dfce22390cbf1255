#define LOG_MODULE "package/src/sip/bracket"

#include "sip/bracket.h"

#include <pthread.h>
#include "sip/re_headers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::atomic<bool> loopMarked{false};
std::atomic<pthread_t> loopThread{};
thread_local int depth = 0;

// Wakes the loop after a foreign thread's bracket: libre 1.1.0 computes its
// poll timeout before it waits, so a timer or request started from another
// thread would otherwise wait for the loop's next unrelated wake-up.
std::mutex wakeMutex;
struct mqueue *wake = nullptr;
std::atomic<bool> wakePending{false};

// A job handed to the loop thread; `done` is guarded by jobMutex.
struct LoopJob {
  void (*run)(void *);
  void *arg;
  bool done;
};
std::mutex jobMutex;
std::condition_variable jobDone;

void Woken(int, void *data, void *) {
  wakePending = false;
  if (data == nullptr) return;  // a plain wake-up
  auto *job = static_cast<LoopJob *>(data);
  job->run(job->arg);
  std::lock_guard<std::mutex> lock(jobMutex);
  job->done = true;
  jobDone.notify_all();
}

void WakeLoop() {
  if (wakePending.exchange(true)) return;  // one wake-up is enough
  std::lock_guard<std::mutex> lock(wakeMutex);
  if (wake == nullptr || mqueue_push(wake, 0, nullptr) != 0) wakePending = false;
}

}  // namespace

bool SipOnLoopThread(void) {
  return loopMarked.load(std::memory_order_acquire) &&
         pthread_equal(loopThread.load(std::memory_order_acquire),
                       pthread_self());
}

bool SipLoopRunning(void) { return loopMarked.load(std::memory_order_acquire); }

void SipMarkLoopThread(void) {
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    if (wake == nullptr && mqueue_alloc(&wake, Woken, nullptr) != 0) wake = nullptr;
    wakePending = false;
  }
  loopThread.store(pthread_self(), std::memory_order_release);
  loopMarked.store(true, std::memory_order_release);
}

void SipUnmarkLoopThread(void) {
  if (!SipOnLoopThread()) return;
  loopMarked.store(false, std::memory_order_release);
  std::lock_guard<std::mutex> lock(wakeMutex);
  wake = static_cast<struct mqueue *>(mem_deref(wake));
}

int SipThreadDepth(void) { return depth; }

void SipThreadEnter(void) {
  // The loop thread already holds the loop's lock while our handlers run;
  // taking it again would never return.
  if (depth++ == 0 && !SipOnLoopThread()) re_thread_enter();
}

void SipThreadLeave(void) {
  if (depth == 0) return;
  if (--depth == 0 && !SipOnLoopThread()) {
    re_thread_leave();
    if (SipLoopRunning()) WakeLoop();
  }
}

bool SipRunOnLoop(void (*run)(void *), void *arg) {
  if (!SipLoopRunning() || SipOnLoopThread() || depth > 0) return false;
  LoopJob job{run, arg, false};
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    if (wake == nullptr || mqueue_push(wake, 1, &job) != 0) return false;
  }
  std::unique_lock<std::mutex> lock(jobMutex);
  for (;;) {
    // Read first: once the loop has stopped, no job of its queue runs any more.
    const bool running = SipLoopRunning();
    if (job.done) return true;
    if (!running) return false;
    jobDone.wait_for(lock, std::chrono::milliseconds(50));
  }
}
