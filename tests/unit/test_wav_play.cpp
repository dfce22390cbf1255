// Playback of real WAV files to a datagram socket standing in for the streamer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "context.h"
#include "media/play/play.h"
#include "ornix.h"
#include "bus.h"  // brings the test support process.h (not the core one)
#include "test_wav_fixture.h"

namespace {

// A temporary root with the streamer's socket and the daemon's sending socket.
struct PlayRoot {
  TempDir root{"play"};
  ScopedEnv env{"DORALIN_ROOT", root.path()};
  ScopedEnv logs{"DORALIN_LOG_STDERR", std::string("1")};
  bool dirs = WriteFile(root.Path("tmp/.keep"), "");
  std::unique_ptr<StreamerSink> sink = std::make_unique<StreamerSink>(RootPath(STREAMER_SOCKET_PATH));

  PlayRoot() {
    CallContext.assistantSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    CallContext.state = ASSISTANT_ESTABLISHED;
  }
  ~PlayRoot() {
    close(CallContext.assistantSocket);
    CallContext.assistantSocket = 0;
    CallContext.state = IDLE;
  }
  void NewSink() {
    sink.reset();  // its destructor removes the socket path
    sink = std::make_unique<StreamerSink>(RootPath(STREAMER_SOCKET_PATH));
  }
  std::string Wav(const std::string &name, const WavSpec &w) {
    std::string path = root.Path(name);
    EXPECT_TRUE(WriteFile(path, MakeWav(w)));
    return path;
  }
};

std::vector<size_t> Sizes(StreamerSink &sink) {
  std::vector<size_t> sizes;
  for (auto &d : sink.Take()) sizes.push_back(d.bytes.size());
  return sizes;
}

}  // namespace

TEST(WavPlay, SendsExactlyTheSampleDataInPieces) {
  PlayRoot r;
  ASSERT_TRUE(r.sink->ok());
  WavSpec w;
  w.data = Samples(3200);
  w.before = Chunk("LIST", "info");
  EXPECT_EQ(PlayWavFile(r.Wav("a.wav", w).c_str(), ASSISTANT_ESTABLISHED), 0);
  ASSERT_TRUE(WaitFor([&] { return r.sink->Count() >= 4; }, Millis(2000)));
  EXPECT_EQ(Sizes(*r.sink), (std::vector<size_t>{1024, 1024, 1024, 128}));
  EXPECT_EQ(r.sink->Joined(), w.data);

  // 8-bit samples go 512 to a datagram; a data chunk that claims more than
  // the file holds ends at the end of the file.
  r.NewSink();
  WavSpec b;
  b.blockAlign = 1;
  b.bits = 8;
  b.data = Samples(1100, 3);
  b.dataSize = 100000;
  EXPECT_EQ(PlayWavFile(r.Wav("b.wav", b).c_str(), ASSISTANT_ESTABLISHED), 0);
  ASSERT_TRUE(WaitFor([&] { return r.sink->Count() >= 3; }, Millis(2000)));
  EXPECT_EQ(Sizes(*r.sink), (std::vector<size_t>{512, 512, 76}));
  EXPECT_EQ(r.sink->Joined(), b.data);
}

TEST(WavPlay, NothingIsSentWithoutSocketFileHeaderStateOrData) {
  PlayRoot r;
  WavSpec w;
  w.data = Samples(2048);
  std::string good = r.Wav("good.wav", w);
  WavSpec stereo = w;
  stereo.channels = 2;
  WavSpec empty = w;
  empty.data.clear();
  WavSpec huge = w;
  huge.dataSize = 0x80000000LL;  // counted as a negative number of bytes

  EXPECT_EQ(PlayWavFile(r.root.Path("missing.wav").c_str(), ASSISTANT_ESTABLISHED), 1);
  EXPECT_EQ(PlayWavFile(r.Wav("stereo.wav", stereo).c_str(), ASSISTANT_ESTABLISHED), 1);
  EXPECT_EQ(PlayWavFile(good.c_str(), NOTIFICATION_ESTABLISHED), 0);  // state is not held
  EXPECT_EQ(PlayWavFile(r.Wav("empty.wav", empty).c_str(), ASSISTANT_ESTABLISHED), 0);
  EXPECT_EQ(PlayWavFile(r.Wav("huge.wav", huge).c_str(), ASSISTANT_ESTABLISHED), 0);
  int fd = CallContext.assistantSocket;
  CallContext.assistantSocket = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(PlayWavFile(good.c_str(), ASSISTANT_ESTABLISHED), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Ошибка проигрывание сообщения (сокет закрыт)"),
            std::string::npos);
  CallContext.assistantSocket = fd;
  usleep(100000);
  EXPECT_EQ(r.sink->Count(), 0u);

  // No streamer listening: the first send fails and playback ends.
  r.sink.reset();
  testing::internal::CaptureStderr();
  EXPECT_EQ(PlayWavFile(good.c_str(), ASSISTANT_ESTABLISHED), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Ошибка отправки аудиофайла в сокет"),
            std::string::npos);
}

TEST(WavPlay, StopAndStateChangeEndThePlayback) {
  PlayRoot r;
  WavSpec w;
  w.data = Samples(1024 * 100);  // 6.4 s of audio
  std::string path = r.Wav("long.wav", w);

  std::atomic<int> result{-1};
  std::thread player([&] { result = PlayWavFile(path.c_str(), ASSISTANT_ESTABLISHED); });
  bool started = WaitFor([&] { return r.sink->Count() >= 2; }, Millis(3000));
  size_t before = r.sink->Count();
  StopPlayback();
  player.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(result, 0);
  usleep(100000);
  // At most the datagram in flight (and one the sink had not taken yet).
  EXPECT_LE(r.sink->Count(), before + 2);

  // A new playback clears the stop; a state change ends it.
  r.NewSink();
  std::thread second([&] { result = PlayWavFile(path.c_str(), ASSISTANT_ESTABLISHED); });
  started = WaitFor([&] { return r.sink->Count() >= 2; }, Millis(3000));
  before = r.sink->Count();
  __atomic_store_n(&CallContext.state, IDLE, __ATOMIC_RELAXED);
  second.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(result, 0);
  usleep(100000);
  EXPECT_LE(r.sink->Count(), before + 2);
  std::vector<uint8_t> sent = r.sink->Joined();
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), w.data.begin()));
}
