// Playback of real WAV files to a datagram socket standing in for the streamer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "bus.h"  // brings the test support process.h (not the core one)
#include "context.h"
#include "media/play/play.h"
#include "ornix.h"
#include "test_wav_fixture.h"

namespace {

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
    else __atomic_store_n(&CallContext.state, IDLE, __ATOMIC_RELAXED);
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
