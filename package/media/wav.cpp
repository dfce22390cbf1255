#define LOG_MODULE "package/src/media/wav/wav"
#include "media/wav.h"

#include <cstring>

#include "ornix.h"

namespace {

// Largest blockAlign whose 512-sample piece still fits the 16-bit piece size.
constexpr uint16_t MAX_BLOCK_ALIGN = 127;

bool ReadLe(FILE *file, uint16_t *value) {
  uint8_t b[2];
  if (fread(b, 1, sizeof b, file) != sizeof b) return false;
  *value = static_cast<uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool ReadLe(FILE *file, uint32_t *value) {
  uint8_t b[4];
  if (fread(b, 1, sizeof b, file) != sizeof b) return false;
  *value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  return true;
}

// Four-byte identifier as a text; false on a short read (the bytes read so far
// stay in `id` for the message).
bool ReadId(FILE *file, char id[5]) {
  memset(id, 0, 5);
  size_t n = fread(id, 1, 4, file);
  for (size_t i = 0; i < n; ++i)
    if (id[i] == '\0') id[i] = ' ';  // keep the text printable in full
  return n == 4;
}

// One header field; false, with the read error logged, when the file ends first.
template <class T>
bool ReadField(FILE *file, T *value, const char *name) {
  const bool read = ReadLe(file, value);
  if (!read) LOG_BOTH(5, "Ошибка чтения поля %s", name);
  return read;
}

// A field that makes the file unplayable: false, with the reason logged.
bool Refuse(const char *reason) {
  LOG_BOTH(5, "%s", reason);
  return false;
}

// `file` is positioned just after the "fmt " identifier. True when the format
// is supported, else false (the reason is logged).
bool WavReadFormat(FILE *file, WavHeader *header) {
  uint32_t subchunk1Size = 0;
  if (!ReadField(file, &subchunk1Size, "subchunk1Size")) return false;
  if (subchunk1Size != 16) return Refuse("Длина заголовка не соответствует PCM формату");
  if (!ReadField(file, &header->audioFormat, "audioFormat")) return false;
  if (header->audioFormat != 1) return Refuse("Аудио формат заголовка не соответствует PCM");
  if (!ReadField(file, &header->numChannels, "numChannels")) return false;
  if (header->numChannels != 1) {
    LOG_BOTH(5, "Неподдерживаемое количество каналов: %d", header->numChannels);
    return false;
  }
  if (!ReadField(file, &header->sampleRate, "sampleRate")) return false;
  if (header->sampleRate != 8000) {
    LOG_BOTH(5, "Неподдерживаемая частота дискретизации: %d", static_cast<int>(header->sampleRate));
    return false;
  }
  if (!ReadField(file, &header->byteRate, "byteRate")) return false;
  if (!ReadField(file, &header->blockAlign, "blockAlign")) return false;
  // A zero block would make every piece empty, and a huge one would wrap the
  // 16-bit piece size: neither is a playable mono PCM file.
  if (header->blockAlign == 0 || header->blockAlign > MAX_BLOCK_ALIGN)
    return Refuse("Ошибка чтения поля blockAlign");
  return ReadField(file, &header->bitsPerSample, "bitsPerSample");
}

}  // namespace

bool WavReadHeader(FILE *file, WavHeader *header) {
  char id[5];
  if (!ReadId(file, id) || strcmp(id, "RIFF") != 0) {
    LOG_BOTH(5, "Ошибка чтения поля chunkId или поле задано неверно: %s", id);
    return false;
  }
  uint32_t chunkSize = 0;
  if (!ReadField(file, &chunkSize, "chunkSize")) return false;
  if (!ReadId(file, id) || strcmp(id, "WAVE") != 0) {
    LOG_BOTH(5, "Ошибка чтения поля chunkId или поле задано неверно: %s", id);
    return false;
  }
  if (!ReadId(file, id)) {
    LOG_BOTH(5, "Ошибка чтения поля subchunk1Id");
    return false;
  }
  // Without a leading "fmt " chunk the format is unknown: such a file would
  // stream nothing, so it is refused here rather than "played" silently.
  if (strcmp(id, "fmt ") != 0 || !WavReadFormat(file, header)) {
    LOG_BOTH(5, "Ошибка проверки заголовка аудиофайла");
    return false;
  }
  // Each pass consumes at least the 8-byte chunk header, and a skip past the
  // end makes the next header read short, so the walk always ends.
  for (;;) {
    if (!ReadId(file, id)) {
      LOG_BOTH(5, "Ошибка чтения id чанка");
      return false;
    }
    uint32_t size = 0;
    if (!ReadLe(file, &size)) {
      LOG_BOTH(5, "Ошибка чтения размера чанка: %s", id);
      return false;
    }
    header->dataSize = size;
    if (strcmp(id, "data") == 0) return true;
    if (fseeko(file, static_cast<off_t>(size), SEEK_CUR) != 0) {
      LOG_BOTH(5, "Ошибка чтения id чанка");
      return false;
    }
  }
}

bool WavPrepare(WavHeader *header, FILE *file, uint16_t *bytesPerRead,
                uint16_t *bufferSize, uint32_t *dataSize) {
  if (!WavReadHeader(file, header)) return false;
  uint16_t piece = static_cast<uint16_t>(512u * header->blockAlign);
  *bytesPerRead = piece;
  *bufferSize = piece;
  *dataSize = header->dataSize;
  return true;
}
