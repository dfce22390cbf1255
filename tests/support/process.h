// Child processes, free loopback ports, temporary directories and bounded waits
// for tests. Everything here is bounded: no call blocks longer than its timeout.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using Millis = std::chrono::milliseconds;

// Polls `predicate` every `step` until it is true or `timeout` passes.
// True when the predicate held.
bool WaitFor(const std::function<bool()> &predicate, Millis timeout, Millis step = Millis(10));

// A port on 127.0.0.1 that is free for UDP and TCP at the moment of the call and
// was not handed out before by this process. 0 when none could be found.
int FreeUdpPort();
int FreeTcpPort();
sockaddr_in Loopback(int port);

// ReadFile gives "" for a missing file; WriteFile creates missing parent directories.
std::string ReadFile(const std::string &path);
bool WriteFile(const std::string &path, const std::string &content);
// Lines of a text (without the '\n'); a trailing partial line is kept.
std::vector<std::string> SplitLines(const std::string &text);

// A fresh directory under $TMPDIR or /tmp, removed recursively on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string &prefix = "doralin");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + relative (a leading '/' in `relative` ignored).
  std::string Path(const std::string &relative) const {
    return path_ + "/" + relative.substr(relative.starts_with('/'));
  }
  bool Write(const std::string &relative, const std::string &content) const {
    return WriteFile(Path(relative), content);
  }
  std::string Read(const std::string &relative) const { return ReadFile(Path(relative)); }

 private:
  std::string path_;
};

// Sets (or with nullopt unsets) an environment variable for the life of the
// object and restores the previous value afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const std::string &name, const std::optional<std::string> &value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

struct ProcessOptions {
  std::vector<std::string> env{};  // "NAME=value" entries laid over the current environment
  std::string cwd{};               // working directory of the child; empty keeps ours
  bool stdinPipe = false;          // a pipe as standard input (WriteStdin), else /dev/null
};

// One child process. Its stdout and stderr go to in-memory files, so whatever
// it wrote is readable at once. The destructor stops a child that still runs
// (SIGTERM, then SIGKILL) and reaps it.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  // args[0] is the program (a path, or a name looked up in PATH). Starts once.
  bool Start(const std::vector<std::string> &args, const ProcessOptions &options = {});

  pid_t pid() const { return pid_; }
  // True while the child has not exited (reaps it when it has).
  bool Running();
  // Waits up to `timeout` for the child to end. True when it has ended.
  bool Wait(Millis timeout) {
    return pid_ > 0 && WaitFor([this] { return !Running(); }, timeout, Millis(5));
  }
  // Exit code, or 128 + signal for a child ended by a signal; -1 while running.
  int ExitCode() const;

  bool Signal(int sig);
  // SIGTERM, wait up to `grace`, then SIGKILL. True unless SIGKILL was needed.
  bool Stop(Millis grace = Millis(2000));
  void Kill();

  bool WriteStdin(const std::string &text);
  void CloseStdin();

  std::string Stdout() const { return Captured(outFd_); }
  std::string Stderr() const { return Captured(errFd_); }
  bool WaitForStdout(const std::string &needle, Millis timeout) const {
    return WaitFor([&] { return Stdout().find(needle) != std::string::npos; }, timeout);
  }

 private:
  std::string Captured(int fd) const;

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int stdinFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
};
