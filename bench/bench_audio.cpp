// The panel's audio, sipua against Debian's baresip, side by side in one run.
// Each panel calls a sipp callee whose media port is this program's relay:
// it echoes the panel's RTP back, clean for a while, then 0-80 ms late each,
// then with 5 % of the packets lost, then with 100 ms lost in every burst of
// tone. Both panels take their microphone and speaker from ALSA's file
// plugin on two FIFOs that this program feeds and drains in real time (20 ms
// a turn). The speaker's FIFO carries 48 kHz stereo, which ALSA converts to,
// so that its smallest pipe (one page) holds 21 ms, about one period of a
// sound card: at 8 kHz mono it would hold 256 ms, and a player could write
// that far ahead in bursts, where a real card makes it wake once a period.
// Figures for each stretch: the one-way delay from the relay to the
// speaker (the network's jitter included) and from the microphone to the
// relay, and the tone never heard; for the whole call, CPU time per minute
// (and the context switches behind it) and resident memory; and the ratios
// sipua/baresip.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include <rem/rem_g711.h>

#include "audio.h"
#include "figures.h"

namespace {

constexpr size_t kChunk = 160;  // samples a turn: 20 ms at 8 kHz
// The speaker FIFO's frames: 48 kHz stereo, six frames to an 8 kHz sample.
constexpr size_t kUp = 6, kSpeakerCh = 2;
constexpr double kSpeakerBytesPerMs = 8.0 * kUp * kSpeakerCh * 2;
constexpr int kStretches = 4, kPerStretch = 6, kBursts = kStretches * kPerStretch;
constexpr double kBurstMs = 600, kEveryMs = 1000;
const char *const kStretch[kStretches] = {"clean", "jitter", "loss5", "bursts"};

// Whether the 20 ms block from `i` carries the bursts' 1 kHz tone, played
// up to 3 % faster or slower (as a buffer that stretches or shrinks does).
bool Tone(const std::vector<int16_t> &samples, size_t i) {
  return ToneBlock(samples, i, 1000) || ToneBlock(samples, i, 970) || ToneBlock(samples, i, 1030);
}

// Index of the first sample of the first 20 ms block of the tone (blocks
// tried every 5 ms), -1 when none.
long ToneOnset(const std::vector<int16_t> &samples) {
  for (size_t i = 0; i + 160 <= samples.size(); i += 40)
    if (Tone(samples, i)) return long(i);
  return -1;
}

// Milliseconds of `samples` (8 kHz) that lie in 20 ms blocks of the tone,
// blocks tried every 5 ms.
double ToneMs(const std::vector<int16_t> &samples) {
  std::vector<bool> slot(samples.size() / 40 + 4);
  for (size_t i = 0; i + 160 <= samples.size(); i += 40)
    if (Tone(samples, i)) std::fill_n(slot.begin() + long(i / 40), 4, true);
  return 5.0 * double(std::count(slot.begin(), slot.end(), true));
}

// The harness's own threads (relay, devices) ahead of the machine's other
// load where the system allows it, so that their stalls are not counted as
// the network's or the panels'.
void Prompt() {
  const sched_param prm{.sched_priority = 10};
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &prm);
}

// A small deterministic generator: both relays impair alike.
struct Lcg {
  uint32_t x = 12345;
  uint32_t operator()() { return (x = x * 1103515245u + 12345u) >> 8; }
};

// The callee's media port: every RTP packet from the panel that first sent
// one goes back to it, impaired as the stretch of the call says. It notes
// when each burst's tone reached it.
struct Relay {
  int fd = BoundUdp(0), port = fd >= 0 ? LocalPort(fd) : 0;
  std::atomic<double> firstBurst{0};
  std::vector<double> onset = std::vector<double>(kBursts, 0);
  std::atomic<bool> stop{false};
  std::thread io{[this] { Run(); }};

