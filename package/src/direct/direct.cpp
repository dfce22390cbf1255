#define LOG_MODULE "package/src/direct/direct"
#include "direct/direct.h"

#include "ornix.h"

int GetDirectServer(unsigned, unsigned, char *, size_t, bool *video) {
  if (video) *video = false;
  return 0;
}
