// Child processes, free loopback ports, temporary directories and bounded waits
// for tests. Everything here is bounded: no call blocks longer than its timeout.
#pragma once

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

// Whole-file helpers. ReadFile gives "" for a missing file.
std::string ReadFile(const std::string &path);
// Creates missing parent directories. True on success.
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
  // path() + "/" + relative (a leading '/' in `relative` is ignored).
  std::string Path(const std::string &relative) const;
  bool Write(const std::string &relative, const std::string &content) const;
  std::string Read(const std::string &relative) const;

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
  // "NAME=value" entries laid over the current environment ("NAME=" sets an
  // empty value; "-NAME" removes the variable).
  std::vector<std::string> env;
  // When set, the stream is also copied to this file as it arrives.
  std::string stdoutPath;
  std::string stderrPath;
  // Working directory of the child; empty keeps the current one.
  std::string cwd;
  // Gives the child a pipe as standard input (see WriteStdin); otherwise /dev/null.
  bool stdinPipe = false;
};

// One child process. Its stdout and stderr are read by a thread into memory
// (and optionally into files). The destructor stops a child that still runs
// (SIGTERM, then SIGKILL after a second) and reaps it.
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
  // Exit code when the child exited normally, -1 otherwise (still running,
  // killed by a signal, never started).
  int ExitCode() const;
  // Signal that ended the child, 0 when none.
  int TermSignal() const;
  bool Exited() const { return exited_; }

  bool Signal(int sig);
  // SIGTERM, wait up to `grace`, then SIGKILL. True when the child ended by
  // itself within the grace period.
  bool Stop(Millis grace = Millis(2000));
  void Kill();

  bool WriteStdin(const std::string &text);
  void CloseStdin();

  // Everything read so far.
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until the captured stream contains `needle`.
  bool WaitForStdout(const std::string &needle, Millis timeout) const;
  bool WaitForStderr(const std::string &needle, Millis timeout) const;

 private:
  void Reader(int outFd, int errFd, int outFile, int errFile);
  void Reap(bool block);

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int stdinFd_ = -1;
  std::atomic<bool> stopReading_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string out_;
  std::string err_;
};
