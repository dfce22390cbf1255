// SIP engine: placing outgoing calls and custom call headers.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <string>

struct call;

void MakeCallByType(int32_t type, uint16_t flat);
void MakeGateCall(const char *server, int32_t port, int32_t house);
// 0 when the call was started, 1 when not.
int MakeCallByAddress(const char *address);
// Places one call per non-empty string among the first `count` elements.
void MakeSimpleCallByJsonNumbers(json_t *numbers, int32_t count);
// 0 on success, 1 on failure.
int CallConnect(const char *number, const char *server, int32_t port,
                bool video);

// 1 when set, 0 when not.
int SetCustomCallHeader(struct call *call, const char *name, const char *value);
// The header's value into `value`; false when the call has no such header.
bool GetCustomCallHeader(struct call *call, const char *name, std::string *value);
