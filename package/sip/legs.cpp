#define LOG_MODULE "package/src/sip/sip"

#include "sip/legs.h"
#include "sip/re_headers.h"

#include <pthread.h>
#include <stdio.h>

#include "context/context.h"
#include "ornix.h"
#include "sip/bracket.h"
#include "sip/sip.h"

namespace {

bool DirectGateCallOn() {
  return CallContext.fromGate && CallContext.enableDirect &&
         CallContext.secondUa != nullptr;
}

void *Tid() { return reinterpret_cast<void *>(pthread_self()); }

}  // namespace

bool HangupCallsOnUa(struct ua *ua, struct call *keep, bool elsewhere) {
  if (ua == nullptr) return false;
  // A hang-up closes the call at once, and the close handlers may end other
  // legs of the list too, so the walk starts again from the head after each
  // hang-up instead of holding on to a neighbour that may be gone. Bounded by
  // the number of legs there were.
  bool result = false;
  for (int round = CountCallsOnUa(ua, keep); round > 0; --round) {
    struct call *call = FindOtherCallOnUa(ua, keep);
    if (call == nullptr) break;
    LOG(1, "[direct] HangupCallsOnUa ua=%p hangup call=%p keep=%p",
        static_cast<void *>(ua), static_cast<void *>(call),
        static_cast<void *>(keep));
    if (elsewhere)
      ua_hangup(ua, call, 200, "Call completed elsewhere");
    else
      ua_hangup(ua, call, 0, nullptr);
    result = true;
  }
  return result;
}

bool HangupAnotherCalls(struct call *keep, bool elsewhere) {
  LOG(1, "[direct] HangupAnotherCalls enter keep=%p fromGate=%d state=%d tid=%p",
      static_cast<void *>(keep), CallContext.fromGate ? 1 : 0,
      static_cast<int>(CallContext.state), Tid());
  bool result = false;
  bool anyUa = false;
  {
    SipThreadBracket bracket;
    struct ua *mainUa = UaDefault();
    LOG(1, "[direct] HangupAnotherCalls main ua=%p", static_cast<void *>(mainUa));
    if (mainUa != nullptr) {
      anyUa = true;
      result = HangupCallsOnUa(mainUa, keep, elsewhere);
    }
    if (DirectGateCallOn()) {
      anyUa = true;
      result = HangupCallsOnUa(CallContext.secondUa, keep, elsewhere) || result;
    }
  }
  if (!anyUa) LOG(1, "[direct] HangupAnotherCalls skip: no UA");
  LOG(1, "[direct] HangupAnotherCalls done result=%d", result ? 1 : 0);
  return result;
}

int SipAnswer(void) {
  SipThreadBracket bracket;
  struct ua *ua = CurrentUa();
  if (ua == nullptr) return -1;
  bool useVideo;
  if (CallContext.enableDirect && CallContext.fromGate) {
    useVideo = CallContext.videoEnabled && CallContext.directVideo;
  } else {
    useVideo = CallContext.videoEnabled;
  }
  char videoText[32];
  snprintf(videoText, sizeof videoText, "useVideo=%d", useVideo ? 1 : 0);
  LOG(2, "SIP answer flat=%u call=%p %s", CallContext.flat,
      static_cast<void *>(CallContext.currentCall), videoText);
  LOG(1, "SipAnswer: answering call %p",
      static_cast<void *>(CallContext.currentCall));
  return ua_answer(ua, CallContext.currentCall,
                   useVideo ? VIDMODE_ON : VIDMODE_OFF);
}

struct call *FindOtherCallOnUa(struct ua *ua, struct call *exclude) {
  if (ua == nullptr) return nullptr;
  struct le *le;
  LIST_FOREACH(ua_calls(ua), le) {
    struct call *call = static_cast<struct call *>(le->data);
    if (call != exclude) return call;
  }
  return nullptr;
}

int CountCallsOnUa(struct ua *ua, struct call *exclude) {
  if (ua == nullptr) return 0;
  int count = 0;
  struct le *le;
  LIST_FOREACH(ua_calls(ua), le) {
    if (le->data != exclude) ++count;
  }
  return count;
}

int CountOtherCalls(struct call *exclude) {
  if (exclude == nullptr) return 0;
  int count = CountCallsOnUa(UaDefault(), exclude);
  if (DirectGateCallOn()) count += CountCallsOnUa(CallContext.secondUa, exclude);
  return count;
}

int CountAllCalls(void) {
  int count = CountCallsOnUa(UaDefault(), nullptr);
  if (DirectGateCallOn()) count += CountCallsOnUa(CallContext.secondUa, nullptr);
  return count;
}

struct call *FindAnotherCall(struct call *exclude) {
  struct call *call = FindOtherCallOnUa(UaDefault(), exclude);
  if (call == nullptr && DirectGateCallOn()) {
    call = FindOtherCallOnUa(CallContext.secondUa, exclude);
  }
  return call;
}
