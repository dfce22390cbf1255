#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

extern char **environ;

bool WaitFor(const std::function<bool()> &predicate, Millis timeout, Millis step) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !predicate(); std::this_thread::sleep_for(step))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

sockaddr_in Loopback(int port) { return {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

namespace {

// Binds a socket of `type` to 127.0.0.1:port (0: any); the bound port, or 0.
int BindLoopback(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in sa = Loopback(port);
  socklen_t len = sizeof sa;
  bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0;
  if (fd >= 0) close(fd);
  return bound ? ntohs(sa.sin_port) : 0;
}

int FreePort(int firstType, int secondType) {
  static std::mutex mutex;
  static std::set<int> given;
  std::lock_guard<std::mutex> lock(mutex);
  for (int attempt = 0; attempt < 200; ++attempt) {
    int port = BindLoopback(firstType, 0);
    if (port != 0 && BindLoopback(secondType, port) == port && given.insert(port).second) return port;
  }
  return 0;
}

void SetEnv(const std::string &name, const std::optional<std::string> &value) {
  value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

}  // namespace

int FreeUdpPort() { return FreePort(SOCK_DGRAM, SOCK_STREAM); }
int FreeTcpPort() { return FreePort(SOCK_STREAM, SOCK_DGRAM); }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
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
  std::string pattern = std::filesystem::temp_directory_path().string() + "/" + prefix + ".XXXXXX";  // $TMPDIR or /tmp
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);  // nothing for an empty path
}

ScopedEnv::ScopedEnv(const std::string &name, const std::optional<std::string> &value) : name_(name) {
  if (const char *old = getenv(name.c_str())) previous_ = old;
  SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, previous_); }

Process::~Process() {
  Stop(Millis(1000));
  for (int fd : {stdinFd_, outFd_, errFd_})
    if (fd >= 0) close(fd);
}

#ifdef DORALIN_TEST_EMULATOR
namespace {
// Programs built here for another processor run under the tests' emulator; the
// emulator shows /proc/self/exe as the emulated program's own path.
std::vector<std::string> Emulated(const std::vector<std::string> &args) {
  std::string program = args[0];
  if (program == "/proc/self/exe") program = std::filesystem::read_symlink(program).string();
  else if (program.rfind(DORALIN_BUILD_DIR "/", 0) != 0) return args;
  std::vector<std::string> out;
  std::istringstream words(DORALIN_TEST_EMULATOR);
  for (std::string w; words >> w;) out.push_back(w);
  out.push_back(program);
  out.insert(out.end(), args.begin() + 1, args.end());
  return out;
}
}  // namespace
#endif

bool Process::Start(const std::vector<std::string> &programArgs, const ProcessOptions &options) {
  if (programArgs.empty() || outFd_ >= 0) return false;
#ifdef DORALIN_TEST_EMULATOR
  const std::vector<std::string> args = Emulated(programArgs);
#else
  const std::vector<std::string> &args = programArgs;
#endif
  // Everything is built before fork: only async-signal-safe calls after it.
  // One entry per name: the last of options.env, else ours.
  std::vector<char *> argv, envp;
  for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  auto add = [&envp](const char *entry) {
    const size_t name = strcspn(entry, "=") + 1;
    if (std::none_of(envp.begin(), envp.end(), [&](const char *e) { return strncmp(e, entry, name) == 0; }))
      envp.push_back(const_cast<char *>(entry));
  };
  for (auto it = options.env.rbegin(); it != options.env.rend(); ++it) add(it->c_str());
  for (char **e = environ; e && *e; ++e) add(*e);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int in[2] = {-1, -1};
  outFd_ = memfd_create("stdout", MFD_CLOEXEC);
  errFd_ = memfd_create("stderr", MFD_CLOEXEC);
  if (outFd_ < 0 || errFd_ < 0 || (options.stdinPipe && pipe2(in, O_CLOEXEC) != 0)) return false;
  // A child of the main thread dies with the test; children of other threads
  // would die with their thread, so they are left alone.
  const bool mainThread = gettid() == getpid();
  pid_ = fork();
  if (pid_ == 0) {
    if (mainThread) prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    dup2(in[0] >= 0 ? in[0] : open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    dup2(outFd_, 1);
    dup2(errFd_, 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (in[0] >= 0) close(in[0]);
  stdinFd_ = in[1];
  return pid_ > 0;
}

std::string Process::Captured(int fd) const {
  std::string text;
  char buffer[65536];
  for (ssize_t n; fd >= 0 && (n = pread(fd, buffer, sizeof buffer, off_t(text.size()))) > 0;)
    text.append(buffer, size_t(n));
  return text;
}

bool Process::Running() {
  int status = 0;
  pid_t r = pid_ > 0 && !exited_ ? waitpid(pid_, &status, WNOHANG) : 0;
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    exited_ = true;
    status_ = status;
  }
  return pid_ > 0 && !exited_;
}

int Process::ExitCode() const {
  if (!exited_) return -1;
  return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : WEXITSTATUS(status_);
}

bool Process::Signal(int sig) { return Running() && kill(pid_, sig) == 0; }

bool Process::Stop(Millis grace) {
  const bool ended = !Running() || (Signal(SIGTERM) && Wait(grace));
  Kill();
  return ended;
}

void Process::Kill() {
  if (Signal(SIGKILL)) Wait(Millis(5000));
}

bool Process::WriteStdin(const std::string &text) {
  // A child that has gone must not take the test down with SIGPIPE.
  static const bool ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  return ignored && stdinFd_ >= 0 && write(stdinFd_, text.data(), text.size()) == ssize_t(text.size());
}

void Process::CloseStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}
