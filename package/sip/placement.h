// SIP engine: placing outgoing calls and custom call headers.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <string>

struct call;

void MakeCallByType(int32_t type, uint16_t flat);
void MakeGateCall(const char *server, int32_t port, int32_t house);
// True when the call was started.
bool MakeCallByAddress(const char *address);
// Places one call per non-empty string among the first `count` elements.
void MakeSimpleCallByJsonNumbers(json_t *numbers, int32_t count);
// True when the call was started.
bool CallConnect(const char *number, const char *server, int32_t port,
                 bool video);

// True when set.
bool SetCustomCallHeader(struct call *call, const char *name, const char *value);
// The header's value into `value`; false when the call has no such header.
bool GetCustomCallHeader(struct call *call, const char *name, std::string *value);
