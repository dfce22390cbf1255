#include "daemon.h"

#include <unistd.h>

#include <chrono>
#include <random>

#include "ornix.h"

Daemon::~Daemon() {
  if (process_) process_->Kill();
  process_.reset();
  panel_.reset();
  client_.reset();
  bus_.reset();
}

bool Daemon::Setup() {
  tmp_ = std::make_unique<TempDir>("doralin-daemon");
  if (tmp_->path().empty()) return false;
  root_ = tmp_->Path("root");
  for (const char *dir : {"", "/tmp", "/etc", "/oem", "/var/lib/ornix/"})
    if (!WriteFile(root_ + dir + "/.keep", "")) return false;

  // RTP ranges of parallel tests rarely meet: 20 ports at a random base.
  static std::mt19937 rng(unsigned(getpid()) ^
                          unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
  const int rtpMin = std::uniform_int_distribution<int>(2000, 2900)(rng) * 20;
  sipPort_ = FreeUdpPort();
  std::vector<std::pair<std::string, std::string>> files{
      {"/etc/baresip/config", "sip_listen\t\t127.0.0.1:" + std::to_string(sipPort_) + "\nrtp_ports\t\t" +
                                  std::to_string(rtpMin) + "-" + std::to_string(rtpMin + 19) +
                                  "\nrtspsrc_url\t\trtsp://127.0.0.1:554/ch1/trackID=0\n" + config.baresipExtra}};
  files.insert(files.end(), config.files.begin(), config.files.end());
  for (auto &f : files)
    if (!WriteFile(root_ + f.first, f.second)) return false;

  for (auto &kv : config.store) {
    ScopedEnv rootEnv("DORALIN_ROOT", root_);  // the store resolves its file under it at each call
    json_t *value = json_loads(kv.second.c_str(), JSON_DECODE_ANY, nullptr);
    if (!value) value = json_string(kv.second.c_str());  // plain text (legacy keys)
    int ok = StoreSetVariable(nullptr, "doralin", kv.first.c_str(), value);
    json_decref(value);
    if (!ok) return false;
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
  return process_->Start(args, options);
}

std::vector<std::string> Daemon::Logs() const {
  if (process_) process_->CatchUp();
  return SplitLines(earlierLogs_ + (process_ ? process_->Stderr() : std::string()));
}

int Daemon::LogIndex(const std::string &text) const {
  auto lines = Logs();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return int(i);
  return -1;
}

int Daemon::CountLog(const std::string &text) const {
  int n = 0;
  for (auto &line : Logs()) n += line.find(text) != std::string::npos;
  return n;
}

std::vector<std::string> Daemon::SanitizerReports() const {
  std::vector<std::string> reports;
  for (auto &line : Logs())
    for (const char *mark : {"AddressSanitizer", "LeakSanitizer", "runtime error:"})
      if (line.find(mark) != std::string::npos) {
        reports.push_back(line);
        break;
      }
  return reports;
}

bool Daemon::WaitLog(const std::string &text, int timeoutMs, int count) const {
  return WaitFor([&] { return CountLog(text) >= count; }, Millis(timeoutMs), Millis(20));
}

bool Daemon::WaitStarted(int timeoutMs) {
  return client_ && client_->WaitForSignal("DoralinStarted", Millis(timeoutMs));
}

BusReply Daemon::CallMessage(DBusMessage *message, int timeoutMs) {
  if (client_) return client_->Call(message, timeoutMs);
  if (message) dbus_message_unref(message);
  return {};
}

BusReply Daemon::Call(const std::string &method, std::optional<std::string> json, int timeoutMs,
                      const char *iface) {
  return CallMessage(WithArg(dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH,
                                                            iface ? iface : ORNIX_METHOD_IFACE,
                                                            method.c_str()),
                               json),
                       timeoutMs);
}

BusReply Daemon::CallBytes(const std::string &method, const std::vector<uint8_t> &bytes, int timeoutMs) {
  return client_ ? client_->CallBytes(method, bytes, "is.ornix.doralin", timeoutMs) : BusReply{};
}

bool Daemon::Signal(const std::string &member, std::optional<std::vector<uint8_t>> bytes) {
  if (!client_) return false;
  return bytes ? client_->SendSignal(member, *bytes) : client_->SendJsonSignal(member, std::nullopt);
}


int Daemon::WaitExit(int timeoutMs) {
  return process_ && process_->Wait(Millis(timeoutMs)) ? process_->Status() : -1;
}
