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
#include <type_traits>

#include "bus.h"  // brings the test support process.h (not the core one)
#include "context.h"
#include "media/play/play.h"
#include "media/wav/wav.h"
#include "ornix.h"
#include "test_wav_fixture.h"

namespace {

const bool logToStderr = setenv("DORALIN_LOG_STDERR", "1", 1) == 0;

struct Checked {
  int result = -1;
  std::string log;
  WavHeader header{};
  long position = -1;
};

Checked Check(const std::string &content) {
  TempDir dir("wav");
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

// Refused, and the reason is in both logs.
testing::AssertionResult Refused(const WavSpec &w, const std::string &text) {
  Checked r = Check(MakeWav(w));
  if (r.result == 1 && r.log.find("L5 ") != std::string::npos && r.log.find("J5 0 ") != std::string::npos &&
      r.log.find(text) != std::string::npos)
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << "result " << r.result << ", log: " << r.log;
}

}  // namespace

TEST(WavCheck, SupportedFilesArePositionedAtTheirSamples) {
  ASSERT_TRUE(logToStderr);
  WavSpec w;
  w.data = Samples(3200);
  w.before = Chunk("LIST", std::string(26, 'x')) + Chunk("fact", "abcde");  // odd size, no pad byte
  Checked r = Check(MakeWav(w));
  EXPECT_EQ(r.result, 0) << r.log;
  EXPECT_EQ(r.header.dataSize, 3200u);
  EXPECT_EQ(r.position, 12 + 24 + (8 + 26) + (8 + 5) + 8);
}

TEST(WavCheck, UnsupportedAndLyingHeadersAreRefused) {
  WavSpec w;
  w.data = Samples(64);
  const std::pair<void (*)(WavSpec &), const char *> refused[] = {
      {[](WavSpec &c) { c.channels = 2; }, "Неподдерживаемое количество каналов: 2"},
      {[](WavSpec &c) { c.channels = 2; }, "Ошибка проверки заголовка аудиофайла"},
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
    EXPECT_TRUE(Refused(c, text)) << text;
  }
  // Cut anywhere in the header, the file is refused by the read that fell short.
  const std::string whole = MakeWav(w);
  EXPECT_NE(Check(whole.substr(0, whole.size() - 72)).log.find("Ошибка чтения id чанка"), std::string::npos);
  const std::pair<size_t, const char *> cuts[] = {
      {2, "chunkId"},        {6, "chunkSize"},  {10, "chunkId"},      {14, "subchunk1Id"},
      {18, "subchunk1Size"}, {21, "audioFormat"}, {23, "numChannels"}, {26, "sampleRate"},
      {30, "byteRate"},      {33, "blockAlign"}, {35, "bitsPerSample"}, {42, "размера чанка: data"}};
  for (auto [len, text] : cuts)
    EXPECT_NE(Check(whole.substr(0, len)).log.find(text), std::string::npos) << len;
  for (size_t len = 0; len < 44; ++len) EXPECT_EQ(Check(whole.substr(0, len)).result, 1) << len;
}

namespace {

// The playback thread reads the state while this one changes it: one atomic
// store, whether the field is a plain CallState or an atomic holder.
template <class S>
void SetState(S &state, CallState value) {
  if constexpr (std::is_enum_v<S>)
    __atomic_store_n(&state, value, __ATOMIC_RELAXED);
  else
    state = value;
}

// A temporary root with the streamer's socket and the daemon's sending socket.
struct PlayRoot {
  TempDir root{"play"};
  ScopedEnv env{"DORALIN_ROOT", root.path()};
  ScopedEnv logs{"DORALIN_LOG_STDERR", std::string("1")};
  std::unique_ptr<StreamerSink> sink;

