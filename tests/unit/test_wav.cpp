// WAV header checks on real files, lying headers included, and playback of
// real files to a datagram socket standing in for the streamer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <optional>
#include <string>

#include "bus.h"  // brings the test support process.h (not the core one)
#include "context/context.h"
#include "media/play.h"
#include "media/wav.h"
#include "ornix.h"
#include "test_wav_fixture.h"

namespace {

// WavReadHeader's result on a file holding `content`.
bool Check(const std::string &content) {
  TempDir dir("wav");
  ScopedEnv root("DORALIN_ROOT", dir.path());  // the journal copies of its log lines
  EXPECT_TRUE(dir.Write("f.wav", content));
  FILE *f = fopen(dir.Path("f.wav").c_str(), "rb");
  WavHeader header{};
  const bool result = WavReadHeader(f, &header);
  fclose(f);
  return result;
}

}  // namespace

// Where a good file leaves the reader is checked by the samples the playback test sends.
TEST(WavCheck, FilesWithALyingFieldOrCutShortAreRefused) {
  WavSpec w;
  w.data = Samples(3200);
  EXPECT_TRUE(Check(MakeWav(w)));
  // Each a valid file with one field changed (two channels are refused in the phrases test).
  void (*const refused[])(WavSpec &) = {
      [](WavSpec &c) { c.rate = 16000; },
      [](WavSpec &c) { c.fmtSize = 18; },
      [](WavSpec &c) { c.format = 6; },
      [](WavSpec &c) { c.riff = "RIFX"; },
      [](WavSpec &c) { c.wave = "AVI "; },
      [](WavSpec &c) { c.before = "JUNK" + Le(0xFFFFFFF0u, 4); },  // skips past the end
      [](WavSpec &c) { c.blockAlign = 0; },  // empty or wrapped 16-bit pieces
      [](WavSpec &c) { c.blockAlign = 128; },
      [](WavSpec &c) { c.dataFirst = true; }};  // no leading "fmt ": the format is unknown
  for (size_t i = 0; i < std::size(refused); ++i) {
    WavSpec c = w;
    refused[i](c);
    EXPECT_FALSE(Check(MakeWav(c))) << i;
  }
  const std::string whole = MakeWav(w);
  for (size_t len = 0; len < 44; ++len) EXPECT_FALSE(Check(whole.substr(0, len))) << len;
}

TEST(WavPlay, SendsTheSampleDataInPiecesOrNothingAndStops) {
  TempDir root("play");
  ScopedEnv env("DORALIN_ROOT", root.path());
  ASSERT_TRUE(root.Write("tmp/.keep", ""));
  std::optional<StreamerSink> sink;  // emplace: the old one removes the socket path first
  auto play = [&](const WavSpec &w, CallState hold = ASSISTANT_ESTABLISHED) {
    EXPECT_TRUE(root.Write("f.wav", MakeWav(w)));
    return PlayWavFile(root.Path("f.wav").c_str(), hold);
  };
  auto sizes = [&](size_t count) {  // of the datagrams once `count` of them came
    EXPECT_TRUE(WaitFor([&] { return sink->Count() >= count; }, Millis(2000)));
    std::vector<size_t> out;
    for (auto &d : sink->Take()) out.push_back(d.bytes.size());
    return out;
  };
  sink.emplace(root.Path(STREAMER_SOCKET_PATH));
  SetState(ASSISTANT_ESTABLISHED, StateLog::Unlogged);
  WavSpec good;
  good.data = Samples(3200);
  good.before = Chunk("LIST", std::string(26, 'x')) + Chunk("fact", "abcde");  // odd size, no pad byte
  // Nothing is sent without a socket, data, a file or the state held.
  EXPECT_FALSE(play(good));
  CallContext.assistantSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  WavSpec w = good;
  w.dataSize = 0;
  EXPECT_TRUE(play(w));
  w.dataSize = 0x80000000LL;  // counted as a negative number of bytes
  EXPECT_TRUE(play(w));
  EXPECT_FALSE(PlayWavFile(root.Path("missing.wav").c_str(), ASSISTANT_ESTABLISHED));
  EXPECT_TRUE(play(good, NOTIFICATION_ESTABLISHED));
  usleep(100000);
  EXPECT_EQ(sink->Count(), 0u);

  EXPECT_TRUE(play(good));
  EXPECT_EQ(sizes(4), (std::vector<size_t>{1024, 1024, 1024, 128}));
  EXPECT_EQ(sink->Joined(), good.data);
  // 8-bit samples go 512 to a datagram; a data chunk claiming more than the
  // file holds ends at the end of the file.
  sink.emplace(root.Path(STREAMER_SOCKET_PATH));
  w.blockAlign = 1;
  w.data = Samples(1100, 3);
  w.dataSize = 100000;
  EXPECT_TRUE(play(w));
  EXPECT_EQ(sizes(3), (std::vector<size_t>{512, 512, 76}));
  EXPECT_EQ(sink->Joined(), w.data);

  // A state change ends a long playback (a stop: MediaDaemon.PhrasesForcedNotificationsAndAlarm).
  w = WavSpec();
  w.data = Samples(1024 * 100);  // 6.4 s of audio
  sink.emplace(root.Path(STREAMER_SOCKET_PATH));
  auto result = std::async(std::launch::async, [&] { return play(w); });
  const bool started = WaitFor([&] { return sink->Count() >= 2; }, Millis(3000));
  const size_t before = sink->Count();
  SetState(IDLE, StateLog::Unlogged);
  EXPECT_TRUE(result.get());
  ASSERT_TRUE(started);
  usleep(100000);
  // At most the datagram in flight (and one the sink had not taken yet).
  EXPECT_LE(sink->Count(), before + 2);
  std::vector<uint8_t> sent = sink->Joined();
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), w.data.begin()));

  sink.reset();  // no streamer: the first send fails and playback ends
  SetState(ASSISTANT_ESTABLISHED, StateLog::Unlogged);
  EXPECT_TRUE(play(good));
  close(CallContext.assistantSocket);
}
