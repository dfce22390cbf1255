// Its records keep the call dispatcher's module name, where it used to live.
#define LOG_MODULE "package/main/dispatcher"
#include "sip/events.h"

#include <pthread.h>

#include "context/context.h"
#include "ornix.h"
#include "sip/calls.h"
#include "sip/legs.h"
#include "sip/sip.h"

void SipEventDispatch(struct ua *ua, enum ua_event ev, struct call *call, const char *prm,
                      void *arg) {
  (void)ua;
  const SipCallEvents &on = *static_cast<const SipCallEvents *>(arg);
  LOG(1, "Baresip event: %s, State: %s, CallType: %s, TotalCalls: %d, call: %p, tid=%p",
      SipEventName(ev), StateName(CallContext.state),
      CallTypeName(CallContext.callType), CountAllCalls(), (void *)call,
      (void *)pthread_self());
  if (CallContext.fromGate || CallContext.enableDirect)
    LOG(1,
        "[direct] BaresipEventHandler ev=%s fromGate=%d enableDirect=%d "
        "flat=%u currentCall=%p",
        SipEventName(ev), CallContext.fromGate, CallContext.enableDirect,
        CallContext.flat, (void *)CallContext.currentCall);
  SipRegistrationEvent((int)ev, prm);

  switch (ev) {
    case UA_EVENT_CALL_INCOMING:
      if (on.incoming) on.incoming(call);
      break;
    case UA_EVENT_CALL_OUTGOING:
      if (on.outgoing) on.outgoing(call);
      break;
    case UA_EVENT_CALL_RINGING:
    case UA_EVENT_CALL_PROGRESS:
      if (on.progress) on.progress(call);
      break;
    case UA_EVENT_CALL_ANSWERED:
      if (on.answered) on.answered(call);
      break;
    case UA_EVENT_CALL_ESTABLISHED:
      if (on.established) on.established(call);
      break;
    case UA_EVENT_CALL_CLOSED:
      if (on.closed) on.closed(call, prm);
      break;
    case UA_EVENT_CALL_DTMF_START:
      if (on.dtmf) on.dtmf(call, prm);
      break;
    case UA_EVENT_CALL_RTPESTAB:
      if (on.rtpEstablished) on.rtpEstablished(call);
      break;
    default:
      break;
  }
}
