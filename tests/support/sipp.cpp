#include "sipp.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

// Header of 2 s of 8 kHz mono 16-bit PCM, as baresip's aufile source wants: RIFF
// size, fmt chunk (PCM, 1 channel, 8000 Hz, 16000 bytes/s, 2-byte frames, 16 bits), data size.
constexpr char kSilenceHeader[] = "RIFF\x24\x7d\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\0\x7d\0\0";

// True once something is bound to 127.0.0.1:port (UDP) or listens there (TCP).
bool PortBound(int port, bool tcp) {
  char want[16];
  std::snprintf(want, sizeof(want), ":%04X", port);
  std::istringstream in(ReadFile(tcp ? "/proc/net/tcp" : "/proc/net/udp"));
  for (std::string sl, local, remote, st, rest; in >> sl >> local >> remote >> st && std::getline(in, rest);)
    if (local.ends_with(want) && (!tcp || st == "0A")) return true;
  return false;
}

// Contents of the files in `dir` whose names end with one of `suffixes`,
// each after a "--- name" line when `headed`.
std::string FilesEnding(const TempDir *dir, std::initializer_list<const char *> suffixes, bool headed) {
  std::string out;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(dir ? dir->path() : "", ec))
    for (const char *suffix : suffixes)
      if (e.path().filename().string().ends_with(suffix))
        out += (headed ? "\n--- " + e.path().filename().string() + "\n" : "") + ReadFile(e.path().string());
  return out;
}

}  // namespace

// ---- sipp -------------------------------------------------------------------

bool Sipp::Start(const SippRun &run) {
  run_ = run;
  dir_ = std::make_unique<TempDir>("sipp");
  port_ = run.localPort ? run.localPort : FreeUdpPort();
  std::vector<std::string> args = {"sipp", "-sf", DORALIN_SOURCE_DIR "/tests/scenarios/" + run.scenario, "-i", run.host, "-p", std::to_string(port_),
                                   "-m", std::to_string(run.calls), "-nostdin", "-trace_err", "-trace_msg",
                                   "-timeout", std::to_string(run.timeout.count() / 1000) + "s", "-timeout_error"};
  args.insert(args.end(), run.args.begin(), run.args.end());
  // The scenarios' keys that a run leaves out (sipp refuses a missing one; the first given wins).
  args.insert(args.end(), {"-key", "accounts", "", "-key", "codec", "0", "-key", "rtpmap", "a=rtpmap:0 PCMU/8000"});
  if (run.remotePort) args.push_back(run.host + ":" + std::to_string(run.remotePort));
  if (!proc_.Start(args, {.cwd = dir_->path()})) return false;
  if (run.remotePort) return true;  // a client starts sending by itself
  bool tcp = false;
  for (size_t i = 0; i + 1 < run.args.size(); ++i) tcp |= run.args[i] == "-t" && run.args[i + 1][0] == 't';
  // Ready when its socket exists, so the first request is not lost.
  return WaitFor([&] { return PortBound(port_, tcp) || !proc_.Running(); }, Millis(5000)) && proc_.Running();
}

int Sipp::Wait() {
  if (proc_.Wait(run_.timeout + Millis(5000))) return proc_.ExitCode();
  proc_.Kill();
  return -1;
}

std::string Sipp::Output() const {
  return proc_.Stdout() + proc_.Stderr() + FilesEnding(dir_.get(), {"_errors.log", "_messages.log"}, true);
}

std::string Sipp::File(const std::string &suffix) const { return FilesEnding(dir_.get(), {suffix.c_str()}, false); }

// ---- TLS in front of a TCP peer -------------------------------------------

bool TlsFront::Start(const std::string &cert, const std::string &key, int target) {
  port_ = FreeTcpPort();
  return proc_.Start({"socat", "OPENSSL-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,reuseaddr,fork,cert=" +
                                   cert + ",key=" + key + ",verify=0",
                      "TCP:127.0.0.1:" + std::to_string(target)}) &&
         WaitFor([&] { return PortBound(port_, true) || !proc_.Running(); }, Millis(5000)) && proc_.Running();
}

// ---- raw datagrams -----------------------------------------------------------

const char kSdp[] = "v=0\r\no=gate 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                         "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

std::string Request(const std::string &method, const std::vector<std::pair<std::string, std::string>> &edits,
                       const std::string &body) {
  static std::atomic<int> n{0};
  const std::string id = std::to_string(++n);
  std::vector<std::string> lines = {
      method + " sip:12@127.0.0.1 SIP/2.0", "Via: SIP/2.0/UDP 127.0.0.1:5099;rport;branch=z9hG4bKh" + id,
      "From: <sip:gate@127.0.0.1>;tag=f" + id, "To: <sip:12@127.0.0.1>", "Call-ID: raw" + id,
      "CSeq: 1 " + method, "Contact: <sip:gate@127.0.0.1:5099>", "Max-Forwards: 70"};
  if (!body.empty()) lines.push_back("Content-Type: application/sdp");
  lines.push_back("Content-Length: " + std::to_string(body.size()));
  for (auto &[prefix, line] : edits)
    for (auto &l : lines)
      if (l.starts_with(prefix)) l = line;
  std::string text;
  for (auto &l : lines)
    if (!l.empty()) text += l + "\r\n";
  return text + "\r\n" + body;
}

