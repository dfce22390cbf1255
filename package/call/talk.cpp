#define LOG_MODULE "package/main/talk"
#include "call/talk.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <vector>

#include "call/closing.h"
#include "call/dispatcher.h"
#include "call/video.h"
#include "context/context.h"
#include "ornix.h"
#include "settings/settings.h"
#include "sip/bracket.h"
#include "sip/calls.h"
#include "sip/legs.h"
#include "sip/sip.h"

namespace {

// The talk-started reply to the MCU; its answer leaves the microphone gain
// the MCU chose in byte `kMicGainByte`.
constexpr uint8_t kTalkStartedReply[3] = {0x06, 0x00, 0x21};
constexpr int kMicGainByte = 1;

// A door the resident opens by key, and the source the MCU records the
// opening under (a DTMF key of a SIP call).
struct DoorBySource {
  int door;
  int source;
};
constexpr DoorBySource kMainDoorByDtmf{1, 9};
constexpr DoorBySource kSecondDoorByDtmf{2, 10};

// One armed door hang-up. The timer's notification carries only `id`; the
// record is looked up again when it fires, so a timer whose call has ended
// (and whose record was dropped) finds nothing and does nothing.
struct DoorHangup {
  int id;
  timer_t timer;
  struct call *call;
};

pthread_mutex_t doorMutex = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: a timer may still fire while the process exits.
std::list<DoorHangup> &doorHangups = *new std::list<DoorHangup>;
int nextDoorHangupId = 1;

// Copy of a 2-byte key setting that is always terminated.
void KeySetting(const char setting[2], char out[2]) {
  out[0] = setting[0];
  out[1] = '\0';
}

void ArmDoorHangup(struct call *call) {
  pthread_mutex_lock(&doorMutex);
  int id = nextDoorHangupId++;
  if (nextDoorHangupId <= 0) nextDoorHangupId = 1;
  struct sigevent sev;
  memset(&sev, 0, sizeof(sev));
  sev.sigev_notify = SIGEV_THREAD;
  sev.sigev_notify_function = HangupCallback;
  sev.sigev_value.sival_int = id;
  timer_t timer;
  bool ok = timer_create(CLOCK_REALTIME, &sev, &timer) == 0;
  if (ok) {
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    its.it_value.tv_sec = CallContext.doorHangupDelay > 0 ? CallContext.doorHangupDelay : 0;
    // A zero value would disarm the timer; fire at once instead.
    if (its.it_value.tv_sec == 0) its.it_value.tv_nsec = 1;
    doorHangups.push_back(DoorHangup{id, timer, call});
    if (timer_settime(timer, 0, &its, nullptr) != 0) {
      doorHangups.pop_back();
      timer_delete(timer);
      ok = false;
    }
  }
  pthread_mutex_unlock(&doorMutex);
  if (!ok) {
    LOG(1, "Not create timer for hangup done");
    ExitProcess(1);
  }
}

// Takes the record `id` out of the list; false when it is gone already.
bool TakeDoorHangup(int id, DoorHangup *out) {
  bool found = false;
  pthread_mutex_lock(&doorMutex);
  for (auto it = doorHangups.begin(); it != doorHangups.end(); ++it) {
    if (it->id == id) {
      *out = *it;
      doorHangups.erase(it);
      found = true;
      break;
    }
  }
  pthread_mutex_unlock(&doorMutex);
  return found;
}

// The IDLE returns counted when each outgoing call was placed. A call placed
// in IDLE (a custom number the MCU routes itself) is the panel's own while no
// return has happened since; any earlier one the panel has given up on.
struct Placed {
  struct call *call;
  uint32_t idleReturns;
};
std::vector<Placed> placedCalls;  // SIP loop only

bool GivenUp(struct call *call) {
  for (const Placed &p : placedCalls)
    if (p.call == call) return p.idleReturns != IdleReturns();
  return true;
}

}  // namespace

