// Child processes, free loopback ports, temporary directories and bounded waits
// for tests. Everything here is bounded: no call blocks longer than its timeout.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Millis = std::chrono::milliseconds;

// Polls `predicate` every `step` until it is true or `timeout` passes.
// True when the predicate held.
bool WaitFor(const std::function<bool()> &predicate, Millis timeout, Millis step = Millis(10));

// A port on 127.0.0.1 that is free for UDP and TCP at the moment of the call and
// was not handed out before by this process. 0 when none could be found.
int FreeUdpPort();
int FreeTcpPort();
// The address 127.0.0.1:port.
sockaddr_in Loopback(int port);

// Whole-file helpers. ReadFile gives "" for a missing file; WriteFile creates
// missing parent directories.
std::string ReadFile(const std::string &path);
bool WriteFile(const std::string &path, const std::string &content);
// Lines of a text (without the '\n'); a trailing partial line is kept.
std::vector<std::string> SplitLines(const std::string &text);

// A fresh directory (mkdtemp under $TMPDIR or /tmp) removed recursively on
// destruction.
class TempDir {
 public:
  explicit TempDir(const std::string &prefix = "doralin");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + relative (leading '/' in `relative` ignored).
  std::string Path(const std::string &relative) const;
  bool Write(const std::string &relative, const std::string &content) const;
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
  std::vector<std::string> env;  // "NAME=value" entries laid over the current environment
  std::string cwd;               // working directory of the child; empty keeps ours
  bool stdinPipe = false;        // a pipe as standard input (WriteStdin), else /dev/null
};

// One child process. Its stdout and stderr are read by a thread into memory.
// The destructor stops a child that still runs (SIGTERM, then SIGKILL) and
// reaps it.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  // args[0] is the program (a path, or a name looked up in PATH).
  bool Start(const std::vector<std::string> &args, const ProcessOptions &options = {});

  pid_t pid() const { return pid_; }
  // True while the child has not exited (reaps it when it has).
  bool Running();
  // Waits up to `timeout` for the child to end. True when it has ended.
  bool Wait(Millis timeout);
  bool Exited() const { return exited_; }
  // Exit code of a normal exit, -1 otherwise (running, signalled, not started).
  int ExitCode() const;
  // Exit code, or 128 + signal for a child ended by a signal; -1 while running.
  int Status() const;

  bool Signal(int sig);
  // SIGTERM, wait up to `grace`, then SIGKILL. True when the child ended by
  // itself within the grace period.
  bool Stop(Millis grace = Millis(2000));
  void Kill();

  bool WriteStdin(const std::string &text);
  void CloseStdin();

  // Everything read so far.
  std::string Stdout() const { return Captured(out_); }
  std::string Stderr() const { return Captured(err_); }
  // Waits until the captured stdout contains `needle`.
  bool WaitForStdout(const std::string &needle, Millis timeout) const;
  // Waits (up to `timeout`) until everything the child has written so far is
  // captured, so output that came before a reply is seen after it.
  void CatchUp(Millis timeout = Millis(200)) const;

 private:
  void Reader(int outFd, int errFd);
  std::string Captured(const std::string &stream) const;
  void Reap(bool block);

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int stdinFd_ = -1;
  int readFds_[2] = {-1, -1};  // the reader's pipe ends, -1 once closed (under mutex_)
  std::atomic<bool> stopReading_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string out_;
  std::string err_;
};
