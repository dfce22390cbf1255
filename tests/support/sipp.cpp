#include "sipp.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

std::string ScenarioPath(const std::string &name) {
  return std::string(DORALIN_SOURCE_DIR) + "/tests/sipua/scenarios/" + name;
}

// 8 kHz mono 16-bit PCM silence, as baresip's aufile source wants.
std::string SilenceWav(int seconds) {
  const uint32_t data = 8000u * 2u * static_cast<uint32_t>(seconds);
  std::string w;
  auto u32 = [&w](uint32_t v) { for (int i = 0; i < 4; ++i) w.push_back(char((v >> (8 * i)) & 0xff)); };
  auto u16 = [&w](uint16_t v) { w.push_back(char(v & 0xff)); w.push_back(char(v >> 8)); };
  w += "RIFF"; u32(36 + data); w += "WAVEfmt "; u32(16); u16(1); u16(1);
  u32(8000); u32(16000); u16(2); u16(16); w += "data"; u32(data);
  w.append(data, '\0');
  return w;
}

// True once something is bound to 127.0.0.1:port (UDP) or listens there (TCP).
bool PortBound(int port, bool tcp) {
  char want[16];
  std::snprintf(want, sizeof(want), ":%04X", port);
  std::istringstream in(ReadFile(tcp ? "/proc/net/tcp" : "/proc/net/udp"));
  for (std::string sl, local, remote, st, rest; in >> sl >> local >> remote >> st && std::getline(in, rest);)
    if (local.size() > 5 && local.ends_with(want) && (!tcp || st == "0A")) return true;
  return false;
}

// Contents of the files in `dir` whose names end with one of `suffixes`,
// each after a "--- name" line when `headed`.
std::string FilesEnding(const TempDir *dir, std::initializer_list<const char *> suffixes, bool headed) {
  std::string out;
  std::error_code ec;
  if (!dir) return out;
  for (const auto &e : std::filesystem::directory_iterator(dir->path(), ec))
    for (const char *suffix : suffixes)
      if (e.path().filename().string().ends_with(suffix))
        out += (headed ? "\n--- " + e.path().filename().string() + "\n" : "") + ReadFile(e.path().string());
  return out;
}

}  // namespace

// ---- sipp -------------------------------------------------------------------

Sipp::~Sipp() {
  if (proc_.Running()) proc_.Kill();
}

bool Sipp::Start(const SippRun &run) {
  run_ = run;
  dir_ = std::make_unique<TempDir>("sipp");
  port_ = run.localPort ? run.localPort : FreeUdpPort();
  std::string scenario = ScenarioPath(run.scenario);
  if (run.scenario.rfind("<", 0) == 0) dir_->Write(scenario = "scenario.xml", run.scenario);
  std::vector<std::string> args = {"sipp", "-sf", scenario, "-i", "127.0.0.1",
                                   "-p", std::to_string(port_), "-m", std::to_string(run.calls),
                                   "-nostdin", "-trace_err", "-trace_msg",
                                   "-timeout", std::to_string(run.timeout.count() / 1000) + "s",
                                   "-timeout_error"};
  if (!run.injection.empty()) {
    dir_->Write("inf.csv", run.injection);
    args.insert(args.end(), {"-inf", dir_->Path("inf.csv")});
  }
  args.insert(args.end(), run.args.begin(), run.args.end());
  if (run.remotePort) args.push_back("127.0.0.1:" + std::to_string(run.remotePort));
  ProcessOptions opt;
  opt.cwd = dir_->path();
  if (!proc_.Start(args, opt)) return false;
  if (run.remotePort) return true;  // a client starts sending by itself
  bool tcp = false;
  for (size_t i = 0; i + 1 < run.args.size(); ++i) tcp |= run.args[i] == "-t" && run.args[i + 1][0] == 't';
  // Ready when its socket exists, so the first request is not lost.
  return WaitFor([&] { return PortBound(port_, tcp) || !proc_.Running(); }, Millis(5000)) &&
         proc_.Running();
}

