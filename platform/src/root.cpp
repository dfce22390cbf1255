#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal.h"
#include "ornix.h"

namespace {

// A program installed under a prefix of its own (cmake --install --prefix P:
// P/bin or P/sbin, with P/etc/baresip/config) keeps its configuration and
// state there; /usr and the build tree use the system's.
std::string PrefixRoot() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "";
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.find_last_of('/'));
  const size_t slash = dir.find_last_of('/');
  if (slash == std::string::npos) return "";
  const std::string bin = dir.substr(slash + 1), prefix = dir.substr(0, slash);
  struct stat st;
  if ((bin != "bin" && bin != "sbin") || prefix.empty() || prefix == "/usr" ||
      stat((prefix + "/etc/baresip/config").c_str(), &st) != 0)
    return "";
  return prefix;
}

}  // namespace

std::string RootPath(const char *path) {
  static const std::string prefixRoot = PrefixRoot();
  const char *root = getenv("DORALIN_ROOT");
  // Sockets and devices belong to the services the program talks to, not to
  // its prefix: only etc and var move with it.
  const bool owned = path && (!strncmp(path, "/etc/", 5) || !strncmp(path, "/var/", 5));
  std::string result = root && *root ? root : owned ? prefixRoot : "";
  while (!result.empty() && result.back() == '/') result.pop_back();
  if (!path) return result.empty() ? "/" : result;
  if (path[0] != '/') result += '/';
  result += path;
  return result;
}

namespace ornix {

std::string VFormat(const char *fmt, va_list ap) {
  const int savedErrno = errno;
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt ? fmt : "", copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  errno = savedErrno;
  vsnprintf(big.data(), big.size(), fmt, ap);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string Format(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  return text;
}

bool MakeDirs(const std::string &dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return false;
}

}  // namespace ornix
