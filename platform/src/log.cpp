// System log, event journal and their copy on standard error.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "ornix.h"

namespace {

std::atomic<int> g_level{3};
std::mutex g_nameMutex;
char g_name[64] = "doralin";

int Priority(int level) {
  if (level <= 2) return LOG_DEBUG;
  if (level == 3) return LOG_NOTICE;
  if (level == 4) return LOG_WARNING;
  return LOG_ERR;
}

bool Enabled(int level) { return level >= g_level.load(std::memory_order_relaxed); }

bool StderrCopy() {
  const char *v = getenv("DORALIN_LOG_STDERR");
  return v && v[0] == '1';
}

// One record is one line: line breaks inside the text are written as \n.
void AppendEscaped(std::string &out, const std::string &text) {
  for (char c : text) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
}

void WriteStderr(const std::string &head, const std::string &text, const std::string *detail) {
  std::string line = head;
  AppendEscaped(line, text);
  if (detail) {
    line += " | ";
    AppendEscaped(line, *detail);
  }
  line += '\n';
  // A single write keeps lines of different threads apart.
  const char *p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

const char *Source(const char *file) { return file ? file : "?"; }

// Takes from `ap` the arguments that `fmt` converts, so that what follows them
// can be read. Positional arguments ("%1$d") are not supported.
bool SkipArgs(const char *fmt, va_list *ap) {
  for (const char *p = fmt; p && *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && strchr("-+ #0'I", *p)) ++p;
    if (*p == '*') {
      (void)va_arg(*ap, int);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') ++p;
      if (*p == '$') return false;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        (void)va_arg(*ap, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') ++p;
      }
    }
    int longs = 0;
    bool longDouble = false, sizeT = false, intmax = false, ptrdiff = false;
    for (;; ++p) {
      if (*p == 'h') continue;
      if (*p == 'l') { ++longs; continue; }
      if (*p == 'q') { longs = 2; continue; }
      if (*p == 'L') { longDouble = true; continue; }
      if (*p == 'z' || *p == 'Z') { sizeT = true; continue; }
      if (*p == 'j') { intmax = true; continue; }
      if (*p == 't') { ptrdiff = true; continue; }
      break;
    }
    switch (*p) {
      case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
        if (sizeT) (void)va_arg(*ap, size_t);
        else if (intmax) (void)va_arg(*ap, intmax_t);
        else if (ptrdiff) (void)va_arg(*ap, ptrdiff_t);
        else if (longs >= 2) (void)va_arg(*ap, long long);
        else if (longs == 1) (void)va_arg(*ap, long);
        else (void)va_arg(*ap, int);
        break;
      case 'c': case 'C':
        (void)va_arg(*ap, int);
        break;
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
        if (longDouble) (void)va_arg(*ap, long double);
        else (void)va_arg(*ap, double);
        break;
      case 's': case 'S': case 'p': case 'n':
        (void)va_arg(*ap, void *);
        break;
      case 'm':
        break;
      case '\0':
        return true;
      default:
        return false;
    }
  }
  return true;
}

void Journal(int level, const char *file, int line, int code, const std::string &text,
             const std::string *detail) {
  if (StderrCopy())
    WriteStderr(ornix::Format("J%d %d %s:%d ", level, code, Source(file), line), text, detail);
  ornix::JournalInsert(level, Source(file), line, code, text, detail);
}

}  // namespace

void LogSetName(const char *name) {
  std::lock_guard<std::mutex> lock(g_nameMutex);
  snprintf(g_name, sizeof g_name, "%s", name && *name ? name : "doralin");
  openlog(g_name, LOG_PID, LOG_DAEMON);
}

void LogSetLevel(int level) {
  if (level < 1) level = 1;
  if (level > 5) level = 5;
  g_level.store(level);
}

int LogGetLevel(void) { return g_level.load(); }

int UbootEnvGetLogLevel(const char *name) {
  if (!name || !*name) return 3;
  FILE *f = fopen(RootPath("/etc/fw_env").c_str(), "r");
  if (!f) return 3;
  std::string wanted = std::string(name) + "_loglevel=";
  int level = 3;
  char line[512];
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, wanted.c_str(), wanted.size()) != 0) continue;
    char *end = nullptr;
    long v = strtol(line + wanted.size(), &end, 10);
    if (end != line + wanted.size() && v >= 1 && v <= 5) level = static_cast<int>(v);
  }
  fclose(f);
  return level;
}

namespace {

// A journal record when `eventCode` is given, else a plain one; %m sees the caller's errno.
void VLog(int level, const char *file, int line, const int *eventCode, const char *fmt, va_list ap) {
  const int savedErrno = errno;
  if (!Enabled(level)) return;
  const std::string text = ornix::VFormat(fmt, ap);
  if (eventCode) {
    Journal(level, file, line, *eventCode, text, nullptr);
  } else {
    syslog(Priority(level), "%s:%d %s", Source(file), line, text.c_str());
    if (StderrCopy()) WriteStderr(ornix::Format("L%d %s:%d ", level, Source(file), line), text, nullptr);
  }
  errno = savedErrno;
}

}  // namespace

void LogWrite(int level, const char *file, int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog(level, file, line, nullptr, fmt, ap);
  va_end(ap);
}

void LogWriteMorvat(int level, const char *file, int line, int eventCode, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog(level, file, line, &eventCode, fmt, ap);
  va_end(ap);
}

void LogWriteMorvat2(int level, const char *file, int line, int eventCode, const char *fmt, ...) {
  const int savedErrno = errno;
  if (!Enabled(level)) return;
  va_list ap;
  va_start(ap, fmt);
  va_list rest;
  va_copy(rest, ap);
  errno = savedErrno;
  std::string text = ornix::VFormat(fmt, ap);
  va_end(ap);
  std::string detail;
  bool haveDetail = false;
  if (SkipArgs(fmt, &rest)) {
    (void)va_arg(rest, int);  // the 0 that separates the two formats
    const char *detailFmt = va_arg(rest, const char *);
    if (detailFmt) {
      errno = savedErrno;
      detail = ornix::VFormat(detailFmt, rest);
      haveDetail = true;
    }
  }
  va_end(rest);
  Journal(level, file, line, eventCode, text, haveDetail ? &detail : nullptr);
  errno = savedErrno;
}
