// WAV files and a streamer stand-in for the media tests.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Builds a WAV file byte by byte, so that any field can lie.
struct WavSpec {
  std::string riff = "RIFF";
  std::string wave = "WAVE";
  uint32_t fmtSize = 16;
  uint16_t format = 1;
  uint16_t channels = 1;
  uint32_t rate = 8000;
  uint16_t blockAlign = 2;
  uint16_t bits = 16;
  std::string before;        // raw chunks between "fmt " and "data"
  bool dataFirst = false;    // put the data chunk before "fmt "
  std::vector<uint8_t> data; // samples
  int64_t dataSize = -1;     // size field of "data" (-1: the real size)
  std::string after;         // bytes after the data chunk
};

inline void PutLe(std::string &s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline std::string Chunk(const std::string &id, const std::string &body) {
  std::string s = id;
  PutLe(s, static_cast<uint32_t>(body.size()), 4);
  return s + body;
}

inline std::string MakeWav(const WavSpec &w) {
  std::string fmt = "fmt ";
  PutLe(fmt, w.fmtSize, 4);
  PutLe(fmt, w.format, 2);
  PutLe(fmt, w.channels, 2);
  PutLe(fmt, w.rate, 4);
  PutLe(fmt, w.rate * w.blockAlign, 4);
  PutLe(fmt, w.blockAlign, 2);
  PutLe(fmt, w.bits, 2);
  std::string data = "data";
  PutLe(data, static_cast<uint32_t>(w.dataSize < 0 ? w.data.size() : w.dataSize), 4);
  data.append(w.data.begin(), w.data.end());
  std::string body = w.wave + (w.dataFirst ? data + fmt + w.before : fmt + w.before + data) + w.after;
  std::string file = w.riff;
  PutLe(file, static_cast<uint32_t>(body.size()), 4);
  return file + body;
}

// `n` bytes of a recognisable pattern.
inline std::vector<uint8_t> Samples(size_t n, uint8_t seed = 7) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return v;
}

// A datagram socket bound at `path` that records every datagram with its
// arrival time on a thread of its own.
class StreamerSink {
 public:
  struct Datagram {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
  };

  explicit StreamerSink(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    reader_ = std::thread([this] { Read(); });
  }
  ~StreamerSink() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return fd_ >= 0; }
  std::vector<Datagram> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.size();
  }
  std::vector<uint8_t> Joined() {
    std::vector<uint8_t> all;
    for (auto &d : Take()) all.insert(all.end(), d.bytes.begin(), d.bytes.end());
    return all;
  }

 private:
  void Read() {
    std::vector<uint8_t> buf(70000);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      got_.push_back({std::vector<uint8_t>(buf.begin(), buf.begin() + n),
                      std::chrono::steady_clock::now()});
    }
  }

  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  std::mutex mutex_;
  std::vector<Datagram> got_;
};
