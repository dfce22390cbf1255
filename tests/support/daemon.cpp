#include "daemon.h"

#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "ornix.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

bool WriteFile(const std::string &path, const std::string &content) {
  // Parent directories first.
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    mkdir(path.substr(0, pos).c_str(), 0755);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return bool(out);
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

bool BindFree(int type, int port) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::mt19937 &Rng() {
  static std::mt19937 rng(unsigned(getpid()) ^ unsigned(Clock::now().time_since_epoch().count()));
  return rng;
}

// Environment of a child: ours plus overrides.
std::vector<std::string> ChildEnv(const std::vector<std::pair<std::string, std::string>> &set) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string entry(*e);
    std::string key = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (auto &kv : set) overridden |= kv.first == key;
    if (!overridden) env.push_back(entry);
  }
  for (auto &kv : set) env.push_back(kv.first + "=" + kv.second);
  return env;
}

pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &logPath) {
  std::vector<char *> cargv, cenv;
  for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto &e : env) cenv.push_back(const_cast<char *>(e.c_str()));
  cenv.push_back(nullptr);
  int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (logFd < 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(logFd);
  return pid;
}

void Reap(pid_t pid, int sig) {
  if (pid <= 0) return;
  kill(pid, sig);
  int status;
  waitpid(pid, &status, 0);
}

void ParseArgs(DBusMessage *msg, std::string *text, std::vector<uint8_t> *bytes) {
  DBusMessageIter it;
  if (!dbus_message_iter_init(msg, &it)) return;
  bool haveText = false, haveBytes = false;
  do {
    int type = dbus_message_iter_get_arg_type(&it);
    if (type == DBUS_TYPE_STRING && !haveText) {
      const char *s = nullptr;
      dbus_message_iter_get_basic(&it, &s);
      *text = s ? s : "";
      haveText = true;
    } else if (type == DBUS_TYPE_ARRAY && !haveBytes &&
               dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
      DBusMessageIter sub;
      dbus_message_iter_recurse(&it, &sub);
      const uint8_t *data = nullptr;
      int n = 0;
      dbus_message_iter_get_fixed_array(&sub, &data, &n);
      bytes->assign(data, data + n);
      haveBytes = true;
    }
  } while (dbus_message_iter_next(&it));
}

}  // namespace

int DaemonFreePort() {
  std::uniform_int_distribution<int> pick(20000, 59999);
  for (int i = 0; i < 200; ++i) {
    int port = pick(Rng());
    if (BindFree(SOCK_DGRAM, port) && BindFree(SOCK_STREAM, port)) return port;
  }
  return 0;
}

Daemon::Daemon() { dbus_threads_init_default(); }

