// Datagram sockets, call time stamps, media directories and text helpers.
#define LOG_MODULE "platform/src/utils"

#include <fcntl.h>
#include <iconv.h>
#include <regex.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "ornix.h"

namespace {

bool FillAddress(const char *path, sockaddr_un *sa, socklen_t *len) {
  if (!path || !*path) return false;
  std::string full = RootPath(path);
  if (full.size() >= sizeof sa->sun_path) return false;  // never cut a path short
  memset(sa, 0, sizeof *sa);
  sa->sun_family = AF_UNIX;
  memcpy(sa->sun_path, full.c_str(), full.size() + 1);
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + full.size() + 1);
  return true;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<int64_t> g_startCall{0};
std::atomic<int64_t> g_endCall{0};

}  // namespace

int CreateUnixDgramSocket(const char *path, int flags) {
  sockaddr_un sa;
  socklen_t len = 0;
  if (!FillAddress(path, &sa, &len)) return -1;
  std::string full = sa.sun_path;
  size_t slash = full.find_last_of('/');
  if (slash != std::string::npos && slash > 0) ornix::MakeDirs(full.substr(0, slash));
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  if (fd == 0) {  // 0 reads as failure to callers
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    if (moved < 0) return -1;
    fd = moved;
  }
  unlink(full.c_str());  // a socket file left by an earlier run
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

int SendToUnixDgramSocket(int fd, const void *data, size_t length, const char *destination, int flags) {
  sockaddr_un sa;
  socklen_t len = 0;
  if (fd < 0 || (!data && length) || !FillAddress(destination, &sa, &len)) return -1;
  ssize_t n;
  do {
    n = sendto(fd, data, length, flags | MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sa), len);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

void DestroyUnixSocket(int fd) {
  if (fd < 0) return;
  sockaddr_un sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  bool bound = getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0 && sa.sun_family == AF_UNIX &&
               len > offsetof(sockaddr_un, sun_path) && sa.sun_path[0] != '\0';
  close(fd);
  if (bound) {
    sa.sun_path[sizeof sa.sun_path - 1] = '\0';
    unlink(sa.sun_path);
  }
}

void SetStartCallTimestamp(void) { g_startCall.store(NowMs()); }
void SetEndCallTimestamp(void) { g_endCall.store(NowMs()); }
int64_t GetStartCallTimestamp(void) { return g_startCall.load(); }
int64_t GetEndCallTimestamp(void) { return g_endCall.load(); }

int GetMediaInfoDirs(const MediaInfoDir **entries) {
  // Every list handed out stays alive: a caller on another thread may still be
  // reading an older one. A new list is kept only when the file changed.
  static std::mutex mutex;
  static std::list<std::vector<MediaInfoDir>> *lists = new std::list<std::vector<MediaInfoDir>>;
  if (entries) *entries = nullptr;
  std::vector<MediaInfoDir> fresh;
  FILE *f = fopen(RootPath("/etc/ornix/media_dirs").c_str(), "r");
  if (f) {
    char line[512];
    while (fgets(line, sizeof line, f) && fresh.size() < 64) {
      char *p = line;
      while (*p == ' ' || *p == '\t') ++p;
      if (*p == '#' || *p == '\n' || *p == '\0') continue;
      char *end = nullptr;
      long type = strtol(p, &end, 10);
      if (end == p || (*end != ' ' && *end != '\t')) continue;
      p = end;
      while (*p == ' ' || *p == '\t') ++p;
      size_t n = strcspn(p, "\r\n");
      while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
      if (n == 0) continue;
      // The device lists its own paths; they resolve under the root like every fixed path.
      std::string dir = RootPath(std::string(p, n).c_str());
      if (dir.back() != '/') dir += '/';
      if (dir.size() >= sizeof(MediaInfoDir::dir)) continue;  // would not fit: skip, never cut
      MediaInfoDir e{};
      e.type = static_cast<int>(type);
      memcpy(e.dir, dir.data(), dir.size());
      fresh.push_back(e);
    }
    fclose(f);
  }
  if (fresh.empty()) return 0;
  std::lock_guard<std::mutex> lock(mutex);
  auto same = [&](const std::vector<MediaInfoDir> &v) {
    if (v.size() != fresh.size()) return false;
    for (size_t i = 0; i < v.size(); ++i)
      if (v[i].type != fresh[i].type || strcmp(v[i].dir, fresh[i].dir) != 0) return false;
    return true;
  };
  if (lists->empty() || !same(lists->back())) lists->push_back(std::move(fresh));
  if (entries) *entries = lists->back().data();
  return static_cast<int>(lists->back().size());
}

int UtilsCheckMatches(const char *const *patterns, int count, const char *text, int *index) {
  if (index) *index = -1;
  if (!patterns || !text || count <= 0) return 0;
  for (int i = 0; i < count; ++i) {
    if (!patterns[i]) continue;
    regex_t re;
    if (regcomp(&re, patterns[i], REG_EXTENDED | REG_NOSUB) != 0) {
      LOG(4, "Bad pattern %d: %s", i, patterns[i]);
      continue;
    }
    int rc = regexec(&re, text, 0, nullptr, 0);
    regfree(&re);
    if (rc == 0) {
      if (index) *index = i;
      return 1;
    }
  }
  return 0;
}

namespace {

// Length of the UTF-8 sequence starting at p (1 to 4), 0 when it is not valid.
size_t Utf8Length(const unsigned char *p, size_t left) {
  unsigned char c = p[0];
  size_t n = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
  if (n == 0 || n > left) return 0;
  if (n == 2 && c < 0xc2) return 0;  // overlong
  for (size_t i = 1; i < n; ++i)
    if ((p[i] & 0xc0) != 0x80) return 0;
  return n;
}

}  // namespace

int UtilsConvertUtf8StrIn1251(char *text, char *buffer, int size) {
  if (!text || !buffer || size <= 1) {
    if (buffer && size > 0) buffer[0] = '\0';
    return 0;
  }
  buffer[0] = '\0';
  iconv_t cd = iconv_open("WINDOWS-1251", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    LOG(5, "iconv UTF-8 -> WINDOWS-1251 unavailable (%m)");
    return 0;
  }
  const size_t limit = static_cast<size_t>(size) - 1;
  size_t out = 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t left = strlen(text);
  // One character at a time: the output never takes part of a character, and
  // a character 1251 cannot hold becomes '?'.
  while (left > 0 && out < limit) {
    size_t n = Utf8Length(p, left);
    if (n == 0) {  // not UTF-8: skip the byte
      ++p;
      --left;
      continue;
    }
    char one[8];
    char *in = const_cast<char *>(reinterpret_cast<const char *>(p));
    size_t inLeft = n;
    char *dst = one;
    size_t dstLeft = sizeof one;
    size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    size_t produced = sizeof one - dstLeft;
    if (rc == static_cast<size_t>(-1) || produced != 1) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      buffer[out++] = '?';
    } else {
      buffer[out++] = one[0];
    }
    p += n;
    left -= n;
  }
  iconv_close(cd);
  buffer[out] = '\0';
  // Every output byte stands for at least one source byte, so the 1251 text
  // always fits over the start of the source.
  memmove(text, buffer, out + 1);
  return static_cast<int>(out);
}
