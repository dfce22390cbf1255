#define LOG_MODULE "package/src/media/wav/wav"
#include "media/wav/wav.h"

#include "ornix.h"

int WavReadFormat(FILE *, WavHeader *) { return 1; }
int WavReadHeader(FILE *, WavHeader *) { return 1; }
int WavPrepare(WavHeader *, FILE *, uint16_t *, uint16_t *, uint32_t *) { return 0; }
