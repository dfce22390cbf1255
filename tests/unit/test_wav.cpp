// WAV header checks on real files, lying headers included, and playback of
// real files to a datagram socket standing in for the streamer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "bus.h"  // brings the test support process.h (not the core one)
#include "context.h"
#include "media/play/play.h"
#include "media/wav/wav.h"
#include "ornix.h"
#include "test_wav_fixture.h"

namespace {

struct Checked {
  int result = -1;
  std::string log;
  WavHeader header{};
  long position = -1;
};

Checked Check(const std::string &content) {
  TempDir dir("wav");
  ScopedEnv root("DORALIN_ROOT", dir.path()), logs("DORALIN_LOG_STDERR", "1");
  EXPECT_TRUE(dir.Write("f.wav", content));
  Checked r;
  FILE *f = fopen(dir.Path("f.wav").c_str(), "rb");
  testing::internal::CaptureStderr();
  r.result = WavReadHeader(f, &r.header);
  r.log = testing::internal::GetCapturedStderr();
  r.position = ftell(f);
  fclose(f);
  return r;
}

}  // namespace

TEST(WavCheck, SupportedFilesArePositionedAtTheirSamplesOthersRefused) {
  WavSpec w;
  w.data = Samples(3200);
  w.before = Chunk("LIST", std::string(26, 'x')) + Chunk("fact", "abcde");  // odd size, no pad byte
  Checked ok = Check(MakeWav(w));
  EXPECT_EQ(ok.result, 0) << ok.log;
  EXPECT_EQ(ok.header.dataSize, 3200u);
  EXPECT_EQ(ok.position, 12 + 24 + (8 + 26) + (8 + 5) + 8);

  w.before.clear();
  const std::pair<void (*)(WavSpec &), const char *> refused[] = {
      {[](WavSpec &c) { c.channels = 2; }, "Неподдерживаемое количество каналов: 2"},
      {[](WavSpec &c) { c.rate = 16000; }, "Неподдерживаемая частота дискретизации: 16000"},
      {[](WavSpec &c) { c.fmtSize = 18; }, "Длина заголовка не соответствует PCM формату"},
      {[](WavSpec &c) { c.format = 6; }, "Аудио формат заголовка не соответствует PCM"},
      {[](WavSpec &c) { c.riff = "RIFX"; }, "поле задано неверно: RIFX"},
      {[](WavSpec &c) { c.wave = "AVI "; }, "поле задано неверно: AVI"},
      // A chunk claiming 4 GiB skips past the end; the walk then ends.
      {[](WavSpec &c) { c.before = "JUNK" + Le(0xFFFFFFF0u, 4); }, "Ошибка чтения id чанка"},
      // Zero or oversized blocks would give empty or wrapped 16-bit pieces.
      {[](WavSpec &c) { c.blockAlign = 0; }, "Ошибка чтения поля blockAlign"},
      {[](WavSpec &c) { c.blockAlign = 128; }, "Ошибка чтения поля blockAlign"},
      // Without a leading "fmt " the format is unknown.
      {[](WavSpec &c) { c.dataFirst = true; }, "Ошибка проверки заголовка аудиофайла"}};
  for (auto [change, text] : refused) {
    WavSpec c = w;
    change(c);
    Checked r = Check(MakeWav(c));
    EXPECT_EQ(r.result, 1) << text;
    EXPECT_NE(r.log.find(text), std::string::npos) << r.log;
  }
  // Cut anywhere in the header, the file is refused.
  const std::string whole = MakeWav(w);
  for (size_t len = 0; len < 44; ++len) EXPECT_EQ(Check(whole.substr(0, len)).result, 1) << len;
}

TEST(WavPlay, SendsTheSampleDataInPiecesOrNothingAndStops) {
  TempDir root("play");
  ScopedEnv env("DORALIN_ROOT", root.path());
  ASSERT_TRUE(root.Write("tmp/.keep", ""));
  std::unique_ptr<StreamerSink> sink;
  auto newSink = [&] {
    sink.reset();  // its destructor removes the socket path
    sink = std::make_unique<StreamerSink>(RootPath(STREAMER_SOCKET_PATH));
  };
  auto wav = [&](const std::string &name, const WavSpec &w) {
    EXPECT_TRUE(root.Write(name, MakeWav(w)));
    return root.Path(name);
  };
  auto play = [](const std::string &path, CallState hold = ASSISTANT_ESTABLISHED) {
    return PlayWavFile(path.c_str(), hold);
  };
  auto sizes = [&](size_t count) {  // of the datagrams once `count` of them came
    EXPECT_TRUE(WaitFor([&] { return sink->Count() >= count; }, Millis(2000)));
    std::vector<size_t> out;
    for (auto &d : sink->Take()) out.push_back(d.bytes.size());
    return out;
  };
  newSink();
  CallContext.assistantSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  CallContext.state = ASSISTANT_ESTABLISHED;
  WavSpec w;
  w.data = Samples(3200);
  w.before = Chunk("LIST", "info");
  const std::string good = wav("good.wav", w);
  // Nothing is sent without data, a file, the state held or a socket.
  w.dataSize = 0;
  EXPECT_EQ(play(wav("empty.wav", w)), 0);
  w.dataSize = 0x80000000LL;  // counted as a negative number of bytes
  EXPECT_EQ(play(wav("huge.wav", w)), 0);
  EXPECT_EQ(play(root.Path("missing.wav")), 1);
  EXPECT_EQ(play(good, NOTIFICATION_ESTABLISHED), 0);
  const int fd = CallContext.assistantSocket;
  CallContext.assistantSocket = -1;
  EXPECT_EQ(play(good), 1);
  CallContext.assistantSocket = fd;
  usleep(100000);
  EXPECT_EQ(sink->Count(), 0u);

  EXPECT_EQ(play(good), 0);
  EXPECT_EQ(sizes(4), (std::vector<size_t>{1024, 1024, 1024, 128}));
  EXPECT_EQ(sink->Joined(), w.data);
  // 8-bit samples go 512 to a datagram; a data chunk claiming more than the
  // file holds ends at the end of the file.
  newSink();
  w.blockAlign = 1;
  w.data = Samples(1100, 3);
  w.dataSize = 100000;
  EXPECT_EQ(play(wav("b.wav", w)), 0);
  EXPECT_EQ(sizes(3), (std::vector<size_t>{512, 512, 76}));
  EXPECT_EQ(sink->Joined(), w.data);

  // A stop or a state change ends a long playback.
  w = WavSpec();
  w.data = Samples(1024 * 100);  // 6.4 s of audio
  const std::string longer = wav("long.wav", w);
  for (bool byStop : {true, false}) {
    newSink();
    CallContext.state = ASSISTANT_ESTABLISHED;
    std::atomic<int> result{-1};
    std::thread player([&] { result = play(longer); });
    bool started = WaitFor([&] { return sink->Count() >= 2; }, Millis(3000));
    size_t before = sink->Count();
    if (byStop)
      StopPlayback();
    else
      CallContext.state = IDLE;
    player.join();
    ASSERT_TRUE(started);
    EXPECT_EQ(result, 0);
    usleep(100000);
    // At most the datagram in flight (and one the sink had not taken yet).
    EXPECT_LE(sink->Count(), before + 2) << byStop;
    std::vector<uint8_t> sent = sink->Joined();
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), w.data.begin()));
  }

  sink.reset();  // no streamer: the first send fails and playback ends
  CallContext.state = ASSISTANT_ESTABLISHED;
  EXPECT_EQ(play(good), 0);
  close(fd);
}
