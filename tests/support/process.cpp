#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

extern char **environ;

bool WaitFor(const std::function<bool()> &predicate, Millis timeout, Millis step) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

sockaddr_in Loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

namespace {

void SetEnv(const std::string &name, const std::optional<std::string> &value) {
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
}

// Binds a socket of `type` to 127.0.0.1:port (0: any); returns the bound port or 0.
int BindLoopback(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa = Loopback(port);
  socklen_t len = sizeof sa;
  int result = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0
                   ? ntohs(sa.sin_port)
                   : 0;
  close(fd);
  return result;
}

int FreePort(int firstType, int secondType) {
  static std::mutex mutex;
  static std::set<int> given;
  std::lock_guard<std::mutex> lock(mutex);
  for (int attempt = 0; attempt < 200; ++attempt) {
    int port = BindLoopback(firstType, 0);
    if (port == 0 || given.count(port) || BindLoopback(secondType, port) != port) continue;
    given.insert(port);
    return port;
  }
  return 0;
}

}  // namespace

int FreeUdpPort() { return FreePort(SOCK_DGRAM, SOCK_STREAM); }
int FreeTcpPort() { return FreePort(SOCK_STREAM, SOCK_DGRAM); }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

bool WriteFile(const std::string &path, const std::string &content) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return out && (out << content).flush();
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TempDir::TempDir(const std::string &prefix) {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Path(const std::string &relative) const {
  return path_ + "/" + relative.substr(std::min(relative.find_first_not_of('/'), relative.size()));
}

bool TempDir::Write(const std::string &relative, const std::string &content) const {
  return WriteFile(Path(relative), content);
}

ScopedEnv::ScopedEnv(const std::string &name, const std::optional<std::string> &value)
    : name_(name) {
  if (const char *old = getenv(name.c_str())) previous_ = old;
  SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, previous_); }

Process::~Process() {
  if (pid_ > 0 && !exited_) Stop(Millis(1000));
  CloseStdin();
  // A grandchild may still hold the pipes open: stop once nothing more arrives.
  stopReading_ = true;
  if (reader_.joinable()) reader_.join();
}

bool Process::Start(const std::vector<std::string> &args, const ProcessOptions &options) {
  if (args.empty() || pid_ > 0) return false;
  // Everything is built before fork: only async-signal-safe calls after it.
  std::vector<std::string> env;
  for (char **e = environ; e && *e; ++e) env.emplace_back(*e);
  for (const auto &entry : options.env) {
    std::string prefix = entry.substr(0, entry.find('=')) + "=";
    std::erase_if(env, [&](const std::string &e) { return e.rfind(prefix, 0) == 0; });
    env.push_back(entry);
  }
  std::vector<std::string> argCopy(args);
  std::vector<char *> argv, envp;
  for (auto &a : argCopy) argv.push_back(a.data());
  for (auto &e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, inPipe[2] = {-1, -1};
  const bool piped = pipe2(outPipe, O_CLOEXEC) == 0 && pipe2(errPipe, O_CLOEXEC) == 0 &&
                     (!options.stdinPipe || pipe2(inPipe, O_CLOEXEC) == 0);
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const char *cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  const bool usePath = args[0].find('/') == std::string::npos;
  // A child of the main thread dies with the test; children of other threads
  // would die with their thread, so they are left alone.
  const bool mainThread = syscall(SYS_gettid) == getpid();

  pid_t pid = piped ? fork() : -1;
  if (pid == 0) {
    if (mainThread) prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    dup2(inPipe[0] >= 0 ? inPipe[0] : devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (cwd && chdir(cwd) != 0) _exit(126);
    (usePath ? execvpe : execve)(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  for (int fd : {outPipe[1], errPipe[1], inPipe[0], devNull, pid < 0 ? outPipe[0] : -1, pid < 0 ? errPipe[0] : -1,
                 pid < 0 ? inPipe[1] : -1})
    if (fd >= 0) close(fd);
  if (pid < 0) return false;
  pid_ = pid;
  stdinFd_ = inPipe[1];
  readFds_[0] = outPipe[0];
  readFds_[1] = errPipe[0];
  reader_ = std::thread(&Process::Reader, this, outPipe[0], errPipe[0]);
  return true;
}

void Process::Reader(int outFd, int errFd) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  char buffer[4096];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int ready = poll(fds, 2, 50);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && stopReading_) break;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      // Read and append under the lock, so CatchUp never sees data in between.
      std::lock_guard<std::mutex> lock(mutex_);
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) {
        close(fds[i].fd);
        fds[i].fd = readFds_[i] = -1;  // poll skips negative descriptors
      }
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < 2; ++i)
    if (fds[i].fd >= 0) close(fds[i].fd);
  readFds_[0] = readFds_[1] = -1;
}

void Process::CatchUp(Millis timeout) const {
  WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        int pending = 0, n = 0;
        for (int fd : readFds_) pending += fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
        return pending == 0;
      },
      timeout, Millis(1));
}

void Process::Reap(bool block) {
  if (pid_ <= 0 || exited_) return;
  int status = 0;
  pid_t r;
  do r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    exited_ = true;
    status_ = r == pid_ ? status : 0;
  }
}

bool Process::Running() {
  Reap(false);
  return pid_ > 0 && !exited_;
}

bool Process::Wait(Millis timeout) {
  return pid_ > 0 && WaitFor([this] { return !Running(); }, timeout, Millis(5));
}

int Process::ExitCode() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

int Process::Status() const {
  return exited_ && WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : ExitCode();
}

bool Process::Signal(int sig) { return pid_ > 0 && !exited_ && kill(pid_, sig) == 0; }

bool Process::Stop(Millis grace) {
  if (pid_ <= 0) return false;
  if (exited_ || (Signal(SIGTERM) && Wait(grace))) return true;
  Kill();
  return false;
}

void Process::Kill() {
  if (pid_ <= 0 || exited_) return;
  kill(pid_, SIGKILL);
  Reap(true);
}

bool Process::WriteStdin(const std::string &text) {
  if (stdinFd_ < 0) return false;
  // A child that has gone must not take the test down with SIGPIPE.
  static const bool ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)ignored;
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(stdinFd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Process::CloseStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

std::string Process::Captured(const std::string &stream) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stream;
}

bool Process::WaitForStdout(const std::string &needle, Millis timeout) const {
  return WaitFor([&] { return Stdout().find(needle) != std::string::npos; }, timeout);
}
