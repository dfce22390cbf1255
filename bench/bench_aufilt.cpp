// What the microphone's filters cost at a 16 kHz device: CPU time per minute
// of call (the player's frame to the decode side, the microphone's to the
// encode side, 20 ms at a time as the devices do), 5 rounds each, for the
// canceller, the preprocessor and both; and the delay the chain adds (the
// lag of the sent audio's best match with the captured).
//
// Given a WAV file of what a panel played (`bench_aufilt PLAYED.wav`) it
// prints instead how far the shipped filters bring its echo through the test
// support's room down, from 2 s on: what the demo reports.
#include <time.h>

#include "audio.h"  // the test support's
#include "figures.h"
#include "../sipua/src/aufilt.h"

namespace {

constexpr int kRate = 16000, kFrame = kRate / 50;

double CpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

struct aufilt_chain *Load(const TempDir &dir, const std::string &config) {
  struct aufilt_chain *chain = nullptr;
  const aufilt_prm prm = {kRate, 1};
  if (!dir.Write("config", config) || (conf_path_set(dir.path().c_str()), conf_configure()) || conf_modules() ||
      aufilt_chain_alloc(&chain, &prm, &prm))
    return nullptr;
  return chain;
}

void Run(struct aufilt_chain *chain, const std::vector<int16_t> &played, std::vector<int16_t> &mic) {
  std::vector<int16_t> spk(kFrame);
  for (size_t i = 0; i + kFrame <= mic.size() && i + kFrame <= played.size(); i += kFrame) {
    spk.assign(played.begin() + long(i), played.begin() + long(i + kFrame));
    auframe p = {spk.data(), kFrame, kRate, 1}, c = {mic.data() + i, kFrame, kRate, 1};
    aufilt_chain_decode(chain, &p);
    aufilt_chain_encode(chain, &c);
  }
}

// A voice-like signal: a few harmonics whose pitch and loudness wander.
std::vector<int16_t> Voice(double seconds, double f0, uint32_t seed) {
  std::vector<int16_t> v(size_t(seconds * kRate));
  double phase = 0;
  for (size_t n = 0; n < v.size(); ++n) {
    const double t = double(n) / kRate, f = f0 * (1 + 0.2 * sin(2 * M_PI * 0.7 * t + seed));
    const double env = std::max(0.0, sin(2 * M_PI * 1.3 * t + seed));
    phase += 2 * M_PI * f / kRate;
    double s = 0;
    for (int h = 1; h <= 8; ++h) s += sin(h * phase) / h;
    v[n] = int16_t(5000 * env * s);
  }
  return v;
}

bool Measure(const char *name, const std::string &config) {
  TempDir dir("bench-aufilt");
  struct aufilt_chain *chain = Load(dir, config);
  if (!chain) return false;
  const std::vector<int16_t> far = Voice(60, 140, 1), echo = Room(far, kRate, 50), near = Voice(60, 210, 2);
  std::vector<int16_t> mic(echo.size());
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = int16_t(echo[i] / 2 + near[i] / 2);
  std::vector<double> perMinute;
  for (int round = 0; round < 6; ++round) {  // the first warms up
    std::vector<int16_t> m = mic;
    const double t = CpuMs();
    Run(chain, far, m);
    if (round) perMinute.push_back(CpuMs() - t);
  }
  Figure(std::string("aufilt_") + name + "_16k", perMinute, "ms/min");
  mem_deref(chain);
  return true;
}

// The lag (ms) at which the sent audio best matches the captured, the far
// end silent.
bool Delay(const char *name, const std::string &config) {
  TempDir dir("bench-aufilt");
  struct aufilt_chain *chain = Load(dir, config);
  if (!chain) return false;
  // Noise in bursts: one sharp match, where a voice's pitch gives many.
  std::vector<int16_t> in(size_t(4 * kRate));
  uint32_t seed = 7;
  for (size_t n = 0; n < in.size(); ++n) {
    seed = seed * 1664525 + 1013904223;
    in[n] = int16_t(double(int32_t(seed) >> 19) * std::max(0.0, sin(2 * M_PI * 1.3 * double(n) / kRate)));
  }
  std::vector<int16_t> out = in;
  Run(chain, std::vector<int16_t>(in.size()), out);
  mem_deref(chain);
  size_t best = 0;
  double bestSum = -1;
  for (size_t lag = 0; lag < size_t(kRate / 20); ++lag) {  // up to 50 ms
    double sum = 0;
    for (size_t n = 2 * kRate; n < in.size(); ++n) sum += double(in[n - lag]) * out[n];
    if (sum > bestSum) bestSum = sum, best = lag;
  }
  Figure(std::string("aufilt_") + name + "_added_delay", {double(best) * 1000 / kRate}, "ms");
  return true;
}

// The filter lines of packaging/baresip/config.
const char *const kShipped =
    "module webrtc_aec.so\nmodule speex_pp.so\nwebrtc_aec_extended_filter yes\nwebrtc_aec_delay 20\nspeex_agc no\n";

int EchoDown(const char *played) {
  const std::vector<int16_t> far = ReadMono(played, kRate), echo = Room(far, kRate, 50);
  TempDir dir("demo-aufilt");
  struct aufilt_chain *chain = Load(dir, kShipped);
  if (far.size() < size_t(3 * kRate) || !chain) return 1;
  std::vector<int16_t> sent = echo;
  Run(chain, far, sent);
  mem_deref(chain);
  const double end = double(echo.size()) / kRate, without = EnergyDb(echo, kRate, 2, end),
               with = EnergyDb(sent, kRate, 2, end);
  printf("echo in what the panel sends (a 50 ms room, -6 dB): %.1f dBFS without the canceller, %.1f dBFS with it: "
         "%.1f dB down\n", without, with, without - with);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2) return EchoDown(argv[1]);
  printf("# CPU per minute of call at 16 kHz, 20 ms frames, 5 rounds; the added delay\n");
  const bool ok = Measure("aec", "module webrtc_aec.so\nwebrtc_aec_extended_filter yes\n") &&
                  Measure("speex_pp", "module speex_pp.so\n") &&
                  Measure("aec_speex_pp", "module webrtc_aec.so\nmodule speex_pp.so\nwebrtc_aec_extended_filter yes\n") &&
                  Measure("shipped", kShipped) &&
                  Delay("aec", "module webrtc_aec.so\n") && Delay("speex_pp", "module speex_pp.so\n");
  return ok ? 0 : 1;
}
