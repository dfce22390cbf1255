// Pacing of the streamer datagrams over a long file and the CPU time the
// playback costs. Usage: bench_media [seconds of audio, default 60]
#include <unistd.h>

#include "../tests/unit/test_wav_fixture.h"
#include "context/context.h"
#include "figures.h"
#include "media/play.h"
#include "ornix.h"

int main(int argc, char **argv) {
  const int seconds = std::max(2, argc > 1 ? atoi(argv[1]) : 60);
  TempDir root("bench-media");
  ScopedEnv env("DORALIN_ROOT", root.path());
  WriteFile(root.Path("tmp/.keep"), "");
  StreamerSink sink(RootPath(STREAMER_SOCKET_PATH));
  if (!sink.ok()) return fprintf(stderr, "cannot bind the streamer socket\n"), 1;
  WavSpec w;
  w.data = Samples(static_cast<size_t>(seconds) * 16000);
  const std::string path = root.Path("long.wav");
  WriteFile(path, MakeWav(w));

  CallContext.assistantSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  SetState(ASSISTANT_ESTABLISHED, StateLog::Unlogged);
  timespec a, b;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
  const bool played = PlayWavFile(path.c_str(), ASSISTANT_ESTABLISHED);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
  const double cpuMs = double(b.tv_sec - a.tv_sec) * 1e3 + double(b.tv_nsec - a.tv_nsec) / 1e6;
  usleep(100000);
  close(CallContext.assistantSocket);

  auto got = sink.Take();
  const size_t expected = (w.data.size() + 1023) / 1024;
  if (!played || got.size() != expected)
    return fprintf(stderr, "played %zu of %zu datagrams (played: %d)\n", got.size(), expected, int(played)), 1;
  std::vector<double> periods, deviations;
  for (size_t i = 1; i < got.size(); ++i) {
    periods.push_back(std::chrono::duration<double, std::milli>(got[i].at - got[i - 1].at).count());
    deviations.push_back(std::fabs(periods.back() - 59.7) * 1000.0);
  }
  const double span = std::chrono::duration<double, std::milli>(got.back().at - got.front().at).count();
  printf("# %d s of 16-bit audio, %zu datagrams of 1024 bytes\n", seconds, got.size());
  Figure("streamer_period_mean", {span / double(got.size() - 1)}, "ms");
  Figure("streamer_period", periods, "ms");
  Figure("streamer_period_deviation_from_59.7", deviations, "us");
  Figure("play_cpu_per_audio_minute", {cpuMs * 60.0 / seconds}, "ms");
  return 0;
}