  ~Relay() {
    stop = true;
    io.join();
    close(fd);
  }
  static int LocalPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
  }
  // The stretch a packet at `now` falls in: bounds in the quiet between bursts.
  int Stretch(double now) const {
    const double first = firstBurst;
    return first ? int(std::floor((now - first + 250) / (kPerStretch * kEveryMs))) : -1;
  }
  void Run() {
    struct Held {
      double due;
      std::vector<uint8_t> b;
    };
    std::vector<Held> held;
    sockaddr_in panel{};
    bool known = false, tone = false;
    double toneAt = 0;
    Lcg rng;
    Prompt();
    for (const double end = MonotonicMs() + 60000; !stop && MonotonicMs() < end;) {
      pollfd p = {fd, POLLIN, 0};
      const bool in = poll(&p, 1, 1) == 1;
      const double now = MonotonicMs();
      uint8_t b[1500];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = in ? recvfrom(fd, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&from), &len) : -1;
      // RTP only (RTCP's types are 200-204), and only from the panel.
      if (n > 12 && (b[0] & 0xc0) == 0x80 && (b[1] < 200 || b[1] > 204) &&
          (!known || (from.sin_addr.s_addr == panel.sin_addr.s_addr && from.sin_port == panel.sin_port))) {
        panel = from;
        known = true;
        // A burst's onset: the first loud sample of the first loud packet,
        // as long before the packet's arrival as the rest of it lasts.
        long loud = -1;
        for (long i = 12; i < n && loud < 0; ++i) loud = std::abs(g711_alaw2pcm(b[i])) > 4000 ? i - 12 : -1;
        const int k = firstBurst ? int(std::floor((now - firstBurst) / kEveryMs)) : -1;
        if (loud >= 0 && !tone) {
          toneAt = now - double(n - 12 - loud) / 8;
          if (k >= 0 && k < kBursts && !onset[size_t(k)]) onset[size_t(k)] = toneAt;
        }
        tone = loud >= 0;
        double due = now;
        switch (Stretch(now)) {
          case 1: due += rng() % 81; break;
          case 2: due = rng() % 100 < 5 ? -1 : due; break;
          case 3: due = tone && now - toneAt >= 200 && now - toneAt < 300 ? -1 : due; break;
        }
        if (due >= 0) held.push_back({due, std::vector<uint8_t>(b, b + n)});
      }
      for (auto it = held.begin(); it != held.end();) {
        if (it->due > now) {
          ++it;
          continue;
        }
        sendto(fd, it->b.data(), it->b.size(), 0, reinterpret_cast<sockaddr *>(&panel), sizeof panel);
        it = held.erase(it);
      }
    }
  }
};

// Microphone and speaker of one panel. Time stamps are MonotonicMs().
struct Devices {
  TempDir dir{"bench-audio"};
  int mic = -1, speaker = -1;
  std::atomic<double> firstBurst{0};  // 0 until the call is up
  std::vector<double> onset;          // when each burst reached the panel
  std::vector<int16_t> heard;
  std::vector<std::pair<size_t, double>> reads;  // first sample, when it was played
  size_t speakerFrames = 0;                      // 48 kHz frames read so far
  std::atomic<bool> stop{false};
  std::thread io;

