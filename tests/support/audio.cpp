#include "audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <re.h>
#include <rem.h>

#include "process.h"

namespace {

constexpr size_t kBlock = 160;  // 20 ms at 8 kHz

bool RunSox(const std::vector<std::string> &args, std::string *out = nullptr) {
  Process sox;
  std::vector<std::string> all = {"sox", "-q"};
  all.insert(all.end(), args.begin(), args.end());
  if (!sox.Start(all) || !sox.Wait(Millis(20000)) || sox.ExitCode() != 0) return false;
  if (out) *out = sox.Stdout();
  return true;
}

std::vector<std::string> Raw(int rate) {
  return {"-t", "raw", "-e", "signed", "-b", "16", "-c", "1", "-r", std::to_string(rate)};
}

}  // namespace

// The Goertzel power at `hz` against the block's whole energy (1 for a pure
// tone at that frequency).
bool ToneBlock(const std::vector<int16_t> &s, size_t i, double hz) {
  double energy = 0;
  struct goertzel g;
  goertzel_init(&g, hz, 8000);
  for (size_t k = i; k < i + kBlock; ++k) {
    energy += double(s[k]) * s[k];
    goertzel_update(&g, s[k]);
  }
  const double power = goertzel_result(&g);
  return energy / kBlock > 327.0 * 327.0 && power / (kBlock * energy) > 0.5;
}

bool MakeTone(const std::string &path, int hz, double seconds, int rate) {
  std::vector<std::string> args =
      path.ends_with(".raw") ? Raw(rate) : std::vector<std::string>{"-r", std::to_string(rate), "-c", "1", "-b", "16"};
  args.insert(args.begin(), "-n");
  args.insert(args.end(), {path, "synth", std::to_string(seconds), "sine", std::to_string(hz), "vol", "0.5"});
  return RunSox(args);
}

bool MakeSines(const std::string &path, const std::vector<int> &hz, double seconds, int rate, int ch) {
  const int n = int(hz.size());
  std::vector<std::string> args = {"-r", std::to_string(rate), "-c", std::to_string(n), "-n", "-b", "16"};
  if (path.ends_with(".raw")) args.insert(args.end(), {"-t", "raw", "-e", "signed"});
  args.insert(args.end(), {path, "synth", std::to_string(seconds)});
  for (int f : hz) args.insert(args.end(), {"sine", std::to_string(f)});
  // remix averages the channels it mixes.
  args.insert(args.end(), {"remix", "1-" + std::to_string(n)});
  if (ch == 2) args.push_back("1-" + std::to_string(n));
  args.insert(args.end(), {"vol", "0.5"});
  return RunSox(args);
}

std::vector<int16_t> Read8k(const std::string &path, int rawRate) { return ReadMono(path, 8000, rawRate); }

double LevelDb(const std::vector<int16_t> &s, int rate, double hz, double from, double seconds) {
  // The median of 100 ms blocks: a late packet's gap or a dropped frame
  // spoils a block or two, not the figure.
  const size_t n = size_t(rate / 10), begin = size_t(from * rate), blocks = size_t(seconds * 10);
  if (!blocks || begin + blocks * n > s.size()) return -200;
  std::vector<double> db;
  for (size_t b = 0; b < blocks; ++b) {
    double re = 0, im = 0, w = 0;
    for (size_t i = 0; i < n; ++i) {
      const double hann = 0.5 - 0.5 * cos(2 * M_PI * double(i) / double(n)), ph = 2 * M_PI * hz * double(i) / rate;
      w += hann;
      re += hann * s[begin + b * n + i] * cos(ph);
      im += hann * s[begin + b * n + i] * sin(ph);
    }
    db.push_back(20 * log10(2 * sqrt(re * re + im * im) / w / 32768 + 1e-10));
  }
  std::nth_element(db.begin(), db.begin() + long(blocks / 2), db.end());
  return db[blocks / 2];
}

std::vector<int16_t> ReadMono(const std::string &path, int rate, int rawRate) {
  std::vector<std::string> args = rawRate ? Raw(rawRate) : std::vector<std::string>{}, out = Raw(rate);
  args.push_back(path);
  args.insert(args.end(), out.begin(), out.end());
  args.push_back("-");
  std::string bytes;
  if (!RunSox(args, &bytes)) return {};
  std::vector<int16_t> samples(bytes.size() / 2);
  memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

double ToneSeconds(const std::vector<int16_t> &samples, double hz) {
  size_t blocks = 0;
  for (size_t i = 0; i + kBlock <= samples.size(); i += kBlock) blocks += ToneBlock(samples, i, hz);
  return double(blocks * kBlock) / 8000;
}

std::vector<int16_t> Room(const std::vector<int16_t> &played, int rate, double delayMs) {
  // Reflections: random signs, decaying by 60 dB in 60 ms; scaled to 1/4 of
  // the energy (-6 dB).
  const size_t delay = size_t(delayMs * rate / 1000), len = size_t(rate * 6 / 100);
  std::vector<double> h(len);
  uint32_t seed = 12345;
  double sum = 0;
  for (size_t i = 0; i < len; ++i) {
    seed = seed * 1664525 + 1013904223;
    h[i] = (i ? ((seed >> 16) & 1 ? 0.5 : -0.5) : 1.0) * pow(10, -3.0 * double(i) / double(len));
    sum += h[i] * h[i];
  }
  std::vector<int16_t> mic(played.size());
  for (size_t n = delay; n < mic.size(); ++n) {
    double y = 0;
    for (size_t i = 0; i < len && i + delay <= n; ++i) y += h[i] * played[n - delay - i];
    mic[n] = int16_t(std::clamp(y * 0.5 / sqrt(sum), -32768.0, 32767.0));
  }
  return mic;
}

double EnergyDb(const std::vector<int16_t> &s, int rate, double from, double to) {
  double e = 0;
  const size_t a = size_t(from * rate), b = std::min(s.size(), size_t(to * rate));
  for (size_t i = a; i < b; ++i) e += double(s[i]) * s[i];
  return 10 * log10(e / double(std::max<size_t>(b - a, 1)) / (32768.0 * 32768.0) + 1e-20);
}
