// What the call's resampling costs: CPU time per minute of audio through
// sipua's resampler (speexdsp) for the rates a sound card or WAV file may
// have, each way, fed 20 ms at a time as the devices do; 5 rounds each.
#include <time.h>

#include "figures.h"
#include "resamp.h"

namespace {

double CpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

bool Measure(uint32_t irate, uint8_t ich, uint32_t orate, uint8_t och) {
  struct resamp *rs = nullptr;
  if (resamp_alloc(&rs, irate, ich, orate, och)) return false;
  const size_t inc = irate / 50 * ich;
  std::vector<int16_t> in(inc), out(resamp_outmax(rs, inc));
  for (size_t i = 0; i < inc; ++i) in[i] = int16_t(8000 * sin(double(i / ich) * 0.3));
  std::vector<double> perMinute;
  bool ok = true;
  for (int round = 0; round < 6 && ok; ++round) {  // the first warms up
    const double t = CpuMs();
    for (int k = 0; k < 60 * 50 && ok; ++k) {
      size_t outc = out.size();
      ok = !resamp_run(rs, out.data(), &outc, in.data(), in.size());
    }
    if (round) perMinute.push_back(CpuMs() - t);
  }
  mem_deref(rs);
  const std::string name = "resamp_" + std::to_string(irate) + (ich == 2 ? "s" : "") + "_to_" +
                           std::to_string(orate) + (och == 2 ? "s" : "");
  if (ok) Figure(name, perMinute, "ms/min");
  return ok;
}

}  // namespace

int main() {
  printf("# CPU per minute of audio, 20 ms chunks, 5 rounds\n");
  bool ok = true;
  for (uint32_t rate : {16000u, 22050u, 44100u, 48000u}) {
    ok = ok && Measure(rate, 1, 8000, 1) && Measure(8000, 1, rate, 1);
  }
  ok = ok && Measure(48000, 2, 8000, 1) && Measure(8000, 1, 48000, 2);
  return ok ? 0 : 1;
}
