#include "audio.h"

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

std::vector<int16_t> Read8k(const std::string &path, int rawRate) {
  std::vector<std::string> args = rawRate ? Raw(rawRate) : std::vector<std::string>{}, out = Raw(8000);
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
