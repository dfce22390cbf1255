#include "daemon.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

#include "ornix.h"

namespace {

using Clock = std::chrono::steady_clock;

// Finds the dbus-daemon whose command line names a config file in `dir`.
pid_t FindBusDaemon(const std::string &dir) {
  DIR *proc = opendir("/proc");
  if (!proc) return -1;
  pid_t found = -1;
  while (dirent *entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0) continue;
    std::string cmdline = ReadFile("/proc/" + std::string(entry->d_name) + "/cmdline");
    for (char &c : cmdline)
      if (c == '\0') c = ' ';
    if (cmdline.find("dbus-daemon") != std::string::npos &&
        cmdline.find("--config-file=" + dir + "/") != std::string::npos) {
      found = pid;
      break;
    }
  }
  closedir(proc);
  return found;
}

int PickRtpBase() {
  static std::mt19937 rng(unsigned(getpid()) ^
                          unsigned(Clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<int> pick(2000, 2900);
  return pick(rng) * 20;  // 40000..58000, 20 ports each
}

}  // namespace

Daemon::Daemon() = default;

Daemon::~Daemon() {
  if (process_) process_->Kill();
  process_.reset();
  panel_.reset();
  client_.reset();
  bus_.reset();
}

std::string Daemon::Path(const std::string &path) const { return root_ + path; }

bool Daemon::Setup() {
  tmp_ = std::make_unique<TempDir>("doralin-daemon");
  if (tmp_->path().empty()) return false;
  root_ = tmp_->Path("root");
  for (const char *dir : {"", "/tmp", "/etc", "/oem", "/var/lib/ornix/"})
    if (!WriteFile(root_ + dir + "/.keep", "")) return false;

  sipPort_ = config.sipPort ? config.sipPort : FreeUdpPort();
  rtpMin_ = config.rtpMin ? config.rtpMin : PickRtpBase();
  rtpMax_ = config.rtpMax ? config.rtpMax : rtpMin_ + 19;
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
    ScopedEnv rootEnv("DORALIN_ROOT", root_);
    for (auto &kv : config.store) {
      json_error_t err;
      json_t *value = json_loads(kv.second.c_str(), JSON_DECODE_ANY, &err);
      if (!value) value = json_string(kv.second.c_str());  // plain text (legacy keys)
      int ok = StoreSetVariable(nullptr, "doralin", kv.first.c_str(), value);
      json_decref(value);
      if (!ok) return false;
    }
  }

  bus_ = std::make_unique<PrivateBus>(false);
  if (!bus_->ok()) return false;
  client_ = std::make_unique<BusClient>(bus_->address());
  if (!client_->ok() || !client_->Subscribe(ORNIX_SIGNAL_IFACE)) return false;
  if (config.panelSim) {
    panel_ = std::make_unique<PanelSim>(bus_->address(), config.panelArgs);
    if (!panel_->Start()) return false;
  }
  return true;
}

bool Daemon::Launch() {
  if (!client_ || Running()) return false;
  if (process_) earlierLogs_ += process_->Stderr();
  process_ = std::make_unique<Process>();
  std::vector<std::string> args = config.wrapper;
  args.push_back(DORALIN_BIN);
  args.insert(args.end(), config.args.begin(), config.args.end());
  ProcessOptions options;
  options.env = {"DORALIN_LOG_STDERR=1", "DORALIN_ROOT=" + root_, bus_->EnvEntry()};
  for (auto &kv : config.env) options.env.push_back(kv.first + "=" + kv.second);
  exitStatus_ = -1;
  return process_->Start(args, options);
}

std::vector<std::string> Daemon::Logs() const {
  return SplitLines(earlierLogs_ + (process_ ? process_->Stderr() : std::string()));
}

int Daemon::LogIndex(const std::string &text) const {
  auto lines = Logs();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return int(i);
  return -1;
}

std::vector<std::string> Daemon::SanitizerReports() const {
  std::vector<std::string> reports;
  for (auto &line : Logs())
    if (line.find("AddressSanitizer") != std::string::npos ||
        line.find("LeakSanitizer") != std::string::npos ||
        line.find("runtime error:") != std::string::npos)
      reports.push_back(line);
  return reports;
}

bool Daemon::HasLog(const std::string &text) const { return CountLog(text) > 0; }

int Daemon::CountLog(const std::string &text) const {
  int n = 0;
  for (auto &line : Logs()) n += line.find(text) != std::string::npos;
  return n;
}

bool Daemon::WaitLog(const std::string &text, int timeoutMs, int count) const {
  return WaitFor([&] { return CountLog(text) >= count; }, Millis(timeoutMs), Millis(20));
}

bool Daemon::WaitSignal(const std::string &member, int timeoutMs, BusSignal *out) {
  if (!client_) return false;
  auto signal = client_->WaitForSignal(member, Millis(timeoutMs));
  if (signal && out) *out = *signal;
  return signal.has_value();
}

bool Daemon::WaitStarted(int timeoutMs) { return WaitSignal("DoralinStarted", timeoutMs); }

BusReply Daemon::CallMessage(DBusMessage *message, int timeoutMs) {
  if (!client_) {
    if (message) dbus_message_unref(message);
    return {};
  }
  return client_->Call(message, timeoutMs);
}

BusReply Daemon::Call(const std::string &method, std::optional<std::string> json,
                      int timeoutMs, const char *iface) {
  if (!client_) return {};
  if (!iface) return client_->CallJson(method, json, "is.ornix.doralin", timeoutMs);
  DBusMessage *msg = dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH, iface,
                                                  method.c_str());
  if (json) {
    const char *text = json->c_str();
    dbus_message_append_args(msg, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  }
  return client_->Call(msg, timeoutMs);
}

BusReply Daemon::CallBytes(const std::string &method, const std::vector<uint8_t> &bytes,
                           int timeoutMs) {
  if (!client_) return {};
  return client_->CallBytes(method, bytes, "is.ornix.doralin", timeoutMs);
}

bool Daemon::Signal(const std::string &member, std::optional<std::vector<uint8_t>> bytes) {
  if (!client_) return false;
  if (bytes) return client_->SendSignal(member, *bytes);
  return client_->SendJsonSignal(member, std::nullopt);
}

bool Daemon::PanelEvent(const std::string &member, const std::vector<uint8_t> &bytes) {
  if (panel_) return panel_->SendEvent(member, bytes);
  return Signal(member, bytes);
}

std::string Daemon::DaemonUniqueName() {
  DBusMessage *msg = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetNameOwner");
  const char *name = "is.ornix.doralin";
  dbus_message_append_args(msg, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  BusReply r = CallMessage(msg, 2000);
  return r.ok && r.text ? *r.text : "";
}

bool Daemon::Running() {
  if (!process_ || process_->pid() <= 0) return false;
  if (process_->Running()) return true;
  if (process_->Exited())
    exitStatus_ = process_->TermSignal() ? 128 + process_->TermSignal() : process_->ExitCode();
  return false;
}

void Daemon::Kill(int sig) {
  if (process_ && process_->pid() > 0) process_->Signal(sig);
}

int Daemon::WaitExit(int timeoutMs) {
  if (!process_ || !process_->Wait(Millis(timeoutMs))) return -1;
  Running();
  return exitStatus_;
}

void Daemon::KillBus() {
  if (!bus_) return;
  std::string address = bus_->address();
  std::string socket = address.substr(address.find('=') + 1);
  pid_t pid = FindBusDaemon(socket.substr(0, socket.rfind('/')));
  if (pid > 0) kill(pid, SIGKILL);
}