std::string Ack(const std::string &invite, const std::string &answer) {
  auto line = [](const std::string &text, const std::string &prefix) {
    const size_t at = text.find("\r\n" + prefix);
    return at == std::string::npos ? "" : text.substr(at + 2, text.find("\r\n", at + 2) - at - 2);
  };
  const std::string start = invite.substr(0, invite.find("\r\n"));
  std::string text = "ACK" + start.substr(start.find(' ')) + "\r\n";
  for (const char *h : {"Via:", "From:", "Call-ID:", "Max-Forwards:"}) text += line(invite, h) + "\r\n";
  return text + line(answer, "To:") + "\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n";
}

std::string Exchange(int port, const std::string &text, int ms, const std::string &want) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = Loopback(port);
  if (fd < 0 || sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
    return "send failed";
  std::string answer;
  pollfd p{fd, POLLIN, 0};
  for (int i = 0; i < 4 && answer.empty() && poll(&p, 1, ms) == 1; ++i) {
    char buf[8192];
    std::string got(buf, size_t(std::max<ssize_t>(recv(fd, buf, sizeof buf, 0), 0)));
    if (want.empty() ? !got.starts_with("SIP/2.0 100") : got.starts_with(want)) answer = got;
  }
  close(fd);
  return answer;
}

// ---- baresip ----------------------------------------------------------------

BaresipPeer::~BaresipPeer() {
  if (ctrlFd_ >= 0) close(ctrlFd_);
  proc_.Stop(Millis(1000));
}

