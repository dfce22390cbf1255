// The panel's audio, sipua against Debian's baresip, side by side: the same
// sipp callee echoes each panel's RTP, and both panels take their microphone
// and speaker from ALSA's file plugin on two FIFOs that this program feeds
// and drains in real time (20 ms a turn). The speaker's FIFO carries 48 kHz
// stereo, which ALSA converts to, so that its smallest pipe (one page) holds
// 21 ms, about one period of a sound card: at 8 kHz mono it would hold 256 ms,
// and a player could write that far ahead in bursts, where a real card makes
// it wake once a period. Figures: the round trip from a
// 1 kHz burst's onset at the microphone to its return at the speaker, CPU
// time per minute of call (and the context switches behind it), resident
// memory during the call, and the ratios sipua/baresip.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <thread>

#include "audio.h"
#include "figures.h"

namespace {

// Index of the first sample of the first 20 ms block of a tone of `hz`
// (blocks tried every 5 ms), -1 when none.
long ToneOnset(const std::vector<int16_t> &samples, double hz) {
  for (size_t i = 0; i + 160 <= samples.size(); i += 40)
    if (ToneBlock(samples, i, hz)) return long(i);
  return -1;
}

constexpr size_t kChunk = 160;  // samples a turn: 20 ms at 8 kHz
// The speaker FIFO's frames: 48 kHz stereo, six frames to an 8 kHz sample.
constexpr size_t kUp = 6, kSpeakerCh = 2;
constexpr double kSpeakerBytesPerMs = 8.0 * kUp * kSpeakerCh * 2;
constexpr int kBursts = 10;
constexpr double kBurstMs = 300, kEveryMs = 1000;

struct Result {
  std::vector<double> roundTripMs, rssKb;
  double cpuPerMinute = 0;  // seconds of CPU per minute of call
  double switchesPerSecond = 0;
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
      onset.push_back(now + queued / 16.0);
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
  // Each burst's round trip; false when one did not come back.
  bool RoundTrips(std::vector<double> *out) const {
    for (double on : onset) {
      size_t from = 0;
      while (from < heard.size() && PlayedMs(from) < on) from += kChunk;
      size_t to = from;
      while (to < heard.size() && PlayedMs(to) < on + kEveryMs - 100) to += kChunk;
      const long at = ToneOnset(std::vector<int16_t>(heard.begin() + long(from), heard.begin() + long(to)), 1000);
      if (at < 0) return false;
      out->push_back(PlayedMs(from + size_t(at)) - on);
    }
    return int(onset.size()) == kBursts;
  }
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
void Measure(Devices *const dev[2], const pid_t pid[2], Result r[2]) {
  const double up = MonotonicMs(), end = up + 1000 + kBursts * kEveryMs;
  for (int i = 0; i < 2; ++i) dev[i]->firstBurst = up + 1000;
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
// while its call runs) and give the round trips.
bool RoundTrips(Devices &dev, Result *r) {
  dev.stop = true;
  if (dev.io.joinable()) dev.io.join();
  return dev.RoundTrips(&r->roundTripMs);
}

// The median as Figure() takes it (nearest rank).
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::max<size_t>(1, (v.size() + 1) / 2) - 1];
}

void Ratio(const std::string &name, double sipua, double baresip) {
  Figure(name, {baresip > 0 ? sipua / baresip : 0}, "x");
}

// BENCH_AUDIO_JBUF="adaptive 0-300" measures another jitter buffer, both panels alike.
std::string AudioLines() {
  const char *jb = getenv("BENCH_AUDIO_JBUF");
  std::string type = "fixed", delay = "5-10";
  if (jb && strchr(jb, ' ')) type = std::string(jb, strchr(jb, ' ')), delay = strchr(jb, ' ') + 1;
  // The microphone's FIFO carries 8 kHz mono, whatever the codec's rate.
  return "audio_buffer 20-160\njitter_buffer_type " + type + "\njitter_buffer_delay " + delay +
         "\nausrc_srate 8000\nauplay_srate 8000\n";
}
const std::string kAudioLines = AudioLines();
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

}  // namespace

int main() {
  SippRun echo("callee.xml", 0, {"-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort()), "-rtp_echo", "-key", "codec",
                                  kCodec.answer, "-key", "rtpmap", kCodec.rtpmap});
  echo.calls = 2;
  echo.timeout = Millis(60000);
  Sipp callee;
  Devices sipuaDev, baresipDev;
  TempDir cfg("bench-sipua-panel");
  if (!callee.Start(echo) || !sipuaDev.Start() || !baresipDev.Start()) return 1;
  const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(callee.port());

  // sipua as the panel, in a process of its own; it hangs up by itself.
  cfg.Write("config", "sip_listen 127.0.0.1:" + std::to_string(FreeUdpPort()) +
                          "\nrtp_ports 40000-49999\nrtp_timeout 0\nmodule alsa.so\n"
                          "audio_source alsa,mic\naudio_player alsa,speaker\n" + kAudioLines + kCodec.both +
                          kCodec.sipua + "module g711.so\n" +
                          (kFilters ? "module webrtc_aec.so\nmodule speex_pp.so\nwebrtc_aec_extended_filter yes\n" : ""));
  Process sipua;
  const int seconds = 3 + int(kBursts * kEveryMs / 1000);
  bool ok = sipua.Start({SIPUA_PANEL_BIN, cfg.path(), uri, std::to_string(seconds)},
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
  ok = ok && baresip.Command("dial", uri) && sipua.WaitForStdout("established", Millis(10000)) &&
       baresip.WaitControl("CALL_ESTABLISHED", Millis(10000));
  if (!ok) {
    fprintf(stderr, "bench_audio: the calls did not come up\n%s\n%s\n", sipua.Stderr().c_str(),
            baresip.Output().c_str());
    return 1;
  }
  Devices *const dev[2] = {&sipuaDev, &baresipDev};
  const pid_t pid[2] = {sipua.pid(), baresip.pid()};
  Result r[2];
  Measure(dev, pid, r);
  if (!baresip.Command("hangup") || !baresip.WaitControl("CALL_CLOSED", Millis(5000)) ||
      !sipua.Wait(Millis(10000)) || sipua.ExitCode() != 0 || !RoundTrips(sipuaDev, &r[0]) ||
      !RoundTrips(baresipDev, &r[1])) {
    fprintf(stderr, "bench_audio: a call did not end well or a burst did not come back\n");
    return 1;
  }
  const Result &s = r[0], &b = r[1];
  printf("# %d bursts of 1 kHz at each panel, both calls at once, %s to one sipp -rtp_echo callee\n", kBursts,
         kCodec.name.c_str());
  Figure("audio_round_trip_sipua", s.roundTripMs, "ms");
  Figure("audio_round_trip_baresip", b.roundTripMs, "ms");
  Ratio("audio_round_trip_ratio", Median(s.roundTripMs), Median(b.roundTripMs));
  Figure("cpu_per_call_minute_sipua", {s.cpuPerMinute}, "s");
  Figure("cpu_per_call_minute_baresip", {b.cpuPerMinute}, "s");
  Ratio("cpu_per_call_minute_ratio", s.cpuPerMinute, b.cpuPerMinute);
  Figure("context_switches_sipua", {s.switchesPerSecond}, "1/s");
  Figure("context_switches_baresip", {b.switchesPerSecond}, "1/s");
  Figure("rss_in_call_sipua", s.rssKb, "KiB");
  Figure("rss_in_call_baresip", b.rssKb, "KiB");
  Ratio("rss_in_call_ratio", Median(s.rssKb), Median(b.rssKb));
  return 0;
}