void TalkNoteOutgoing(struct call *call) {
  TalkForgetCall(call);
  placedCalls.push_back(Placed{call, IdleReturns()});
}

void TalkForgetCall(struct call *call) {
  std::erase_if(placedCalls, [call](const Placed &p) { return p.call == call; });
}

void DoorHangupForgetCall(struct call *call) {
  pthread_mutex_lock(&doorMutex);
  for (auto it = doorHangups.begin(); it != doorHangups.end();) {
    if (it->call == call) {
      timer_delete(it->timer);
      it = doorHangups.erase(it);
    } else {
      ++it;
    }
  }
  pthread_mutex_unlock(&doorMutex);
}

void HangupCallback(union sigval value) {
  if (!SipLibraryUp()) return;  // shutting down: nothing left to end
  // Everything below touches the library and the call context: hold the SIP
  // loop's lock so the loop cannot close or free the call meanwhile.
  SipThreadBracket bracket;
  DoorHangup entry;
  if (!TakeDoorHangup(value.sival_int, &entry)) return;  // its call ended first
  timer_delete(entry.timer);
  struct call *call = entry.call;
  if (!call) {
    LOG(4, "Call pointer is NULL");
    return;
  }
  if (!SipCallExists(call)) return;
  LOG(1, "Call HangupCallback");
  // The hang-up reports the close to the dispatcher before it returns, so the
  // context is cleaned up exactly as for any closed call, and the call leaves
  // the library's list.
  SipHangup(call, 0, nullptr);
}

void EstablishCallHandler(struct call *call) {
  bool useVideo = CallContext.videoEnabled &&
                  (!CallContext.fromGate || !CallContext.enableDirect ||
                   CallContext.directVideo);
  char text[96];
  snprintf(text, sizeof(text), "videoEnabled=%d directVideo=%d useVideo=%d",
           CallContext.videoEnabled, CallContext.directVideo, useVideo);
  LOG(2, "Call established flat=%u call=%p %s", CallContext.flat, (void *)call,
      text);
  LOG(1, "[direct] EstablishCallHandler call=%p fromGate=%d state=%s flat=%u",
      (void *)call, CallContext.fromGate, StateName(CallContext.state),
      CallContext.flat);

  if (CallContext.state == INCOMING_ESTABLISHED) return;
  if (CallContext.currentCall && CallContext.currentCall != call) return;
  if (CallContext.state == IDLE && call && GivenUp(call)) {
    // Answered after the panel gave up on it (its user hung up while the
    // leg still rang): nobody is there to talk, so end it rather than adopt it.
    LOG(2, "Call established while idle, hangup call=%p", (void *)call);
    SipHangup(call, 0, nullptr);
    return;
  }

  if (CallContext.state == OUTGOING_DIALING ||
      CallContext.state == OUTGOING_SIP_DIALING) {
    long long ts = (long long)GetStartCallTimestamp();
    switch (CallContext.callType) {
      case SOS:
        LOG(3, "[%lld] SIP handset talk started for sos", ts);
        LOG(3, "SOS_CALL_ESTABLISHED");
        LogWriteMorvat(3, LOG_MODULE, __LINE__, 0,
                       "[%lld] SIP handset talk started for sos", ts);
        LogWriteMorvat(3, LOG_MODULE, __LINE__, 0, "SOS_CALL_ESTABLISHED");
        break;
      case CONCIERGE:
        LOG(3, "CONCIERGE_CALL_ESTABLISHED");
        LOG(3, "[%lld] SIP handset talk started for concierge", ts);
        LogWriteMorvat(3, LOG_MODULE, __LINE__, 0, "CONCIERGE_CALL_ESTABLISHED");
        LogWriteMorvat(3, LOG_MODULE, __LINE__, 0,
                       "[%lld] SIP handset talk started for concierge", ts);
        break;
      default:
        LOG(3, "[%lld] SIP handset talk started for apartment %u", ts,
            CallContext.flat);
        LogWriteMorvat(3, LOG_MODULE, __LINE__, MORVAT_TALK_STARTED,
                       "[%lld] SIP handset talk started for apartment %u", ts,
                       CallContext.flat);
        break;
    }
    uint8_t reply[sizeof kTalkStartedReply];
    memcpy(reply, kTalkStartedReply, sizeof reply);
    if (UartSendCommandReply(CallContext.dbus, reply, sizeof reply) != 0) {
      unsigned gain = reply[kMicGainByte];
      LOG(1, "Set microphone gain to %u", gain);
      JsonPtr argument(json_pack("{s:i}", "gainMicFactor", (int)gain));
      DbusJsonMethodCall(CallContext.dbus, ORNIX_CAMERA_SERVICE, "SetMicGain",
                         argument.get());
    } else {
      // Byte 1 would still be the request's 0, no gain the MCU chose: the
      // camera keeps the gain it has.
      LOG(2, "No microphone gain from the MCU, the camera's is kept");
    }
    SetState(OUTGOING_SIP_ESTABLISHED);
  }

  CallContext.currentCall = call;
  if (SipCallHasMedia(call) && CallContext.videoEnabled &&
      !CallContext.fromGate && !videoStarted)
    VideoStart(call);
  LOG(1, "HangupAnotherCalls from EstablishCallHandler");
  HangupAnotherCalls(call, true);
  LOG_BOTH(3, "SIP call is established");
}