  ~Devices() {
    stop = true;
    if (io.joinable()) io.join();
    for (int fd : {mic, speaker})
      if (fd >= 0) close(fd);
  }
  bool Start() {
    if (mkfifo(dir.Path("mic").c_str(), 0600) || mkfifo(dir.Path("speaker").c_str(), 0600)) return false;
    // Neither open waits for the other end; one page of pipe each.
    mic = open(dir.Path("mic").c_str(), O_RDWR | O_NONBLOCK);
    speaker = open(dir.Path("speaker").c_str(), O_RDONLY | O_NONBLOCK);
    if (mic < 0 || speaker < 0 || fcntl(mic, F_SETPIPE_SZ, 4096) < 0 || fcntl(speaker, F_SETPIPE_SZ, 4096) < 0)
      return false;
    const std::string plugin = "{\n type file\n slave.pcm { type null }\n format raw\n";
    io = std::thread([this] { Run(); });
    return dir.Write("asound.conf", "pcm.mic " + plugin + " file \"/dev/null\"\n infile \"" + dir.Path("mic") +
                                        "\"\n}\npcm.speakerfile " + plugin + " file \"" + dir.Path("speaker") +
                                        "\"\n}\npcm.speaker {\n type plug\n slave { pcm \"speakerfile\" rate 48000 "
                                        "channels 2 format S16_LE }\n}\n");
  }
  // One turn: a chunk into the microphone (a burst's, or silence), one out
  // of the speaker. The player writes at the speaker's pace, so what is read
  // was played as long ago as it and the bytes queued behind it take to play.
  void Turn(double now) {
    int16_t chunk[kChunk] = {};
    const double first = firstBurst, since = now - first;
    const int k = first ? int(std::floor(since / kEveryMs)) : -1;
    const bool tone = k >= 0 && k < kBursts && since - k * kEveryMs < kBurstMs;
    for (size_t i = 0; tone && i < kChunk; ++i) chunk[i] = int16_t(16000 * std::sin(2 * M_PI * 1000 * double(i) / 8000));
    int queued = 0;
    ioctl(mic, FIONREAD, &queued);
    if (write(mic, chunk, sizeof chunk) == ssize_t(sizeof chunk) && tone && int(onset.size()) == k)
      onset.push_back(now - 20 + queued / 16.0);  // as if captured in the 20 ms before
    int16_t in[kChunk * kUp * kSpeakerCh];
    const ssize_t got = read(speaker, in, sizeof in);
    if (got <= 0) return;
    int behind = 0;
    ioctl(speaker, FIONREAD, &behind);
    // Back to 8 kHz mono: the left channel of every sixth frame.
    size_t next = heard.size();
    for (size_t f = 0; f < size_t(got) / (2 * kSpeakerCh); ++f, ++speakerFrames)
      if (speakerFrames % kUp == 0) heard.push_back(in[f * kSpeakerCh]);
    if (heard.size() > next) reads.push_back({next, now - (behind + got) / kSpeakerBytesPerMs});
  }
  void Run() {
    Prompt();
    const double start = MonotonicMs();
    for (uint64_t n = 0; !stop && MonotonicMs() - start < 55000; ++n) {
      Turn(MonotonicMs());
      const double wait = start + 20.0 * double(n + 1) - MonotonicMs();
      if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(int64_t(wait * 1000)));
    }
  }
  // When sample `i` of the speaker was played.
  double PlayedMs(size_t i) const {
    auto it = std::upper_bound(reads.begin(), reads.end(), i, [](size_t v, auto &r) { return v < r.first; });
    return it == reads.begin() ? 0 : std::prev(it)->second + double(i - std::prev(it)->first) / 8;
  }
  // The samples played in the second after burst k left the microphone:
  // the first one's index and all of them.
  std::pair<size_t, std::vector<int16_t>> Played(size_t k) const {
    size_t from = 0;
    while (from < heard.size() && PlayedMs(from) < onset[k]) from += kChunk;
    size_t to = from;
    while (to < heard.size() && PlayedMs(to) < onset[k] + kEveryMs - 50) to += kChunk;
    return {from, std::vector<int16_t>(heard.begin() + long(from), heard.begin() + long(to))};
  }
};

struct Result {
  std::vector<double> txMs[kStretches], rxMs[kStretches], rssKb;
  double missingMs[kStretches] = {};
  double cpuPerMinute = 0;  // seconds of CPU per minute of call
  double switchesPerSecond = 0;
};

// CPU time (in seconds, to the nanosecond) and context switches of all of a
// process's threads: each wake-up of a thread costs a switch.
struct Usage {
  double cpu = 0, switches = 0;
};
Usage UsageOf(pid_t pid) {
  Usage u;
  std::error_code ec;
  for (const auto &t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    u.cpu += atof(ReadFile(t.path().string() + "/schedstat").c_str()) / 1e9;
    const std::string status = ReadFile(t.path().string() + "/status");
    for (const std::string field : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"})
      if (const size_t at = status.find(field); at != std::string::npos)
        u.switches += atof(status.c_str() + at + field.size());
  }
  return u;
}

// Both calls up: the bursts at both panels at once, and CPU time and memory
// over the same stretch, so that the machine's other load falls on both.
void Measure(Devices *const dev[2], Relay *const relay[2], const pid_t pid[2], Result r[2]) {
  const double up = MonotonicMs(), end = up + 1000 + kBursts * kEveryMs;
  for (int i = 0; i < 2; ++i) dev[i]->firstBurst = relay[i]->firstBurst = up + 1000;
  std::this_thread::sleep_for(Millis(500));
  const Usage u0[2] = {UsageOf(pid[0]), UsageOf(pid[1])};
  const double t0 = MonotonicMs();
  while (MonotonicMs() < end) {
    for (int i = 0; i < 2; ++i) r[i].rssKb.push_back(double(StatusKb(pid[i], "VmRSS:")));
    std::this_thread::sleep_for(Millis(250));
  }
  for (int i = 0; i < 2; ++i) {
    const Usage u = UsageOf(pid[i]);
    const double ms = MonotonicMs() - t0;
    r[i].cpuPerMinute = (u.cpu - u0[i].cpu) / ms * 60000;
    r[i].switchesPerSecond = (u.switches - u0[i].switches) / ms * 1000;
  }
  std::this_thread::sleep_for(Millis(600));  // the last bursts' way back
}

// After the call: the devices stop (a panel's device thread blocks on them
// while its call runs) and each burst gives its delays and what of it was
// not heard; false when one did not leave the panel.
bool Bursts(Devices &dev, const Relay &relay, Result *r) {
  dev.stop = true;
  if (dev.io.joinable()) dev.io.join();
  if (dev.onset.size() != size_t(kBursts)) return fprintf(stderr, "bench_audio: %zu bursts sent\n", dev.onset.size()), false;
  for (size_t k = 0; k < size_t(kBursts); ++k) {
    const auto [from, played] = dev.Played(k);
    const long at = ToneOnset(played);
    if (!relay.onset[k]) return fprintf(stderr, "bench_audio: burst %zu did not reach the relay\n", k), false;
    const size_t s = k / kPerStretch;
    r->txMs[s].push_back(relay.onset[k] - dev.onset[k]);
    if (at >= 0) r->rxMs[s].push_back(dev.PlayedMs(from + size_t(at)) - relay.onset[k]);
    r->missingMs[s] += std::max(0.0, kBurstMs - ToneMs(played));
  }
  return true;
}

// The median as Figure() takes it (nearest rank).
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::max<size_t>(1, (v.size() + 1) / 2) - 1];
}

