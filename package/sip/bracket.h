// Thread bracket for calls into the SIP library (libre/baresip).
//
// The SIP library's objects belong to the thread that runs its main loop
// (re_main). Any other thread must hold the loop's lock while it touches them,
// which libre offers as re_thread_enter/re_thread_leave. On the libre we ship
// that lock is not recursive: re_thread_enter on the loop thread itself (from
// an event handler, a timer, a nested hang-up) never returns.
//
// Use SipThreadEnter/SipThreadLeave (or the SipThreadBracket holder) instead of
// raw re_thread_enter/re_thread_leave everywhere:
//   - on the loop thread while the loop runs they do nothing (the loop already
//     holds the lock while it runs our handlers);
//   - on any other thread they take the loop's lock, and leaving the outermost
//     bracket wakes the loop so that timers and requests started inside are
//     served at once rather than at the loop's next unrelated wake-up;
//   - they nest: only the outermost pair on a thread takes and drops the lock,
//     so a bracketed bus handler may call HangupAnotherCalls, SipAnswer or
//     MakeCallByType, which bracket again.
// Before the loop runs (start-up, registration attempts) every thread,
// the main thread included, takes the real lock, so bus-thread calls made
// during bring-up are serialised against it.
#pragma once

void SipThreadEnter(void);
void SipThreadLeave(void);

// True on the thread that runs the SIP loop, while it runs.
bool SipOnLoopThread(void);
// True while some thread runs the SIP loop.
bool SipLoopRunning(void);

// Records the calling thread as the loop thread (SipRun does this just before
// re_main) and forgets it again once the loop has returned.
void SipMarkLoopThread(void);
void SipUnmarkLoopThread(void);

// Depth of the bracket on the calling thread (0 outside any bracket).
int SipThreadDepth(void);

// Runs job(arg) on the loop thread and waits until it has run. False, with
// the job not run, when no loop runs, on the loop thread itself, inside a
// bracket (the loop could not take the job while it is held), or when the
// loop ends before it gets to the job.
bool SipRunOnLoop(void (*job)(void *), void *arg);

struct SipThreadBracket {
  SipThreadBracket() { SipThreadEnter(); }
  ~SipThreadBracket() { SipThreadLeave(); }
  SipThreadBracket(const SipThreadBracket &) = delete;
  SipThreadBracket &operator=(const SipThreadBracket &) = delete;
};
