// The camera's H.264 parameter sets from its RTSP session description,
// asked for without libavformat: one DESCRIBE, so that offers made before
// any call has read the camera already carry its profile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Asks the camera at `url` (rtsp://[user[:password]@]host[:port]/path) for
// its session description, with the URL's credentials (Basic or Digest)
// when it asks for them, and copies the "sprop-parameter-sets" value of its
// first video stream into `sprop`. Blocks for `ms` at most; `stop` ends it
// sooner. Any thread: no libre object is touched.
bool camera_describe(const char *url, int ms, const std::atomic<bool> &stop,
		     char *sprop, size_t size);

// The parameter sets of a "sprop-parameter-sets" value as an Annex B byte
// stream; 0 when a set does not decode or `cap` is too small.
size_t sprop_annex_b(const char *sprop, uint8_t *out, size_t cap);
