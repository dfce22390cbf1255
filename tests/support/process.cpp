#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

namespace {

std::mutex g_portMutex;
std::set<int> g_portsGiven;

// Binds a socket of `type` to 127.0.0.1:port (0: any); returns the bound port or 0.
int BindLoopback(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int result = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0) result = ntohs(sa.sin_port);
  }
  close(fd);
  return result;
}

int FreePort(int firstType, int secondType) {
  std::lock_guard<std::mutex> lock(g_portMutex);
  for (int attempt = 0; attempt < 200; ++attempt) {
    int port = BindLoopback(firstType, 0);
    if (port == 0) continue;
    if (g_portsGiven.count(port)) continue;
    if (BindLoopback(secondType, port) != port) continue;
    g_portsGiven.insert(port);
    return port;
  }
  return 0;
}

}  // namespace

int FreeUdpPort() { return FreePort(SOCK_DGRAM, SOCK_STREAM); }
int FreeTcpPort() { return FreePort(SOCK_STREAM, SOCK_DGRAM); }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFile(const std::string &path, const std::string &content) {
  std::error_code ec;
  auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << content;
  return static_cast<bool>(out.flush());
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TempDir::TempDir(const std::string &prefix) {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data())) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Path(const std::string &relative) const {
  size_t skip = 0;
  while (skip < relative.size() && relative[skip] == '/') ++skip;
  return path_ + "/" + relative.substr(skip);
}

bool TempDir::Write(const std::string &relative, const std::string &content) const {
  return WriteFile(Path(relative), content);
}

std::string TempDir::Read(const std::string &relative) const { return ReadFile(Path(relative)); }

ScopedEnv::ScopedEnv(const std::string &name, const std::optional<std::string> &value)
    : name_(name) {
  if (const char *old = getenv(name.c_str())) previous_ = old;
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (previous_)
    setenv(name_.c_str(), previous_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

Process::~Process() {
  if (pid_ > 0 && !exited_) Stop(Millis(1000));
  CloseStdin();
  // A grandchild may still hold the pipes open: stop reading once nothing
  // more arrives.
  stopReading_ = true;
  if (reader_.joinable()) reader_.join();
}

bool Process::Start(const std::vector<std::string> &args, const ProcessOptions &options) {
  if (args.empty() || pid_ > 0) return false;

  // Build the environment before fork: only async-signal-safe calls after it.
  std::vector<std::string> env;
  for (char **e = environ; e && *e; ++e) env.emplace_back(*e);
  for (const auto &entry : options.env) {
    bool remove = !entry.empty() && entry[0] == '-';
    std::string name = remove ? entry.substr(1) : entry.substr(0, entry.find('='));
    std::erase_if(env, [&](const std::string &e) {
      return e.compare(0, name.size(), name) == 0 && e.size() > name.size() && e[name.size()] == '=';
    });
    if (!remove) env.push_back(entry);
  }
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy(args);
  std::vector<char *> argv;
  for (auto &a : argCopy) argv.push_back(a.data());
  argv.push_back(nullptr);

  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return false;
  }
  if (options.stdinPipe && pipe2(inPipe, O_CLOEXEC) != 0) inPipe[0] = inPipe[1] = -1;
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int outFile = options.stdoutPath.empty()
                    ? -1
                    : open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int errFile = options.stderrPath.empty()
                    ? -1
                    : open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const char *cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  const bool usePath = args[0].find('/') == std::string::npos;
  // A child of the main thread dies with the test; children of other threads
  // would die with their thread, so they are left alone.
  const bool mainThread = syscall(SYS_gettid) == getpid();

  pid_t pid = fork();
  if (pid == 0) {
    if (mainThread) prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    dup2(inPipe[0] >= 0 ? inPipe[0] : devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (cwd && chdir(cwd) != 0) _exit(126);
    if (usePath)
      execvpe(argv[0], argv.data(), envp.data());
    else
      execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (inPipe[0] >= 0) close(inPipe[0]);
  if (devNull >= 0) close(devNull);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    if (inPipe[1] >= 0) close(inPipe[1]);
    if (outFile >= 0) close(outFile);
    if (errFile >= 0) close(errFile);
    return false;
  }
  pid_ = pid;
  stdinFd_ = inPipe[1];
  reader_ = std::thread(&Process::Reader, this, outPipe[0], errPipe[0], outFile, errFile);
  return true;
}

void Process::Reader(int outFd, int errFd, int outFile, int errFile) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    int ready = poll(fds, 2, 50);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      if (stopReading_) break;
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      int file = i == 0 ? outFile : errFile;
      if (file >= 0 && write(file, buffer, static_cast<size_t>(n)) < 0) {
        // The copy on disk is best effort; memory keeps everything.
      }
      std::lock_guard<std::mutex> lock(mutex_);
      (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
    }
  }
  for (auto &p : fds)
    if (p.fd >= 0) close(p.fd);
  if (outFile >= 0) close(outFile);
  if (errFile >= 0) close(errFile);
}

void Process::Reap(bool block) {
  if (pid_ <= 0 || exited_) return;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
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
  if (pid_ <= 0) return false;
  return WaitFor([this] { return !Running(); }, timeout, Millis(5));
}

int Process::ExitCode() const {
  return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Process::TermSignal() const { return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

bool Process::Signal(int sig) {
  if (pid_ <= 0 || exited_) return false;
  return kill(pid_, sig) == 0;
}

bool Process::Stop(Millis grace) {
  if (pid_ <= 0) return false;
  if (exited_) return true;
  Signal(SIGTERM);
  if (Wait(grace)) return true;
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
  static const bool ignored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;
  size_t done = 0;
  while (done < text.size()) {
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

std::string Process::Stdout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string Process::Stderr() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

bool Process::WaitForStdout(const std::string &needle, Millis timeout) const {
  return WaitFor([&] { return Stdout().find(needle) != std::string::npos; }, timeout);
}

bool Process::WaitForStderr(const std::string &needle, Millis timeout) const {
  return WaitFor([&] { return Stderr().find(needle) != std::string::npos; }, timeout);
}
