// WAV header checks on real files, lying headers included.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/wav/wav.h"
#include "bus.h"  // brings the test support process.h (not the core one)
#include "test_wav_fixture.h"

namespace {

const bool logToStderr = setenv("DORALIN_LOG_STDERR", "1", 1) == 0;

struct CheckResult {
  int result = -1;
  std::string log;
  WavHeader header{};
  long position = -1;
};

CheckResult Check(const std::string &content) {
  TempDir dir("wav");
  std::string path = dir.Path("f.wav");
  EXPECT_TRUE(WriteFile(path, content));
  CheckResult r;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return r;
  testing::internal::CaptureStderr();
  r.result = WavReadHeader(f, &r.header);
  r.log = testing::internal::GetCapturedStderr();
  r.position = ftell(f);
  fclose(f);
  return r;
}

#define EXPECT_REFUSED(r, text)                                   \
  do {                                                            \
    EXPECT_EQ((r).result, 1);                                     \
    EXPECT_NE((r).log.find(text), std::string::npos) << (r).log;  \
  } while (0)

}  // namespace

TEST(WavCheck, SupportedFilesArePositionedAtTheirSamples) {
  ASSERT_TRUE(logToStderr);
  WavSpec w;
  w.data = Samples(3200);
  w.before = Chunk("LIST", std::string(26, 'x')) + Chunk("fact", "abcde");  // odd size, no pad
  CheckResult r = Check(MakeWav(w));
  EXPECT_EQ(r.result, 0) << r.log;
  EXPECT_EQ(r.header.dataSize, 3200u);
  EXPECT_EQ(r.header.blockAlign, 2);
  EXPECT_EQ(r.header.bitsPerSample, 16);
  EXPECT_EQ(r.position, 12 + 24 + (8 + 26) + (8 + 5) + 8);

  // WavPrepare hands out 512-sample pieces: 512 bytes for 8-bit samples.
  TempDir dir("wav");
  w.blockAlign = 1;
  w.bits = 8;
  ASSERT_TRUE(WriteFile(dir.Path("8.wav"), MakeWav(w)));
  FILE *f = fopen(dir.Path("8.wav").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  WavHeader h{};
  uint16_t perRead = 0, size = 0;
  uint32_t dataSize = 0;
  EXPECT_EQ(WavPrepare(&h, f, &perRead, &size, &dataSize), 1);
  EXPECT_EQ(perRead, 512);
  EXPECT_EQ(size, 512);
  EXPECT_EQ(dataSize, 3200u);
  fclose(f);
}

TEST(WavCheck, UnsupportedFormatsAreRefusedWithTheirReason) {
  WavSpec w;
  w.data = Samples(100);
  WavSpec stereo = w;
  stereo.channels = 2;
  EXPECT_REFUSED(Check(MakeWav(stereo)), "Неподдерживаемое количество каналов: 2");
  WavSpec fast = w;
  fast.rate = 16000;
  EXPECT_REFUSED(Check(MakeWav(fast)), "Неподдерживаемая частота дискретизации: 16000");
  WavSpec ext = w;
  ext.fmtSize = 18;
  EXPECT_REFUSED(Check(MakeWav(ext)), "Длина заголовка не соответствует PCM формату");
  WavSpec alaw = w;
  alaw.format = 6;
  EXPECT_REFUSED(Check(MakeWav(alaw)), "Аудио формат заголовка не соответствует PCM");
  WavSpec rifx = w;
  rifx.riff = "RIFX";
  EXPECT_REFUSED(Check(MakeWav(rifx)), "Ошибка чтения поля chunkId или поле задано неверно: RIFX");
  WavSpec avi = w;
  avi.wave = "AVI ";
  EXPECT_REFUSED(Check(MakeWav(avi)), "поле задано неверно: AVI");
  EXPECT_REFUSED(Check(MakeWav(stereo)), "Ошибка проверки заголовка аудиофайла");
}

TEST(WavCheck, LyingHeadersNeverReadPastTheFile) {
  WavSpec w;
  w.data = Samples(64);

  WavSpec noData = w;
  std::string file = MakeWav(noData);
  file.resize(file.size() - 8 - 64);  // drop the data chunk
  EXPECT_REFUSED(Check(file), "Ошибка чтения id чанка");

  // A chunk claiming 4 GiB: the skip lands past the end, the walk ends.
  WavSpec huge = w;
  huge.before = "JUNK";
  PutLe(huge.before, 0xFFFFFFF0u, 4);
  EXPECT_REFUSED(Check(MakeWav(huge)), "Ошибка чтения id чанка");

  // Zero or oversized blocks would give empty or wrapped pieces.
  WavSpec zero = w;
  zero.blockAlign = 0;
  EXPECT_REFUSED(Check(MakeWav(zero)), "Ошибка чтения поля blockAlign");
  WavSpec wide = w;
  wide.blockAlign = 128;
  EXPECT_REFUSED(Check(MakeWav(wide)), "Ошибка чтения поля blockAlign");

  // Data before "fmt ": the format is unknown, so the file is refused.
  WavSpec first = w;
  first.dataFirst = true;
  EXPECT_REFUSED(Check(MakeWav(first)), "Ошибка проверки заголовка аудиофайла");

  // Every truncation inside the header is refused by the read that fell short.
  const std::string whole = MakeWav(w);
  const char *expected[] = {
      "chunkId",           "chunkId",           "chunkId",           "chunkId",
      "chunkSize",         "chunkSize",         "chunkSize",         "chunkSize",
      "chunkId",           "chunkId",           "chunkId",           "chunkId",
      "subchunk1Id",       "subchunk1Id",       "subchunk1Id",       "subchunk1Id",
      "subchunk1Size",     "subchunk1Size",     "subchunk1Size",     "subchunk1Size",
      "audioFormat",       "audioFormat",       "numChannels",       "numChannels",
      "sampleRate",        "sampleRate",        "sampleRate",        "sampleRate",
      "byteRate",          "byteRate",          "byteRate",          "byteRate",
      "blockAlign",        "blockAlign",        "bitsPerSample",     "bitsPerSample",
      "id чанка",          "id чанка",          "id чанка",          "id чанка",
      "размера чанка: data", "размера чанка: data", "размера чанка: data", "размера чанка: data"};
  for (size_t len = 0; len < 44; ++len) {
    CheckResult r = Check(whole.substr(0, len));
    EXPECT_EQ(r.result, 1) << "length " << len;
    EXPECT_NE(r.log.find(expected[len]), std::string::npos) << "length " << len << ": " << r.log;
  }
}