// Both panels' figures, their ratio, and a row of the table.
std::string Pair(const std::string &name, const std::vector<double> &s, const std::vector<double> &b,
                 const char *unit) {
  Figure(name + "_sipua", s, unit);
  Figure(name + "_baresip", b, unit);
  const double ms = Median(s), mb = Median(b);
  Figure(name + "_ratio", {mb > 0 ? ms / mb : 0}, "x");
  char row[160];
  snprintf(row, sizeof row, "# %-28s %10.2f %10.2f %7.2f  %s\n", name.c_str(), ms, mb, mb > 0 ? ms / mb : 0, unit);
  return row;
}

// The microphone's FIFO carries 8 kHz mono, whatever the codec's rate.
const std::string kAudioLines = "module plc.so\naudio_buffer 20-160\nausrc_srate 8000\nauplay_srate 8000\n";
// BENCH_AUDIO_FILTERS=1 loads the microphone's filters: sipua the echo
// canceller and the preprocessor, baresip the preprocessor (Debian's 1.0.0
// has no webrtc_aec).
const bool kFilters = getenv("BENCH_AUDIO_FILTERS");

// BENCH_AUDIO_CODEC=opus: both panels offer Opus first (mono at 48 kHz) and
// the callee answers with it; opus16 runs sipua's Opus at 16 kHz, as the
// shipped config does; g722: G.722. Otherwise PCMA.
struct Codec {
  std::string name = "PCMA", answer = "8", rtpmap = "a=rtpmap:8 PCMA/8000", both, sipua;
};
Codec ChosenCodec() {
  Codec c;
  const std::string env = getenv("BENCH_AUDIO_CODEC") ? getenv("BENCH_AUDIO_CODEC") : "";
  if (env == "g722") return {env, "9", "a=rtpmap:9 G722/8000", "module g722.so\n", ""};
  if (env != "opus" && env != "opus16") return c;
  c = {env, "96", "a=rtpmap:96 opus/48000/2", "module opus.so\nopus_stereo no\nopus_sprop_stereo no\n", ""};
  if (env == "opus16") c.sipua = "opus_samplerate 16000\n";
  return c;
}
const Codec kCodec = ChosenCodec();

// sipua's jitter buffer: adaptive, unless BENCH_AUDIO_JBUF ("fixed 5-10")
// names another; baresip 1.0.0 has its fixed one.
std::string SipuaJitterLines() {
  const char *jb = getenv("BENCH_AUDIO_JBUF");
  if (!jb || !strchr(jb, ' ')) jb = "adaptive 0-300";
  return "jitter_buffer_type " + std::string(jb, strchr(jb, ' ')) + "\njitter_buffer_delay " + (strchr(jb, ' ') + 1) +
         "\n";
}

// A callee whose media port is `relay`'s; it re-offers the same once, before
// the bursts, and waits for the panel's BYE.
SippRun Callee(const Relay &relay) {
  const std::string port = std::to_string(relay.port);
  SippRun run("callee_media.xml", 0, {"-key", "codec", kCodec.answer, "-key", "rtpmap", kCodec.rtpmap + "\r\na=rtcp:" + port,
                                         "-key", "mport", port, "-key", "hold", "a=sendrecv", "-set", "later", "1", "-d",
                                         "300", "-mi", "127.0.0.1"});
  run.timeout = Millis(60000);
  return run;
}

}  // namespace