void RtpEstablishedHandler(struct call *call) {
  if (videoStarted || !call || CallContext.fromGate ||
      CallContext.state == INCOMING_DIALING ||
      CallContext.state == INCOMING_ESTABLISHED)
    return;
  if (CallContext.videoEnabled) VideoStart(call);
}

namespace {
// Doors opened by DTMF during the call now talking (for its end record).
std::atomic<int> doorsOpened{0};
}  // namespace

int TalkTakeDoorsOpened() { return doorsOpened.exchange(0); }

void DtmfStartHandler(struct call *call, const char *key) {
  if (CallContext.currentCall && call != CallContext.currentCall) return;
  if (!key) key = "";
  long long ts = (long long)GetStartCallTimestamp();
  LOG_BOTH(3, "[%lld] DTMF event: %s", ts, key);

  char mainKey[2], secondKey[2];
  KeySetting(CallContext.dtmf_1, mainKey);
  KeySetting(CallContext.dtmf_2, secondKey);

  if (strcmp(key, mainKey) == 0) {
    if (UartSendCommandOpenByIDWithSource(CallContext.dbus, kMainDoorByDtmf.door,
                                        kMainDoorByDtmf.source) == 0) {
      LOG_BOTH(5, "[%lld] Failed main door by DTMF", ts);
    } else {
      if (CallContext.doorHangupOn) ArmDoorHangup(call);
      LOG(3, "[%lld] Open main door by DTMF", ts);
      ++doorsOpened;
      LogWriteMorvat2(3, LOG_MODULE, __LINE__, MORVAT_DOOR_DTMF,
                      "[%lld] Open main door by DTMF", ts, 0, "%s:%d", key,
                      (int)CallContext.flat);
    }
  }
  if (strcmp(key, secondKey) == 0) {
    if (UartSendCommandOpenByIDWithSource(CallContext.dbus, kSecondDoorByDtmf.door,
                                        kSecondDoorByDtmf.source) != 0) {
      LOG(3, "[%lld] Open second door by DTMF", ts);
      ++doorsOpened;
      LogWriteMorvat2(3, LOG_MODULE, __LINE__, MORVAT_DOOR_DTMF,
                      "[%lld] Open second door by DTMF", ts, 0, "%s:%d", key,
                      (int)CallContext.flat);
    } else {
      LOG_BOTH(5, "[%lld] Failed second door by DTMF", ts);
    }
  }
}
