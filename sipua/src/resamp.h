// Sample-rate and channel conversion between a device or file and the
// codec's rate, mono, on speexdsp's resampler: any pair of rates, the
// filter made for the ratio at hand.
#pragma once

#include "core.h"

struct resamp;

// From irate/ich to orate/och (1 or 2 channels, interleaved); the record
// is freed with mem_deref.
int resamp_alloc(struct resamp **rsp, uint32_t irate, uint8_t ich,
		 uint32_t orate, uint8_t och);
// Converts all of `inc` samples into `out`, which holds *outc; *outc is
// then the number written. The output keeps the filter's state, so a
// stream is fed in order, piece by piece, of any size.
int resamp_run(struct resamp *rs, int16_t *out, size_t *outc,
	       const int16_t *in, size_t inc);
// The largest number of samples `inc` input samples can make.
size_t resamp_outmax(const struct resamp *rs, size_t inc);