int main() {
  Relay sipuaRelay, baresipRelay;
  Sipp sipuaCallee, baresipCallee;
  Devices sipuaDev, baresipDev;
  TempDir cfg("bench-sipua-panel");
  if (!sipuaRelay.port || !baresipRelay.port || !sipuaCallee.Start(Callee(sipuaRelay)) ||
      !baresipCallee.Start(Callee(baresipRelay)) || !sipuaDev.Start() || !baresipDev.Start())
    return 1;
  auto uri = [](const Sipp &callee) { return "sip:1201@127.0.0.1:" + std::to_string(callee.port()); };

  // sipua as the panel, in a process of its own; it hangs up by itself.
  cfg.Write("config", "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) +
                          "\nrtp_ports 40000-49999\nrtp_timeout 0\nmodule alsa.so\n"
                          "audio_source alsa,mic\naudio_player alsa,speaker\n" + kAudioLines + SipuaJitterLines() +
                          kCodec.both + kCodec.sipua + "module g711.so\n" +
                          (kFilters ? "module webrtc_aec.so\nmodule speex_pp.so\nwebrtc_aec_extended_filter yes\n" : ""));
  Process sipua;
  const int seconds = 3 + int(kBursts * kEveryMs / 1000);
  bool ok = sipua.Start({SIPUA_PANEL_BIN, cfg.path(), uri(sipuaCallee), std::to_string(seconds)},
                        {.env = {"ALSA_CONFIG_PATH=" + sipuaDev.dir.Path("asound.conf")}});
  // Debian's baresip as the panel.
  BaresipPeer baresip;
  baresip.audioSource = "alsa,mic";
  baresip.audioPlayer = "alsa,speaker";
  baresip.extraConfig = kCodec.both + "module alsa.so\n" + kAudioLines + (kFilters ? "module speex_pp.so\n" : "");
  {
    ScopedEnv alsa("ALSA_CONFIG_PATH", baresipDev.dir.Path("asound.conf"));
    ok = ok && baresip.Start("panel", false);
  }
  ok = ok && baresip.Command("dial", uri(baresipCallee)) && sipua.WaitForStdout("established", Millis(10000)) &&
       baresip.WaitControl("CALL_ESTABLISHED", Millis(10000));
  if (!ok) {
    fprintf(stderr, "bench_audio: the calls did not come up\n%s\n%s\n", sipua.Stderr().c_str(),
            baresip.Output().c_str());
    return 1;
  }
  Devices *const dev[2] = {&sipuaDev, &baresipDev};
  Relay *const relay[2] = {&sipuaRelay, &baresipRelay};
  const pid_t pid[2] = {sipua.pid(), baresip.pid()};
  Result r[2];
  Measure(dev, relay, pid, r);
  if (!baresip.Command("hangup") || !baresip.WaitControl("CALL_CLOSED", Millis(5000)) ||
      !sipua.Wait(Millis(10000)) || sipua.ExitCode() != 0 || !Bursts(sipuaDev, sipuaRelay, &r[0]) ||
      !Bursts(baresipDev, baresipRelay, &r[1])) {
    fprintf(stderr, "bench_audio: a call did not end well or a burst did not come back\n");
    return 1;
  }
  const Result &s = r[0], &b = r[1];
  printf("# %d bursts of 1 kHz (%.0f ms each) at each panel, both calls at once, %s, echoed by a relay:\n"
         "# %d each clean, 0-80 ms late, 5 %% lost, 100 ms lost in each\n",
         kBursts, kBurstMs, kCodec.name.c_str(), kPerStretch);
  std::string table = "# " + std::string(28, ' ') + "      sipua    baresip   ratio\n";
  for (int i = 0; i < kStretches; ++i) {
    table += Pair(std::string("audio_rx_delay_") + kStretch[i], s.rxMs[i], b.rxMs[i], "ms");
    table += Pair(std::string("audio_unheard_") + kStretch[i], {s.missingMs[i]}, {b.missingMs[i]}, "ms");
  }
  table += Pair("audio_tx_delay", s.txMs[0], b.txMs[0], "ms");
  table += Pair("cpu_per_call_minute", {s.cpuPerMinute}, {b.cpuPerMinute}, "s");
  table += Pair("context_switches", {s.switchesPerSecond}, {b.switchesPerSecond}, "1/s");
  table += Pair("rss_in_call", s.rssKb, b.rssKb, "KiB");
  printf("%s", table.c_str());
  return 0;
}
