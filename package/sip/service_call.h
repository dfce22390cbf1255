// Text rules for SIP dial targets and service user parts.
#pragma once

#include <cstddef>
#include <cstdint>

struct ServiceAddress {
  int32_t port;
  char number[128];
  char server[128];
};

// Splits number[@host[:port]]; server and port keep the caller's values when
// the text names no host.
void ParseServiceAddress(ServiceAddress *address, const char *text);
// Copies the user part of `uri` into `out` (at most size-1 characters, always
// terminated). Leaves `out` empty when the URI has no user part.
void ExtractUserPart(const char *uri, char *out, size_t size);
// True when the user part names the panel itself or a service peer.
bool IsServiceAddress(const char *user);
