#define LOG_MODULE "package/src/dbus/call_events"
#include "dbus/call_events.h"

#include "ornix.h"

void CallHandler(const uint8_t *, int, CallType) {}
void TryingCallHandler(const uint8_t *, int, CallType) {}
void UartEvDialGate(const uint8_t *, int) {}
void UartEvAnswer() {}
bool HangupActiveCall() { return true; }
