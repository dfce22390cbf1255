#define LOG_MODULE "package/src/media/play/play"
#include "media/play.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "media/wav.h"
#include "ornix.h"

namespace {

std::atomic<bool> playStopRequested{false};

// Pause after each datagram of 512 samples (64 ms of audio).
constexpr unsigned PLAY_PERIOD_US = 59700;

// A streamer that stops reading fills its queue, and a blocking send would
// then hold the playback, and the call state with it, for good: each
// datagram waits at most this long for room.
constexpr int kSendLimitMs = 1000;
constexpr int kSendRetryMs = 10;

// Bytes sent (0 when a stop came first), or -1 (errno EAGAIN when the
// streamer took nothing in time).
int SendPiece(const uint8_t *data, size_t n) {
  for (int waited = 0;; waited += kSendRetryMs) {
    const int sent = SendToUnixDgramSocket(CallContext.assistantSocket, data, n,
                                           STREAMER_SOCKET_PATH, MSG_DONTWAIT);
    if (sent >= 0 || errno != EAGAIN || waited >= kSendLimitMs) return sent;
    if (playStopRequested) return 0;
    usleep(kSendRetryMs * 1000);
  }
}

struct FileCloser {
  FILE *file;
  ~FileCloser() {
    if (file) fclose(file);
  }
};

}  // namespace

bool PlayWavFile(const char *path, CallState holdState) {
  playStopRequested = false;
  if (CallContext.assistantSocket <= 0) {
    LOG_BOTH(5, "Ошибка проигрывание сообщения (сокет закрыт)");
    return false;
  }
  FileCloser holder{path ? fopen(path, "rb") : nullptr};
  if (!holder.file) return false;

  WavHeader header{};
  uint16_t bytesPerRead = 0, bufferSize = 0;
  uint32_t dataSize = 0;
  if (!WavPrepare(&header, holder.file, &bytesPerRead, &bufferSize, &dataSize)) return false;

  int32_t bytesLeft = static_cast<int32_t>(dataSize);
  if (CallContext.state != holdState || bytesLeft <= 0) return true;

  std::vector<uint8_t> buffer(bufferSize);
  for (;;) {
    size_t n = fread(buffer.data(), 1, bytesPerRead, holder.file);
    if (n == 0) break;
    if (SendPiece(buffer.data(), n) < 0) {
      if (errno == EAGAIN)
        LOG(4, "Streamer took no datagram for %d ms, playback of %s ended", kSendLimitMs, path);
      LOG_BOTH(5, "Ошибка отправки аудиофайла в сокет");
      break;
    }
    if (playStopRequested) break;
    bytesLeft -= static_cast<int32_t>(n);
    usleep(PLAY_PERIOD_US);
    // A stop that came during the pause must not let one more piece out.
    if (playStopRequested || CallContext.state != holdState || bytesLeft <= 0) break;
  }
  return true;
}

void StopPlayback() { playStopRequested = true; }
