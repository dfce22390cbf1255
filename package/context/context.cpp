#define LOG_MODULE "package/src/context/context"
#include "context/context.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "ornix.h"

CallContextRecord CallContext;
TestHooks testHooks;
void (*callStateObserver)(CallState newState) = nullptr;
// Returns to IDLE so far: a call placed before the last one was given up.
static std::atomic<uint32_t> idleReturns{0};

namespace {
const char *const kStateNames[] = {
    "IDLE",
    "ASSISTANT_DIALING",
    "ASSISTANT_ESTABLISHED",
    "NOTIFICATION_DIALING",
    "NOTIFICATION_ESTABLISHED",
    "SYSTEM_SOUND_ESTABLISHED",
    "INCOMING_DIALING",
    "INCOMING_ESTABLISHED",
    "OUTGOING_DIALING",
    "OUTGOING_SIP_DIALING",
    "OUTGOING_UART_DIALING",
    "OUTGOING_SIP_ESTABLISHED",
    "OUTGOING_UART_ESTABLISHED",
    "ALARM_NOTIFICATION",
};
const char *const kCallTypeNames[] = {"NONE", "COMMON", "SOS", "CONCIERGE"};

const char *OrUnknown(const char *reason) { return reason ? reason : "unknown"; }
}  // namespace

const char *StateName(uint32_t state) {
  return state < sizeof kStateNames / sizeof *kStateNames ? kStateNames[state] : "UNDEFINED";
}

const char *CallTypeName(uint32_t type) {
  return type < sizeof kCallTypeNames / sizeof *kCallTypeNames ? kCallTypeNames[type] : "UNKNOWN";
}

void SetState(CallState newState, StateLog log) {
  if (log == StateLog::Unlogged) {
    CallContext.state.value = newState;
    return;
  }
  LOG(2, "Set state: %s -> %s", StateName(CallContext.state), StateName(newState));
  if (newState == IDLE && CallContext.state != IDLE) ++idleReturns;
  CallContext.state.value = newState;
  if (callStateObserver) callStateObserver(newState);
}

uint32_t IdleReturns() { return idleReturns; }

void SetCallType(CallType newType, StateLog log) {
  if (log == StateLog::Logged)
    LOG(2, "Set callType: %s -> %s", CallTypeName(CallContext.callType), CallTypeName(newType));
  CallContext.callType.value = newType;
}

void ExitProcess(int status) {
  // exit() must run once: a second stop racing the first waits for it.
  static std::atomic<bool> exiting{false};
  if (exiting.exchange(true)) {
    for (;;) pause();
  }
  exit(status);
}

void SetFlat(uint16_t newFlat) {
  LOG(2, "Set flat: %u -> %u", (unsigned)CallContext.flat, (unsigned)newFlat);
  CallContext.flat = newFlat;
}

void SendUartBye(const char *reason) {
  LOG(2, "UART_CMD_BYE reason=%s state=%s callType=%s currentCall=%p flat=%u", OrUnknown(reason),
      StateName(CallContext.state), CallTypeName(CallContext.callType),
      (void *)CallContext.currentCall, (unsigned)CallContext.flat);
  UartSendCommandBye(CallContext.dbus);
}

void SendUartByeWithState(unsigned callState, const char *reason) {
  LOG(2,
      "UART_CMD_BYE_WITH_STATE reason=%s callState=%u state=%s callType=%s currentCall=%p "
      "flat=%u",
      OrUnknown(reason), callState, StateName(CallContext.state),
      CallTypeName(CallContext.callType), (void *)CallContext.currentCall,
      (unsigned)CallContext.flat);
  UartSendCommandByeWithState(CallContext.dbus, callState);
}

bool IsStaleUartOutgoing() {
  return CallContext.state == OUTGOING_UART_DIALING && CallContext.currentCall == nullptr;
}

void ClearStaleUartOutgoing(const char *reason) {
  LOG(2, "Clear stale UART outgoing: %s state=%s flat=%u", OrUnknown(reason),
      StateName(CallContext.state), (unsigned)CallContext.flat);
  SetState(IDLE);
  SetCallType(NONE);
  SetFlat(0);
}

bool StateAbove(CallState limit) { return CallContext.state > limit; }
