#include "daemon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ornix.h"

bool Daemon::Setup() {
  tmp_ = std::make_unique<TempDir>("doralin-daemon");
  root_ = tmp_->Path("root");
  // RTP ranges of parallel tests rarely meet: 20 ports at a random base.
  const int rtpMin = int(2000 + std::random_device{}() % 900) * 20;
  sipPort_ = FreeUdpPort();
  std::vector<std::pair<std::string, std::string>> files{
      {"/tmp/.keep", ""},
      {"/var/lib/ornix/.keep", ""},
      {"/oem/.keep", ""},
      {"/etc/baresip/config", "sip_listen\t\t127.0.0.1:" + std::to_string(sipPort_) + "\nrtp_ports\t\t" +
                                  std::to_string(rtpMin) + "-" + std::to_string(rtpMin + 19) +
                                  "\nrtspsrc_url\t\t" + config.rtspUrl + "\n" + config.baresipExtra}};
  files.insert(files.end(), config.files.begin(), config.files.end());
  for (auto &f : files)
    if (tmp_->path().empty() || !WriteFile(root_ + f.first, f.second)) return false;

  for (auto &kv : config.store) {
    ScopedEnv rootEnv("DORALIN_ROOT", root_);  // the store resolves its file under it at each call
    json_t *value = json_loads(kv.second.c_str(), JSON_DECODE_ANY, nullptr);
    if (!value) value = json_string(kv.second.c_str());  // plain text (legacy keys)
    int ok = StoreSetVariable(nullptr, "doralin", kv.first.c_str(), value);
    json_decref(value);
    if (!ok) return false;
  }

  bus_ = std::make_unique<PrivateBus>(false);
  client_ = std::make_unique<BusClient>(bus_->address());
  // Every broadcast signal: the panel's events and the daemon's status alike.
  if (!bus_->ok() || !client_->ok() || !client_->Subscribe("")) return false;
  if (config.panelSim) panel_ = std::make_unique<PanelSim>(bus_->address(), config.panelArgs);
  return !panel_ || panel_->Start();
}

void Daemon::UseServer(int registrar, int calls, const std::string &user, const std::string &password) {
  // In front: a test's own values win, whether set before or after.
  config.store.insert(config.store.begin(),
                      {{"domain", "\"127.0.0.1\""}, {"port", std::to_string(calls ? calls : registrar)},
                       {"portRegister", std::to_string(registrar)}, {"username", "\"" + user + "\""},
                       {"password", "\"" + password + "\""}, {"videoEnable", "false"}});
}

bool Daemon::Launch() {
  if (!client_ || Running()) return false;
  if (process_) earlierLogs_ += process_->Stderr();
  process_ = std::make_unique<Process>();
  std::vector<std::string> args = config.wrapper;
  args.push_back(config.testVariant ? DORALIN_TEST_BIN : DORALIN_BIN);
  args.insert(args.end(), config.args.begin(), config.args.end());
  ProcessOptions options;
  options.env = {"DORALIN_LOG_STDERR=1", "DORALIN_ROOT=" + root_, bus_->EnvEntry()};
  for (auto &kv : config.env) options.env.push_back(kv.first + "=" + kv.second);
  return process_->Start(args, options);
}

const std::vector<std::string> &Daemon::States() {
  while (auto signal = client_ ? client_->WaitForSignal("StateChanged", Millis(0)) : std::nullopt) {
    const std::string text = signal->text.value_or(""), key = "{\"state\":\"";  // the first member
    states_.push_back(text.starts_with(key) ? text.substr(key.size(), text.find('"', key.size()) - key.size()) : "");
  }
  return states_;
}

bool Daemon::WaitState(const std::string &state, int timeoutMs) {
  return WaitFor(
      [&] {
        States();
        auto it = std::find(states_.begin() + ptrdiff_t(stateCursor_), states_.end(), state);
        return it != states_.end() && (stateCursor_ = size_t(it - states_.begin()) + 1);
      },
      Millis(timeoutMs), Millis(5));
}

std::string Daemon::WaitRegistration(const std::string &text, int timeoutMs) {
  auto s = client_ ? client_->WaitForSignal("RegistrationChanged", Millis(timeoutMs), text) : std::nullopt;
  return s ? s->text.value_or("") : "";
}

std::vector<std::string> Daemon::Logs() const {
  return SplitLines(earlierLogs_ + (process_ ? process_->Stderr() : std::string()));
}

int Daemon::LogIndex(const std::string &text) const {
  auto lines = Logs();
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.find(text) != l.npos; });
  return it == lines.end() ? -1 : int(it - lines.begin());
}

int Daemon::CountLog(const std::string &text) const {
  auto lines = Logs();
  return int(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.find(text) != l.npos; }));
}

std::vector<std::string> Daemon::SanitizerReports() const {
  std::vector<std::string> reports;
  for (auto &line : Logs())
    if (line.find("AddressSanitizer") != line.npos || line.find("LeakSanitizer") != line.npos ||
        line.find("runtime error:") != line.npos)
      reports.push_back(line);
  return reports;
}

Daemon::~Daemon() {
  if (process_) process_->Kill();
  if (!::testing::Test::HasFailure()) return;
  auto all = Logs();
  for (size_t i = all.size() > 200 ? all.size() - 200 : 0; i < all.size(); ++i)
    fprintf(stderr, "daemon| %s\n", all[i].c_str());
}
