// Panel call events: dial, trying, gate dial, answer and the user's hang-up.
// All run on the bus loop thread with the event's byte payload; `member` is
// the signal's member name (logged first when not null).
#pragma once

#include <cstdint>

#include "context/context.h"

// "UART_EV_DIAL", "UART_EV_SOS", "UART_EV_CONCIERGE": 2 bytes, flat (LE).
void CallHandler(const char *member, const uint8_t *data, int length, CallType callType);
// "UART_EV_TRYING_*": 3 bytes, flat (LE) and route flags.
void TryingCallHandler(const char *member, const uint8_t *data, int length, CallType callType);
// "UART_EV_DIAL_GATE": 4 bytes, house (LE) and apartment (LE).
void UartEvDialGate(const char *member, const uint8_t *data, int length);
// "UART_EV_ANSWER": payload not read.
void UartEvAnswer();
// Ends whatever call is active; false for states it does not know how to end.
bool HangupActiveCall();