int Sipp::Wait() {
  if (!proc_.Wait(run_.timeout + Millis(5000))) {
    proc_.Kill();
    return -1;
  }
  return proc_.ExitCode();
}

std::string Sipp::Output() const {
  return proc_.Stdout() + proc_.Stderr() + FilesEnding(dir_.get(), {"_errors.log", "_messages.log"}, true);
}

std::string Sipp::File(const std::string &suffix) const {
  return FilesEnding(dir_.get(), {suffix.c_str()}, false);
}

int Sipp::Run(const SippRun &run, std::string *output) {
  Sipp s;
  if (!s.Start(run)) return -1;
  int rc = s.Wait();
  if (output) *output = s.Output();
  return rc;
}

// ---- baresip ----------------------------------------------------------------

BaresipPeer::~BaresipPeer() {
  if (ctrlFd_ >= 0) close(ctrlFd_);
  if (proc_.Running()) proc_.Stop(Millis(1000));
}

bool BaresipPeer::Start(const std::string &user, bool autoAnswer, bool tls) {
  dir_ = std::make_unique<TempDir>("baresip");
  sipPort_ = FreeUdpPort();
  ctrlPort_ = FreeTcpPort();
  dir_->Write("in.wav", SilenceWav(2));
  std::string cfg =
      "sip_listen 127.0.0.1:" + std::to_string(sipPort_) + "\n"
      "module_path /usr/lib/baresip/modules\n"
      "module g711.so\nmodule account.so\nmodule aufile.so\nmodule stdio.so\nmodule menu.so\nmodule ctrl_tcp.so\n"
      "ctrl_tcp_listen 127.0.0.1:" + std::to_string(ctrlPort_) + "\n"
      "audio_source aufile," + dir_->Path("in.wav") + "\n"
      "audio_player aufile," + dir_->Path("out.wav") + "\n"
      "audio_alert aufile," + dir_->Path("alert.wav") + "\n"
      "rtp_timeout 0\ncall_max_calls 0\n";
  if (tls) {
    Process openssl;
    if (!openssl.Start({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-keyout", dir_->Path("key.pem"), "-out",
                        dir_->Path("crt.pem")}) ||
        !openssl.Wait(Millis(20000)) || openssl.ExitCode() != 0)
      return false;
    dir_->Write("cert.pem", dir_->Read("crt.pem") + dir_->Read("key.pem"));
    cfg += "sip_certificate " + dir_->Path("cert.pem") + "\n";
  }
  dir_->Write("config", cfg);
  dir_->Write("accounts", "<sip:" + user + "@127.0.0.1:" + std::to_string(sipPort_) +
                              ">;regint=0" + (autoAnswer ? ";answermode=auto" : "") + "\n");
  ProcessOptions opt;
  opt.stdinPipe = true;  // keys typed here go out as DTMF during a call
  if (!proc_.Start({"baresip", "-f", dir_->path()}, opt)) return false;
  // Ready once the control port answers.
  return WaitFor([this] { return !Command("reginfo", "").empty(); }, Millis(8000), Millis(100));
}

void BaresipPeer::Drain(Millis wait) {
  if (ctrlFd_ < 0) {
    sockaddr_in sin = Loopback(ctrlPort_);
    ctrlFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ctrlFd_ >= 0 && connect(ctrlFd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) {
      close(ctrlFd_);
      ctrlFd_ = -1;
    }
    if (ctrlFd_ < 0) return;
  }
  pollfd p{ctrlFd_, POLLIN, 0};
  while (poll(&p, 1, static_cast<int>(wait.count())) > 0) {
    char tmp[4096];
    ssize_t n = recv(ctrlFd_, tmp, sizeof(tmp), 0);
    if (n <= 0) {
      close(ctrlFd_);
      ctrlFd_ = -1;
      return;
    }
    control_.append(tmp, static_cast<size_t>(n));
    wait = Millis(0);
  }
}

