// Pacing of the streamer datagrams over a 60 s file and the CPU time the
// playback costs. Usage: bench_media [seconds of audio, default 60]
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../tests/unit/test_wav_fixture.h"
#include "context.h"
#include "media/play/play.h"
#include "ornix.h"
#include "bus.h"  // brings the test support process.h (not the core one)

namespace {

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
  return v[std::min(i, v.size() - 1)];
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 60;
  if (seconds < 2) seconds = 2;
  TempDir root("bench-media");
  ScopedEnv env("DORALIN_ROOT", root.path());
  WriteFile(root.Path("tmp/.keep"), "");
  StreamerSink sink(RootPath(STREAMER_SOCKET_PATH));
  if (!sink.ok()) {
    fprintf(stderr, "cannot bind the streamer socket\n");
    return 1;
  }
  WavSpec w;
  w.data = Samples(static_cast<size_t>(seconds) * 16000);
  std::string path = root.Path("long.wav");
  WriteFile(path, MakeWav(w));

  CallContext.assistantSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  CallContext.state = ASSISTANT_ESTABLISHED;
  double cpu = 0;
  int result = -1;
  std::thread player([&] {
    double start = ThreadCpuSeconds();
    result = PlayWavFile(path.c_str(), ASSISTANT_ESTABLISHED);
    cpu = ThreadCpuSeconds() - start;
  });
  player.join();
  usleep(100000);
  close(CallContext.assistantSocket);

  auto got = sink.Take();
  size_t expected = (w.data.size() + 1023) / 1024;
  if (result != 0 || got.size() != expected) {
    fprintf(stderr, "played %zu of %zu datagrams (result %d)\n", got.size(), expected, result);
    return 1;
  }
  std::vector<double> periods, deviations;
  for (size_t i = 1; i < got.size(); ++i) {
    double ms = std::chrono::duration<double, std::milli>(got[i].at - got[i - 1].at).count();
    periods.push_back(ms);
    deviations.push_back(std::fabs(ms - 59.7) * 1000.0);
  }
  double mean = 0;
  for (double p : periods) mean += p;
  mean /= static_cast<double>(periods.size());
  double audioMinutes = static_cast<double>(seconds) / 60.0;
  printf("# %d s of 16-bit audio, %zu datagrams of 1024 bytes, mean period %.3f ms\n", seconds,
         got.size(), mean);
  printf("streamer_period_mean\t%.3f\t%.3f\tms\n", mean, mean);
  printf("streamer_period\t%.3f\t%.3f\tms\n", Percentile(periods, 0.5), Percentile(periods, 0.99));
  printf("streamer_period_deviation_from_59.7\t%.0f\t%.0f\tus\n", Percentile(deviations, 0.5),
         Percentile(deviations, 0.99));
  printf("play_cpu_per_audio_minute\t%.2f\t%.2f\tms\n", cpu * 1000 / audioMinutes,
         cpu * 1000 / audioMinutes);
  return 0;
}
