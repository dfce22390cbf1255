#define LOG_MODULE "package/src/service_call/service_call"

#include "sip/service_call.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ornix.h"

namespace {

// Panels and the building's server call each other by device id: the
// 12 hex digits of a MAC address (001122334455), so any user part of that
// length is taken as a service peer.
constexpr size_t kDeviceIdLength = 12;

const char *const kAddressPatterns[] = {
    ".*@[a-zA-Z0-9.-]*:[0-9]{1,}",  // number@host:port
    ".*@[a-zA-Z0-9.-]{1,}",         // number@host
};

void CopyCut(char *dst, size_t size, const char *src) {
  snprintf(dst, size, "%s", src);
}

}  // namespace

void ParseServiceAddress(ServiceAddress *address, const char *text) {
  if (address == nullptr || text == nullptr) return;
  int index = -1;
  if (!UtilsCheckMatches(kAddressPatterns, 2, text, &index)) {
    CopyCut(address->number, sizeof address->number, text);
    return;
  }

  char work[256];
  CopyCut(work, sizeof work, text);
  char *save = nullptr;
  const char *number = strtok_r(work, "@", &save);
  CopyCut(address->number, sizeof address->number, number ? number : "");

  if (index == 0) {
    const char *host = strtok_r(nullptr, ":", &save);
    const char *port = save;  // the rest after the ':'
    CopyCut(address->server, sizeof address->server, host ? host : "");
    address->port = port ? atoi(port) : 0;
    if (address->port < 0) address->port = 0;
  } else if (index == 1) {
    address->port = 5060;
    const char *at = strchr(text, '@');
    // Same text as the token split leaves: everything after the first '@'.
    CopyCut(address->server, sizeof address->server, at ? at + 1 : "");
  } else {
    LOG(5, "Unknown SIP mask (%d)", index);
    LogWriteMorvat(5, LOG_MODULE, __LINE__, 0, "Unknown SIP mask (%d)", index);
  }
}

void ExtractUserPart(const char *uri, char *out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (uri == nullptr) return;
  const char *start = uri;
  for (const char *p = uri; *p != '\0'; ++p) {
    if (*p == ':') {
      start = p + 1;
    } else if (*p == '@' && p != uri) {
      size_t length = static_cast<size_t>(p - start);
      if (length >= size) length = size - 1;
      memcpy(out, start, length);
      out[length] = '\0';
      return;
    }
  }
}

bool IsServiceAddress(const char *user) {
  if (user == nullptr || user[0] == '\0') return false;
  if (strcmp(user, "0") == 0 || strcmp(user, "asterisk") == 0) return true;

  char host[65];
  if (gethostname(host, sizeof host) == 0) {
    host[sizeof host - 1] = '\0';
    if (host[0] != '\0') {
      const char *a = user;
      const char *b = host;
      while (*a != '\0' && *b != '\0' &&
             toupper(static_cast<unsigned char>(*a)) ==
                 toupper(static_cast<unsigned char>(*b))) {
        ++a;
        ++b;
      }
      if (*a == '\0' && *b == '\0') return true;
    }
  }
  return strlen(user) == kDeviceIdLength;
}
