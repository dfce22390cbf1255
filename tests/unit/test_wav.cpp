// WAV header checks on real files, lying headers included.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "bus.h"  // brings the test support process.h (not the core one)
#include "media/wav/wav.h"
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