Daemon::~Daemon() {
  Reap(pid_, SIGKILL);
  if (client_) {
    dbus_connection_close(client_);
    dbus_connection_unref(client_);
  }
  Reap(busPid_, SIGTERM);
  if (!tmp_.empty() && !getenv("DORALIN_KEEP_TMP"))
    nftw(tmp_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string Daemon::Path(const std::string &path) const { return root_ + path; }

bool Daemon::Setup() {
  char tmpl[] = "/tmp/doralin-test-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  tmp_ = tmpl;
  root_ = tmp_ + "/root";
  mkdir(root_.c_str(), 0755);
  for (const char *dir : {"/tmp", "/etc", "/oem", "/var", "/var/lib", "/var/lib/ornix"})
    mkdir((root_ + dir).c_str(), 0755);

  sipPort_ = config.sipPort ? config.sipPort : DaemonFreePort();
  if (config.rtpMin) {
    rtpMin_ = config.rtpMin;
    rtpMax_ = config.rtpMax ? config.rtpMax : config.rtpMin + 9;
  } else {
    std::uniform_int_distribution<int> pick(2000, 2900);
    rtpMin_ = pick(Rng()) * 20;  // 40000..58000, a range of its own per test
    rtpMax_ = rtpMin_ + 19;
  }
  if (config.writeBaresipConfig) {
    std::ostringstream conf;
    conf << "# written by the test fixture\n"
         << "sip_listen\t\t127.0.0.1:" << sipPort_ << "\n"
         << "rtp_ports\t\t" << rtpMin_ << "-" << rtpMax_ << "\n"
         << "rtspsrc_url\t\trtsp://127.0.0.1:554/ch1/trackID=0\n"
         << config.baresipExtra;
    if (!WriteFile(root_ + "/etc/baresip/config", conf.str())) return false;
  }
  for (auto &f : config.files)
    if (!WriteFile(root_ + f.first, f.second)) return false;

  if (!config.store.empty()) {
    // The store resolves its file under DORALIN_ROOT at each call.
    const char *old = getenv("DORALIN_ROOT");
    std::string saved = old ? old : "";
    setenv("DORALIN_ROOT", root_.c_str(), 1);
    bool ok = true;
    for (auto &kv : config.store) {
      json_error_t err;
      json_t *value = json_loads(kv.second.c_str(), JSON_DECODE_ANY, &err);
      if (!value) value = json_string(kv.second.c_str());  // plain text (legacy keys)
      ok = ok && StoreSetVariable(nullptr, "doralin", kv.first.c_str(), value);
      json_decref(value);
    }
    if (old) setenv("DORALIN_ROOT", saved.c_str(), 1);
    else unsetenv("DORALIN_ROOT");
    if (!ok) return false;
  }
  return StartBus();
}

bool Daemon::StartBus() {
  std::string dir = tmp_ + "/bus";
  mkdir(dir.c_str(), 0755);
  std::string socket = dir + "/system_bus_socket";
  std::string conf =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig>\n"
      "  <type>system</type>\n"
      "  <listen>unix:path=" + socket + "</listen>\n"
      "  <auth>EXTERNAL</auth>\n"
      "  <policy context=\"default\">\n"
      "    <allow user=\"*\"/>\n"
      "    <allow own=\"*\"/>\n"
      "    <allow send_type=\"method_call\"/>\n"
      "    <allow send_type=\"signal\"/>\n"
      "    <allow send_type=\"error\"/>\n"
      "    <allow send_type=\"method_return\"/>\n"
      "    <allow send_requested_reply=\"false\"/>\n"
      "    <allow receive_requested_reply=\"false\"/>\n"
      "    <allow receive_sender=\"*\"/>\n"
      "  </policy>\n"
      "</busconfig>\n";
  if (!WriteFile(dir + "/bus.conf", conf)) return false;
  busPid_ = Spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork",
                   "--nopidfile"},
                  ChildEnv({}), tmp_ + "/bus.log");
  if (busPid_ < 0) return false;
  busAddress_ = "unix:path=" + socket;
  DBusError err;
  dbus_error_init(&err);
  for (int i = 0; i < 500 && !client_; ++i) {
    struct stat st;
    if (stat(socket.c_str(), &st) == 0) {
      client_ = dbus_connection_open_private(busAddress_.c_str(), &err);
      dbus_error_free(&err);
    }
    if (!client_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!client_) return false;
  dbus_connection_set_exit_on_disconnect(client_, FALSE);
  if (!dbus_bus_register(client_, &err)) {
    dbus_error_free(&err);
    return false;
  }
  dbus_bus_add_match(client_, "type='signal',interface='" ORNIX_SIGNAL_IFACE "'", &err);
  bool ok = !dbus_error_is_set(&err);
  dbus_error_free(&err);
  return ok;
}

bool Daemon::Launch() {
  if (client_ == nullptr) return false;
  if (pid_ > 0 && Running()) return false;
  std::vector<std::string> argv{DORALIN_BIN};
  argv.insert(argv.end(), config.args.begin(), config.args.end());
  std::vector<std::pair<std::string, std::string>> env{
      {"DORALIN_LOG_STDERR", "1"},
      {"DORALIN_ROOT", root_},
      {"DBUS_SYSTEM_BUS_ADDRESS", busAddress_},
  };
  env.insert(env.end(), config.env.begin(), config.env.end());
  exitStatus_ = -1;
  ++launches_;
  pid_ = Spawn(argv, ChildEnv(env), tmp_ + "/doralin.log");
  return pid_ > 0;
}

std::vector<std::string> Daemon::Logs() const {
  std::vector<std::string> lines;
  std::ifstream in(tmp_ + "/doralin.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Daemon::LogIndex(const std::string &text) const {
  auto lines = Logs();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return int(i);
  return -1;
}

bool Daemon::HasLog(const std::string &text) const { return CountLog(text) > 0; }

int Daemon::CountLog(const std::string &text) const {
  int n = 0;
  for (auto &line : Logs()) n += line.find(text) != std::string::npos;
  return n;
}

bool Daemon::WaitLog(const std::string &text, int timeoutMs, int count) const {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (CountLog(text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < end);
  return CountLog(text) >= count;
}

void Daemon::PumpClient(int timeoutMs) {
  if (!client_) return;
  dbus_connection_read_write(client_, timeoutMs);
  while (DBusMessage *msg = dbus_connection_pop_message(client_)) {
    if (dbus_message_get_type(msg) == DBUS_MESSAGE_TYPE_SIGNAL &&
        dbus_message_has_interface(msg, ORNIX_SIGNAL_IFACE)) {
      BusSignal s;
      s.member = dbus_message_get_member(msg);
      s.interface = ORNIX_SIGNAL_IFACE;
      ParseArgs(msg, &s.text, &s.bytes);
      signals_.push_back(std::move(s));
    }
    dbus_message_unref(msg);
  }
}

bool Daemon::WaitSignal(const std::string &member, int timeoutMs, BusSignal *out) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    PumpClient(20);
    for (auto &s : signals_)
      if (s.member == member) {
        if (out) *out = s;
        return true;
      }
  } while (Clock::now() < end);
  return false;
}

bool Daemon::WaitStarted(int timeoutMs) { return WaitSignal("DoralinStarted", timeoutMs); }

BusReply Daemon::CallMessage(DBusMessage *message, int timeoutMs) {
  BusReply r;
  if (!client_ || !message) return r;
  DBusError err;
  dbus_error_init(&err);
  DBusMessage *reply =
      dbus_connection_send_with_reply_and_block(client_, message, timeoutMs, &err);
  if (!reply) {
    r.error = err.name ? err.name : "no reply";
    dbus_error_free(&err);
    return r;
  }
  r.ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
  const char *sig = dbus_message_get_signature(reply);
  r.signature = sig ? sig : "";
  ParseArgs(reply, &r.text, &r.bytes);
  dbus_message_unref(reply);
  return r;
}

BusReply Daemon::Call(const std::string &method, std::optional<std::string> json,
                      int timeoutMs, const char *iface) {
  DBusMessage *msg = dbus_message_new_method_call(
      "is.ornix.doralin", ORNIX_OBJECT_PATH, iface ? iface : ORNIX_METHOD_IFACE, method.c_str());
  if (json) {
    const char *text = json->c_str();
    dbus_message_append_args(msg, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  }
  BusReply r = CallMessage(msg, timeoutMs);
  dbus_message_unref(msg);
  return r;
}

BusReply Daemon::CallBytes(const std::string &method, const std::vector<uint8_t> &bytes,
                           int timeoutMs) {
  DBusMessage *msg = dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH,
                                                  ORNIX_METHOD_IFACE, method.c_str());
  const uint8_t *data = bytes.data();
  dbus_message_append_args(msg, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, int(bytes.size()),
                           DBUS_TYPE_INVALID);
  BusReply r = CallMessage(msg, timeoutMs);
  dbus_message_unref(msg);
  return r;
}

bool Daemon::Signal(const std::string &member, std::optional<std::vector<uint8_t>> bytes) {
  if (!client_) return false;
  DBusMessage *msg = dbus_message_new_signal(ORNIX_OBJECT_PATH, ORNIX_SIGNAL_IFACE, member.c_str());
  if (bytes) {
    const uint8_t *data = bytes->data();
    dbus_message_append_args(msg, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, int(bytes->size()),
                             DBUS_TYPE_INVALID);
  }
  bool ok = dbus_connection_send(client_, msg, nullptr);
  dbus_connection_flush(client_);
  dbus_message_unref(msg);
  return ok;
}

std::string Daemon::DaemonUniqueName() {
  DBusMessage *msg = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetNameOwner");
  const char *name = "is.ornix.doralin";
  dbus_message_append_args(msg, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  BusReply r = CallMessage(msg, 2000);
  dbus_message_unref(msg);
  return r.ok ? r.text : "";
}

bool Daemon::Running() {
  if (pid_ <= 0) return false;
  int status;
  pid_t got = waitpid(pid_, &status, WNOHANG);
  if (got == 0) return true;
  if (got == pid_)
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return false;
}

void Daemon::Kill(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int Daemon::WaitExit(int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Running()) {
    if (Clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitStatus_;
}

void Daemon::KillBus() {
  Reap(busPid_, SIGKILL);
  busPid_ = -1;
}