  PlayRoot() {
    root.Write("tmp/.keep", "");
    NewSink();
    CallContext.assistantSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    CallContext.state = ASSISTANT_ESTABLISHED;
  }
  ~PlayRoot() { close(CallContext.assistantSocket); }
  void NewSink() {
    sink.reset();  // its destructor removes the socket path
    sink = std::make_unique<StreamerSink>(RootPath(STREAMER_SOCKET_PATH));
  }
  std::string Wav(const std::string &name, const WavSpec &w) {
    EXPECT_TRUE(root.Write(name, MakeWav(w)));
    return root.Path(name);
  }
  std::vector<size_t> Sizes() {
    std::vector<size_t> sizes;
    for (auto &d : sink->Take()) sizes.push_back(d.bytes.size());
    return sizes;
  }
  int Play(const std::string &path, CallState hold = ASSISTANT_ESTABLISHED, std::string *log = nullptr) {
    testing::internal::CaptureStderr();
    int result = PlayWavFile(path.c_str(), hold);
    std::string text = testing::internal::GetCapturedStderr();
    if (log) *log = text;
    return result;
  }
};

}  // namespace

TEST(WavPlay, SendsExactlyTheSampleDataInPieces) {
  PlayRoot r;
  ASSERT_TRUE(r.sink->ok());
  WavSpec w;
  w.data = Samples(3200);
  w.before = Chunk("LIST", "info");
  EXPECT_EQ(r.Play(r.Wav("a.wav", w)), 0);
  ASSERT_TRUE(WaitFor([&] { return r.sink->Count() >= 4; }, Millis(2000)));
  EXPECT_EQ(r.Sizes(), (std::vector<size_t>{1024, 1024, 1024, 128}));
  EXPECT_EQ(r.sink->Joined(), w.data);

  // 8-bit samples go 512 to a datagram; a data chunk claiming more than the
  // file holds ends at the end of the file.
  r.NewSink();
  w.blockAlign = 1;
  w.data = Samples(1100, 3);
  w.dataSize = 100000;
  EXPECT_EQ(r.Play(r.Wav("b.wav", w)), 0);
  ASSERT_TRUE(WaitFor([&] { return r.sink->Count() >= 3; }, Millis(2000)));
  EXPECT_EQ(r.Sizes(), (std::vector<size_t>{512, 512, 76}));
  EXPECT_EQ(r.sink->Joined(), w.data);
}

TEST(WavPlay, NothingIsSentWithoutSocketFileHeaderStateOrData) {
  PlayRoot r;
  WavSpec w;
  w.data = Samples(2048);
  std::string good = r.Wav("good.wav", w), log;
  w.channels = 2;
  EXPECT_EQ(r.Play(r.Wav("stereo.wav", w)), 1);
  w.channels = 1;
  w.dataSize = 0;
  EXPECT_EQ(r.Play(r.Wav("empty.wav", w)), 0);
  w.dataSize = 0x80000000LL;  // counted as a negative number of bytes
  EXPECT_EQ(r.Play(r.Wav("huge.wav", w)), 0);
  EXPECT_EQ(r.Play(r.root.Path("missing.wav")), 1);
  EXPECT_EQ(r.Play(good, NOTIFICATION_ESTABLISHED), 0);  // not the state held
  int fd = CallContext.assistantSocket;
  CallContext.assistantSocket = -1;
  EXPECT_EQ(r.Play(good, ASSISTANT_ESTABLISHED, &log), 1);
  EXPECT_NE(log.find("Ошибка проигрывание сообщения (сокет закрыт)"), std::string::npos);
  CallContext.assistantSocket = fd;
  usleep(100000);
  EXPECT_EQ(r.sink->Count(), 0u);

  r.sink.reset();  // no streamer: the first send fails and playback ends
  EXPECT_EQ(r.Play(good, ASSISTANT_ESTABLISHED, &log), 0);
  EXPECT_NE(log.find("Ошибка отправки аудиофайла в сокет"), std::string::npos);
}

TEST(WavPlay, StopAndStateChangeEndThePlayback) {
  PlayRoot r;
  WavSpec w;
  w.data = Samples(1024 * 100);  // 6.4 s of audio
  std::string path = r.Wav("long.wav", w);
  for (bool byStop : {true, false}) {
    r.NewSink();
    CallContext.state = ASSISTANT_ESTABLISHED;
    std::atomic<int> result{-1};
    std::thread player([&] { result = PlayWavFile(path.c_str(), ASSISTANT_ESTABLISHED); });
    bool started = WaitFor([&] { return r.sink->Count() >= 2; }, Millis(3000));
    size_t before = r.sink->Count();
    if (byStop) StopPlayback();
    else SetState(CallContext.state, IDLE);
    player.join();
    ASSERT_TRUE(started);
    EXPECT_EQ(result, 0);
    usleep(100000);
    // At most the datagram in flight (and one the sink had not taken yet).
    EXPECT_LE(r.sink->Count(), before + 2) << byStop;
    std::vector<uint8_t> sent = r.sink->Joined();
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), w.data.begin()));
  }
}
