// The SIP thread bracket from the loop thread and from a foreign thread,
// against libre's real main loop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "process.h"
#include "sip/bracket.h"
#include "sip/re_headers.h"

namespace {

std::atomic<int> loopEntered{0};
std::atomic<bool> loopDepthSeen{false};
std::atomic<bool> timerFired{false};

void NestedOnLoop(void *) {
  // Runs on the loop thread: a raw re_thread_enter here would never return.
  SipThreadEnter();
  SipThreadEnter();
  loopDepthSeen = SipThreadDepth() == 2 && SipOnLoopThread();
  SipThreadLeave();
  SipThreadLeave();
  loopEntered++;
}


// A step that may hang: fail and stop the whole program rather than block.
void MustFinish(const std::atomic<bool> &done, const char *what) {
  if (!WaitFor([&] { return done.load(); }, Millis(5000))) {
    ADD_FAILURE() << what << " did not return";
    std::_Exit(1);
  }
}

}  // namespace

TEST(SipBracket, LoopThreadAndForeignThread) {
  ASSERT_EQ(libre_init(), 0);

  // Before any loop runs, the bracket takes the real lock and nests.
  EXPECT_FALSE(SipLoopRunning());
  SipThreadEnter();
  SipThreadEnter();
  EXPECT_EQ(SipThreadDepth(), 2);
  for (int i = 0; i < 3; ++i) SipThreadLeave();  // the unmatched third is ignored
  EXPECT_EQ(SipThreadDepth(), 0);

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

  // Foreign thread: start a loop-thread handler that brackets itself (nested).
  {
    std::atomic<bool> done{false};
    std::thread foreign([&] {
      SipThreadBracket bracket;
      tmr_start(&nested, 0, NestedOnLoop, nullptr);
      done = true;
    });
    MustFinish(done, "bracket on a foreign thread");
    foreign.join();
  }
  ASSERT_TRUE(WaitFor([] { return loopEntered.load() == 1; }, Millis(3000)));
  EXPECT_TRUE(loopDepthSeen.load());

  // While a foreign thread holds the bracket, the loop runs no handler.
  SipThreadEnter();
  SipThreadEnter();  // nested on the foreign thread: no second lock
  tmr_start(&probe, 0, [](void *) { timerFired = true; }, nullptr);
  std::this_thread::sleep_for(Millis(100));
  EXPECT_FALSE(timerFired.load());
  SipThreadLeave();
  EXPECT_FALSE(timerFired.load());
  SipThreadLeave();
  EXPECT_TRUE(WaitFor([] { return timerFired.load(); }, Millis(3000)));

  {
    SipThreadBracket bracket;
    tmr_start(&stop, 0, [](void *) { re_cancel(); }, nullptr);
  }
  MustFinish(loopDone, "re_main");
  loop.join();
  EXPECT_FALSE(SipLoopRunning());

  for (struct tmr *t : {&nested, &probe, &stop}) tmr_cancel(t);
  libre_close();
}
