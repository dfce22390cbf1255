// The SIP thread bracket from the loop thread and from a foreign thread,
// against libre's real main loop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "process.h"
#include "sip/bracket.h"
#include "sip/re_headers.h"

namespace {

std::atomic<bool> nestedOnLoop{false};
std::atomic<bool> timerFired{false};

// Runs on the loop thread: a raw re_thread_enter here would never return.
void NestedOnLoop(void *) {
  SipThreadEnter();
  SipThreadEnter();
  const bool seen = SipThreadDepth() == 2 && SipOnLoopThread();
  SipThreadLeave();
  SipThreadLeave();
  nestedOnLoop = seen;
}

}  // namespace

// The test's own thread is the foreign one.
TEST(SipBracket, LoopThreadAndForeignThread) {
  ASSERT_EQ(libre_init(), 0);

  struct tmr nested, probe, stop;
  for (struct tmr *t : {&nested, &probe, &stop}) tmr_init(t);
  std::atomic<bool> loopDone{false};
  std::thread loop([&] {
    SipMarkLoopThread();
    re_main(nullptr);
    SipUnmarkLoopThread();
    loopDone = true;
  });
  ASSERT_TRUE(WaitFor([] { return SipLoopRunning(); }, Millis(2000)));
  EXPECT_FALSE(SipOnLoopThread());

  {
    SipThreadBracket bracket;
    tmr_start(&nested, 0, NestedOnLoop, nullptr);
  }
  ASSERT_TRUE(WaitFor([] { return nestedOnLoop.load(); }, Millis(3000)));

  // While a foreign thread holds the bracket, the loop runs no handler.
  SipThreadEnter();
  SipThreadEnter();  // nested on the foreign thread: no second lock
  tmr_start(&probe, 0, [](void *) { timerFired = true; }, nullptr);
  std::this_thread::sleep_for(Millis(100));
  EXPECT_FALSE(timerFired.load());
  SipThreadLeave();
  EXPECT_FALSE(timerFired.load());
  for (int i = 0; i < 2; ++i) SipThreadLeave();  // the unmatched second is ignored
  EXPECT_EQ(SipThreadDepth(), 0);
  EXPECT_TRUE(WaitFor([] { return timerFired.load(); }, Millis(3000)));

  {
    SipThreadBracket bracket;
    tmr_start(&stop, 0, [](void *) { re_cancel(); }, nullptr);
  }
  // Leaving the thread joinable on failure ends the process rather than blocking in join().
  ASSERT_TRUE(WaitFor([&] { return loopDone.load(); }, Millis(5000))) << "re_main did not return";
  loop.join();
  EXPECT_FALSE(SipLoopRunning());

  for (struct tmr *t : {&nested, &probe, &stop}) tmr_cancel(t);
  libre_close();
}
