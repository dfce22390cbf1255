// SIP test peers on 127.0.0.1: sipp scenarios, Debian's baresip client, and
// an in-process user agent on sipua running its own libre loop thread.
#pragma once

#include <re.h>
#include <baresip.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "process.h"

// ---- sipp -------------------------------------------------------------------
struct SippRun {
  SippRun(std::string name = "", int remote = 0, std::vector<std::string> more = {})
      : scenario(std::move(name)), remotePort(remote), args(std::move(more)) {}
  std::string scenario;           // file name under tests/scenarios
  int remotePort = 0;             // target host:remotePort; 0 for a server
  std::string host = "127.0.0.1";  // its own address, and the target's
  std::vector<std::string> args;  // more options: "-s" user, "-set" flag value, "-key" name value, "-d" ms...
  int localPort = 0;              // -p; 0 picks a free one
  int calls = 1;                  // -m
  Millis timeout = Millis(30000);
};

class Sipp {
 public:
  ~Sipp() { proc_.Kill(); }
  // Starts sipp in the background; false when it could not start.
  bool Start(const SippRun &run);
  // Waits for the end; sipp's exit status (0: every call passed), or -1 on
  // timeout (sipp is then stopped).
  int Wait();
  int port() const { return port_; }
  // stdout, stderr and the error/message logs (the message log holds every
  // SIP message sent and received).
  std::string Output() const;
  // Contents of the files sipp wrote whose names end with `suffix` (e.g. "_rtt.csv").
  std::string File(const std::string &suffix) const;

 private:
  std::unique_ptr<TempDir> dir_;
  Process proc_;
  SippRun run_;
  int port_ = 0;
};

// ---- TLS in front of a TCP peer -------------------------------------------
// socat taking TLS on 127.0.0.1:port() with a certificate (PEM files) and
// passing each connection on to 127.0.0.1:target over TCP.
class TlsFront {
 public:
  bool Start(const std::string &cert, const std::string &key, int target);
  int port() const { return port_; }

 private:
  Process proc_;
  int port_ = 0;
};

// ---- raw datagrams -----------------------------------------------------------
// A request from a gate at 127.0.0.1:5099 (rport) for 12@127.0.0.1, with header
// lines edited: {prefix, line} replaces the line that starts with prefix ("" drops it).
std::string Request(const std::string &method, const std::vector<std::pair<std::string, std::string>> &edits = {},
                    const std::string &body = "");
extern const char kSdp[];  // PCMU at 127.0.0.1:40000
// The ACK of a raw INVITE's 2xx `answer` (its To tag), without a body.
std::string Ack(const std::string &invite, const std::string &answer);
// Sends `text` to 127.0.0.1:port; the first answer other than 100 (or the
// first that starts with `want`) within `ms` of each other, "" when none came.
std::string Exchange(int port, const std::string &text, int ms, const std::string &want = "");

// ---- Debian baresip ---------------------------------------------------------
class BaresipPeer {
 public:
  ~BaresipPeer();
  // Set before Start: its audio devices ("aufile,PATH", "alsa,DEVICE"; by
  // default it plays silence from a file), more config lines (e.g. modules;
  // they go first, so they win over the defaults), and whether it records the audio it receives (see Recording()).
  std::string audioSource, audioPlayer, extraConfig;
  std::string accountParams;  // appended to its account line, e.g. ";mediaenc=srtp"
  bool record = false;
  // Account <sip:user@127.0.0.1:port>, answering every call by itself.
  // With `tls` it also takes TLS on port + 1 with a fresh self-signed
  // certificate. `listen` ("ip:port") places it elsewhere on loopback.
  bool Start(const std::string &user = "peer", bool autoAnswer = true, bool tls = false, std::string listen = "");
  int sipPort() const { return sipPort_; }
  pid_t pid() const { return proc_.pid(); }
  // A ctrl_tcp command; true once its reply came.
  bool Command(const std::string &command, const std::string &params = "");
  // Waits until the control connection (replies and events, e.g.
  // "CALL_DTMF_START") has carried `needle` `count` times.
  bool WaitControl(const std::string &needle, Millis timeout, int count = 1);
  // Keys on its console; during a call they are sent as DTMF.
  bool Type(const std::string &keys) { return proc_.WriteStdin(keys); }
  std::string Output() const { return proc_.Stdout() + proc_.Stderr(); }
  // Path of the WAV file of what it heard in its last call ("" before one).
  std::string Recording() const;

 private:
  // Reads what the control connection brings within `wait` (connecting first).
  void Drain(Millis wait);
  bool LoopbackSdp() const;

  std::unique_ptr<TempDir> dir_;
  Process proc_;
  int sipPort_ = 0;
  int ctrlPort_ = 0;
  int ctrlFd_ = -1;
  int token_ = 0;
  std::string control_;
};

// ---- sipua in this process --------------------------------------------------
struct UaEvent {
  struct ua *ua;
  enum ua_event ev;
  struct call *call;
  std::string prm;
};

class SipuaLoop {
 public:
  ~SipuaLoop() { Stop(); }
  // Brings the library up (UDP and TCP, TLS too with `tls`) on a loop thread
  // with a config file made of `extraConfig` plus sip_listen 127.0.0.1:<free port>.
  bool Start(const std::string &extraConfig = "", bool tls = false);
  void Stop() {
    if (mq_) mqueue_push(mq_, kStop, nullptr);
    if (thread_.joinable()) thread_.join();
  }
  int sipPort() const { return sipPort_; }

  // Runs `f` inside re_thread_enter/re_thread_leave, then wakes the loop:
  // libre computes its poll timeout before it waits, so a timer `f` started
  // would otherwise wait for the loop's next unrelated wake-up.
  template <class F>
  auto Locked(F f) {
    re_thread_enter();
    struct Leave {
      struct mqueue *mq;
      ~Leave() {
        re_thread_leave();
        mqueue_push(mq, 0, nullptr);
      }
    } leave{mq_};
    return f();
  }

  // Called on the loop thread for every event, before it is recorded.
  std::function<void(const UaEvent &)> onEvent;

  // Waits until `count` events of kind `ev` have been seen.
  bool WaitEvent(enum ua_event ev, int count = 1, Millis timeout = Millis(10000)) {
    return WaitFor([&] { return Count(ev) >= count; }, timeout, Millis(1));
  }
  int Count(enum ua_event ev) const;
  // Last recorded event of that kind (ev == UA_EVENT_MAX when none).
  UaEvent Last(enum ua_event ev) const;

 private:
  void Loop();

  std::unique_ptr<TempDir> dir_;
  static constexpr int kStop = 1;  // an mq_ message that ends the loop; 0 only wakes it
  struct mqueue *mq_ = nullptr;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<UaEvent> events_;
  int sipPort_ = 0;
  bool tls_ = false;
  std::atomic<int> state_{0};  // 0 starting, 1 running, -1 failed
};
