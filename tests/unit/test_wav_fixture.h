// WAV files whose every field may lie, and a streamer stand-in that records
// each datagram it receives.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct WavSpec {
  std::string riff = "RIFF", wave = "WAVE";
  uint32_t fmtSize = 16, rate = 8000;
  uint16_t format = 1, channels = 1, blockAlign = 2, bits = 16;
  std::string before;         // raw chunks between "fmt " and "data"
  bool dataFirst = false;     // the data chunk before "fmt "
  std::vector<uint8_t> data;  // samples
  int64_t dataSize = -1;      // size field of "data" (-1: the real size)
};

inline std::string Le(uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

inline std::string Chunk(const std::string &id, const std::string &body) {
  return id + Le(static_cast<uint32_t>(body.size()), 4) + body;
}

inline std::string MakeWav(const WavSpec &w) {
  std::string fmt = "fmt " + Le(w.fmtSize, 4) + Le(w.format, 2) + Le(w.channels, 2) + Le(w.rate, 4) +
                    Le(w.rate * w.blockAlign, 4) + Le(w.blockAlign, 2) + Le(w.bits, 2);
  std::string data = "data" + Le(static_cast<uint32_t>(w.dataSize < 0 ? w.data.size() : w.dataSize), 4) +
                     std::string(w.data.begin(), w.data.end());
  std::string body = w.wave + (w.dataFirst ? data + fmt + w.before : fmt + w.before + data);
  return w.riff + Le(static_cast<uint32_t>(body.size()), 4) + body;
}

inline std::vector<uint8_t> Samples(size_t n, uint8_t seed = 7) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return v;
}

class StreamerSink {
 public:
  struct Datagram {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
  };
  explicit StreamerSink(const std::string &path) : path_(path) {
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
      reader_ = std::thread([this] { Read(); });
  }
  ~StreamerSink() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return reader_.joinable(); }
  std::vector<Datagram> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }
  size_t Count() { return Take().size(); }
  // A streamer that stops reading (its queue fills), and reads again.
  void Pause(bool paused) { paused_ = paused; }
  std::vector<uint8_t> Joined() {
    std::vector<uint8_t> all;
    for (auto &d : Take()) all.insert(all.end(), d.bytes.begin(), d.bytes.end());
    return all;
  }

 private:
  void Read() {
    std::vector<uint8_t> buf(70000);
    while (!stop_) {
      if (paused_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      ssize_t n = poll(&p, 1, 20) > 0 ? recv(fd_, buf.data(), buf.size(), 0) : -1;
      std::lock_guard<std::mutex> lock(mutex_);
      if (n >= 0) got_.push_back({{buf.begin(), buf.begin() + n}, std::chrono::steady_clock::now()});
    }
  }
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false}, paused_{false};
  std::thread reader_;
  std::mutex mutex_;
  std::vector<Datagram> got_;
};
