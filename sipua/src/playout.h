// The receive side's buffer: decoded audio at the codec's rate, placed by
// timestamp (in samples), pulled by the player's thread at its own pace.
#pragma once

#include <cstddef>
#include <cstdint>

struct playout;

struct playout_prm {
	bool adaptive;    // follow the network's jitter
	uint32_t min_ms;  // fixed: held before playing; adaptive: least kept
	uint32_t max_ms;  // adaptive: most kept
	uint32_t srate;   // 8000 to 48000, whole samples per ms
};

int playout_alloc(struct playout **pp, const struct playout_prm *prm);
// Loop thread: one packet's samples; a new sender or a timestamp far off
// continues right after what is buffered.
void playout_put(struct playout *p, uint32_t ssrc, uint32_t ts,
		 const int16_t *pcm, size_t n);
// Player thread: `n` samples (at most 60 ms at 48 kHz), concealed or silent
// where nothing came.
void playout_get(struct playout *p, int16_t *out, size_t n);

// "module plc.so": lost audio is concealed instead of played as silence.
int plc_module_init(void);
void plc_module_close(void);
