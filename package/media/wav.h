// WAV file checks: only PCM, mono, 8000 Hz files are played.
#pragma once

#include <cstdint>
#include <cstdio>

struct WavHeader {
  uint16_t audioFormat;
  uint16_t numChannels;
  uint32_t sampleRate;
  uint32_t byteRate;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint32_t dataSize;  // size of the last chunk header read ("data" on success)
};

// Reads the RIFF/WAVE header and walks the chunks up to "data". True when
// valid, with `file` positioned at the first sample byte.
bool WavReadHeader(FILE *file, WavHeader *header);

// True when the file is valid and positioned at its sample data; then
// *bytesPerRead and *bufferSize are 512 x blockAlign and *dataSize the size of
// the data chunk.
bool WavPrepare(WavHeader *header, FILE *file, uint16_t *bytesPerRead,
                uint16_t *bufferSize, uint32_t *dataSize);
