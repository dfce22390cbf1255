#define LOG_MODULE "package/src/sip/bracket"

#include "sip/bracket.h"

#include <pthread.h>
#include "sip/re_headers.h"

#include <atomic>

namespace {

std::atomic<bool> loopMarked{false};
std::atomic<pthread_t> loopThread{};
thread_local int depth = 0;

}  // namespace

bool SipOnLoopThread(void) {
  return loopMarked.load(std::memory_order_acquire) &&
         pthread_equal(loopThread.load(std::memory_order_acquire),
                       pthread_self());
}

bool SipLoopRunning(void) { return loopMarked.load(std::memory_order_acquire); }

void SipMarkLoopThread(void) {
  loopThread.store(pthread_self(), std::memory_order_release);
  loopMarked.store(true, std::memory_order_release);
}

void SipUnmarkLoopThread(void) {
  if (SipOnLoopThread()) loopMarked.store(false, std::memory_order_release);
}

int SipThreadDepth(void) { return depth; }

void SipThreadEnter(void) {
  // The loop thread already holds the loop's lock while our handlers run;
  // taking it again would never return.
  if (depth++ == 0 && !SipOnLoopThread()) re_thread_enter();
}

void SipThreadLeave(void) {
  if (depth == 0) return;
  if (--depth == 0 && !SipOnLoopThread()) re_thread_leave();
}