bool BaresipPeer::Start(const std::string &user, bool autoAnswer, bool tls, std::string listen) {
  dir_ = std::make_unique<TempDir>("baresip");
  if (listen.empty()) listen = "127.0.0.1:" + std::to_string(FreeUdpPort());
  sipPort_ = std::stoi(listen.substr(listen.rfind(':') + 1));
  ctrlPort_ = FreeTcpPort();
  dir_->Write("in.wav", std::string(kSilenceHeader, sizeof kSilenceHeader - 1) + std::string(32000, '\0'));
  const std::string source = audioSource.empty() ? "aufile," + dir_->Path("in.wav") : audioSource;
  const std::string player = audioPlayer.empty() ? "aufile," + dir_->Path("out.wav") : audioPlayer;
  // sndfile writes what each call decodes into snd_path.
  const std::string recording = record ? "module sndfile.so\nsnd_path " + dir_->path() + "\n" : "";
  // Its SDP names its local address: loopback, not the machine's eth0.
  std::string cfg = extraConfig + "sip_listen " + listen + "\nnet_interface 127.0.0.1\n" + recording +
                    "module_path /usr/lib/baresip/modules\nmodule g711.so\nmodule account.so\n"
                    "module aufile.so\nmodule stdio.so\nmodule menu.so\nmodule ctrl_tcp.so\n"
                    "ctrl_tcp_listen 127.0.0.1:" + std::to_string(ctrlPort_) +
                    "\naudio_source " + source + "\naudio_player " + player +
                    "\naudio_alert aufile," + dir_->Path("alert.wav") + "\nrtp_timeout 0\ncall_max_calls 0\n";
  if (tls) {
    Process openssl;
    if (!openssl.Start({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-keyout", dir_->Path("key.pem"), "-out", dir_->Path("crt.pem")}) ||
        !openssl.Wait(Millis(20000)) || openssl.ExitCode() != 0)
      return false;
    dir_->Write("cert.pem", dir_->Read("crt.pem") + dir_->Read("key.pem"));
    cfg += "sip_certificate " + dir_->Path("cert.pem") + "\n";
  }
  dir_->Write("config", cfg);
  dir_->Write("accounts", "<sip:" + user + "@" + listen + ">;regint=0" + (autoAnswer ? ";answermode=auto" : "") +
                        accountParams + "\n");
  // Keys typed on stdin go out as DTMF during a call. Ready once the control port answers.
  return proc_.Start({"baresip", "-f", dir_->path()}, {.stdinPipe = true}) &&
         WaitFor([this] { return Command("reginfo"); }, Millis(8000), Millis(100)) && LoopbackSdp();
}

// A peer whose SDP would send media off loopback is refused: every address
// on its "Local network address:" line is 127.0.0.1 or ::1.
bool BaresipPeer::LoopbackSdp() const {
  const std::string out = Output(), key = "Local network address:";
  const size_t at = out.find(key);
  bool ok = at != std::string::npos;
  std::istringstream line(ok ? out.substr(at + key.size(), out.find('\n', at) - at - key.size()) : "");
  for (std::string word; ok && line >> word;) {
    const std::string address = word.substr(word.find('|') + 1);  // "lo|127.0.0.1"
    ok = address == "127.0.0.1" || address == "::1";
  }
  if (!ok) ADD_FAILURE() << "baresip's SDP would leave loopback:\n" << out;
  return ok;
}

std::string BaresipPeer::Recording() const {
  std::error_code ec;
  std::string newest;
  for (const auto &e : std::filesystem::directory_iterator(dir_ ? dir_->path() : "", ec))
    if (e.path().string().ends_with("dec.wav") && e.path().string() > newest) newest = e.path().string();
  return newest;
}

void BaresipPeer::Drain(Millis wait) {
  auto drop = [this] {
    close(ctrlFd_);
    ctrlFd_ = -1;
  };
  if (ctrlFd_ < 0) {
    sockaddr_in sin = Loopback(ctrlPort_);
    ctrlFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(ctrlFd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) return drop();
  }
  char buffer[4096];
  for (pollfd p{ctrlFd_, POLLIN, 0}; poll(&p, 1, int(wait.count())) > 0; wait = Millis(0)) {
    ssize_t n = recv(ctrlFd_, buffer, sizeof(buffer), 0);
    if (n <= 0) return drop();
    control_.append(buffer, size_t(n));
  }
}

bool BaresipPeer::Command(const std::string &command, const std::string &params) {
  const std::string token = "\"token\":\"t" + std::to_string(++token_) + "\"";
  const std::string json = "{\"command\":\"" + command + "\",\"params\":\"" + params + "\"," + token + "}";
  const std::string netstring = std::to_string(json.size()) + ":" + json + ",";
  Drain(Millis(0));
  return ctrlFd_ >= 0 && send(ctrlFd_, netstring.data(), netstring.size(), MSG_NOSIGNAL) == ssize_t(netstring.size()) &&
         WaitControl(token, Millis(3000));
}

bool BaresipPeer::WaitControl(const std::string &needle, Millis timeout, int count) {
  return WaitFor(
      [&] {
        Drain(Millis(20));
        int seen = 0;
        for (size_t at = control_.find(needle); at != std::string::npos; at = control_.find(needle, at + 1)) ++seen;
        return seen >= count;
      },
      timeout, Millis(1));
}

// ---- sipua loop -------------------------------------------------------------

bool SipuaLoop::Start(const std::string &extraConfig, bool tls) {
  tls_ = tls;
  dir_ = std::make_unique<TempDir>("sipua");
  sipPort_ = FreeUdpPort();
  dir_->Write("config", "sip_listen 127.0.0.1:" + std::to_string(sipPort_) + "\n" + extraConfig);
  thread_ = std::thread(&SipuaLoop::Loop, this);
  return WaitFor([this] { return state_ != 0; }, Millis(10000), Millis(1)) && state_ == 1;
}

void SipuaLoop::Loop() {
  auto handler = [](struct ua *ua, enum ua_event ev, struct call *call, const char *prm, void *arg) {
    auto *self = static_cast<SipuaLoop *>(arg);
    UaEvent e{ua, ev, call, prm ? prm : ""};
    if (self->onEvent) self->onEvent(e);  // the test's own reaction first, so a waiter sees its effects
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->events_.push_back(e);
  };
  const bool ok = !libre_init() && (conf_path_set(dir_->path().c_str()), !conf_configure()) &&
                  !baresip_init(conf_config()) && !ua_init("sipua-test", true, true, tls_) && !conf_modules() &&
                  !uag_event_register(handler, this) &&
                  !mqueue_alloc(
                      &mq_,
                      [](int id, void *, void *) {
                        if (id == kStop) re_cancel();
                      },
                      nullptr);
  state_ = ok ? 1 : -1;
  if (ok) re_main(nullptr);
  ua_stop_all(true);
  ua_close();
  mq_ = static_cast<struct mqueue *>(mem_deref(mq_));
  conf_close();
  baresip_close();
  libre_close();
}

int SipuaLoop::Count(enum ua_event ev) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(std::count_if(events_.begin(), events_.end(), [ev](const UaEvent &e) { return e.ev == ev; }));
}

UaEvent SipuaLoop::Last(enum ua_event ev) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(events_.rbegin(), events_.rend(), [ev](const UaEvent &e) { return e.ev == ev; });
  return it == events_.rend() ? UaEvent{nullptr, UA_EVENT_MAX, nullptr, ""} : *it;
}