std::string BaresipPeer::Command(const std::string &command, const std::string &params) {
  Drain(Millis(0));
  if (ctrlFd_ < 0) return "";
  const std::string token = "t" + std::to_string(++token_);
  const std::string json = "{\"command\":\"" + command + "\",\"params\":\"" + params +
                           "\",\"token\":\"" + token + "\"}";
  const std::string ns = std::to_string(json.size()) + ":" + json + ",";
  if (send(ctrlFd_, ns.data(), ns.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ns.size()))
    return "";
  const std::string needle = "\"token\":\"" + token + "\"";
  for (int i = 0; i < 30 && control_.find(needle) == std::string::npos && ctrlFd_ >= 0; ++i)
    Drain(Millis(100));
  const size_t at = control_.find(needle);
  if (at == std::string::npos) return "";
  const size_t begin = control_.rfind("{\"response\"", at);
  return control_.substr(begin == std::string::npos ? 0 : begin, at - begin + needle.size() + 1);
}

bool BaresipPeer::WaitControl(const std::string &needle, Millis timeout) {
  return WaitFor([&] {
    Drain(Millis(20));
    return control_.find(needle) != std::string::npos;
  }, timeout, Millis(1));
}

bool BaresipPeer::WaitOutput(const std::string &needle, Millis timeout) const {
  return WaitFor([&] { return Output().find(needle) != std::string::npos; }, timeout, Millis(50));
}

// ---- sipua loop -------------------------------------------------------------

SipuaLoop::~SipuaLoop() { Stop(); }

bool SipuaLoop::Start(const std::string &extraConfig, bool udp, bool tcp, bool tls) {
  dir_ = std::make_unique<TempDir>("sipua");
  sipPort_ = FreeUdpPort();
  std::string cfg = "sip_listen 127.0.0.1:" + std::to_string(sipPort_) + "\n" + extraConfig;
  thread_ = std::thread(&SipuaLoop::Loop, this, cfg, udp, tcp, tls);
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait_for(lock, Millis(10000), [this] { return state_ != 0; });
  return state_ == 1;
}

void SipuaLoop::Loop(std::string config, bool udp, bool tcp, bool tls) {
  dir_->Write("config", config);
  const bool ok = !libre_init() && (conf_path_set(dir_->path().c_str()), !conf_configure()) &&
                  !baresip_init(conf_config()) && !ua_init("sipua-test", udp, tcp, tls) && !conf_modules() &&
                  !uag_event_register(&SipuaLoop::Handler, this) &&
                  !mqueue_alloc(&mq_, [](int, void *, void *) { re_cancel(); }, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = ok ? 1 : -1;
  }
  cond_.notify_all();
  if (ok) re_main(nullptr);
  ua_stop_all(true);
  ua_close();
  mq_ = static_cast<struct mqueue *>(mem_deref(mq_));
  conf_close();
  baresip_close();
  libre_close();
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = 2;
}

void SipuaLoop::Stop() {
  if (!thread_.joinable()) return;
  if (mq_) mqueue_push(mq_, 0, nullptr);
  thread_.join();
}

void SipuaLoop::Handler(struct ua *ua, enum ua_event ev, struct call *call, const char *prm,
                        void *arg) {
  auto *self = static_cast<SipuaLoop *>(arg);
  UaEvent e{ua, ev, call, prm ? prm : ""};
  // The test's own reaction first, so a waiter sees its effects.
  if (self->onEvent) self->onEvent(e);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->events_.push_back(e);
  }
  self->cond_.notify_all();
}

int SipuaLoop::CountLocked(enum ua_event ev) const {
  int n = 0;
  for (const auto &e : events_) n += e.ev == ev;
  return n;
}

bool SipuaLoop::WaitEvent(enum ua_event ev, int count, Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, timeout, [&] { return CountLocked(ev) >= count; });
}

int SipuaLoop::Count(enum ua_event ev) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountLocked(ev);
}

UaEvent SipuaLoop::Last(enum ua_event ev) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = events_.rbegin(); it != events_.rend(); ++it)
    if (it->ev == ev) return *it;
  return UaEvent{nullptr, UA_EVENT_MAX, nullptr, ""};
}
