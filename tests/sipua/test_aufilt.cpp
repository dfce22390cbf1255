// The microphone's filters at a 16 kHz device, driven as a call drives them:
// every 20 ms the player's frame goes to the decode side, then the
// microphone's frame to the encode side. The resident and the visitor are
// espeak-ng voices, the room is the test support's, the street pink noise.
// Then a real call shows the chain those frames as the devices have them.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "../support/audio.h"
#include "aufilt.h"
#include "sipp.h"

namespace {

constexpr int kRate = 16000, kFrame = kRate / 50;

// `text` spoken by `voice`, repeated to `seconds`, its loudest 20 ms at
// `peakDb`.
std::vector<int16_t> Speech(const TempDir &dir, const std::string &text, const std::string &voice, double seconds,
                            double peakDb) {
  const std::string wav = dir.Path(voice + ".wav");
  Process espeak;
  if (!espeak.Start({"espeak-ng", "-v", voice, "-w", wav, text}) || !espeak.Wait(Millis(20000))) return {};
  const std::vector<int16_t> once = ReadMono(wav, kRate);
  if (once.empty()) return {};
  std::vector<int16_t> s(size_t(seconds * kRate));
  double peak = -200;
  for (size_t i = 0; i < s.size(); ++i) s[i] = once[i % once.size()];
  for (size_t i = 0; i + kFrame <= s.size(); i += kFrame) peak = std::max(peak, EnergyDb(s, 1, double(i), double(i + kFrame)));
  const double gain = pow(10, (peakDb - peak) / 20);
  for (auto &x : s) x = int16_t(x * gain);
  return s;
}

// The filters of `config` over `mic`, `played` being what the player played.
std::vector<int16_t> Filter(const std::string &config, const std::vector<int16_t> &played, std::vector<int16_t> mic) {
  TempDir dir("aufilt");
  struct aufilt_chain *chain = nullptr;
  const aufilt_prm prm = {kRate, 1};
  if (!dir.Write("config", config) || (conf_path_set(dir.path().c_str()), conf_configure()) || conf_modules() ||
      aufilt_chain_alloc(&chain, &prm, &prm) || !chain)
    return {};
  std::vector<int16_t> out(kFrame);
  for (size_t i = 0; i + kFrame <= mic.size(); i += kFrame) {
    out.assign(played.begin() + long(i), played.begin() + long(i + kFrame));
    auframe spk = {out.data(), kFrame, kRate, 1}, cap = {mic.data() + i, kFrame, kRate, 1};
    aufilt_chain_decode(chain, &spk);
    aufilt_chain_encode(chain, &cap);
  }
  mem_deref(chain);
  conf_close();
  return mic;
}

// What each side of a call's chain was given.
struct Seen {
  std::mutex lock;
  std::vector<int16_t> v;
} seenEnc, seenDec;

template <class St>
int ProbeUpdate(St **stp, void **, const aufilt *, const aufilt_prm *) {
  *stp = static_cast<St *>(mem_zalloc(sizeof(St), nullptr));
  return 0;
}
int Note(Seen &seen, const auframe *af) {
  std::lock_guard<std::mutex> hold(seen.lock);
  seen.v.insert(seen.v.end(), af->sampv, af->sampv + af->sampc);
  return 0;
}
aufilt probe = {LE_INIT, "probe", ProbeUpdate<aufilt_enc_st>, [](aufilt_enc_st *, auframe *af) { return Note(seenEnc, af); },
                ProbeUpdate<aufilt_dec_st>, [](aufilt_dec_st *, auframe *af) { return Note(seenDec, af); }};

}  // namespace

// In a call to a callee echoing the panel's RTP, the encode side gets the
// microphone's frames before the resampler (the 16 kHz file's own samples),
// the decode side exactly what the 48 kHz stereo speaker plays.
TEST(SipuaAufilt, ACallsFiltersSeeTheMicrophoneAndTheSpeakerAsTheyAre) {
  TempDir dir("aufilt-call");
  ASSERT_TRUE(MakeSines(dir.Path("mic.wav"), {440, 1300, 2900}, 3, kRate));
  SipuaLoop loop;
  ASSERT_TRUE(loop.Start("rtp_ports 20000-29999\nmodule aufile.so\naudio_source aufile," + dir.Path("mic.wav") +
                         "\naudio_player aufile," + dir.Path("heard.wav") + "\nauplay_srate 48000\nauplay_channels 2\n"));
  aufilt_register(baresip_aufiltl(), &probe);
  Sipp callee;
  ASSERT_TRUE(callee.Start(SippRun("callee.xml", 0, {"-mi", "127.0.0.1", "-mp", std::to_string(FreeUdpPort()), "-rtp_echo",
                                                     "-key", "codec", "0", "-key", "rtpmap", "a=rtpmap:0 PCMU/8000"})));
  struct ua *ua = nullptr;
  struct call *call = nullptr;
  const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(callee.port());
  ASSERT_EQ(0, loop.Locked([&] {
    return ua_alloc(&ua, "sip:panel@127.0.0.1:5060") || ua_connect(ua, &call, nullptr, uri.c_str(), VIDMODE_OFF);
  }));
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << callee.Output();
  // Some of the echo played.
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> hold(seenDec.lock);
    return std::count_if(seenDec.v.begin(), seenDec.v.end(), [](int16_t x) { return x > 1000; }) > 48000;
  }, Millis(10000)));
  loop.Locked([&] { ua_hangup(ua, call, 0, nullptr); });
  ASSERT_TRUE(loop.WaitEvent(UA_EVENT_CALL_CLOSED));
  aufilt_unregister(&probe);
  const std::vector<int16_t> mic = ReadMono(dir.Path("mic.wav"), kRate), heard = ReadMono(dir.Path("heard.wav"), 48000);
  ASSERT_GE(seenEnc.v.size(), size_t(kRate));
  EXPECT_NE(mic.end(), std::search(mic.begin(), mic.end(), seenEnc.v.begin(), seenEnc.v.begin() + kRate));
  // Each device's first frames may come before the chain is there.
  ASSERT_LE(seenDec.v.size() / 2, heard.size());
  ASSERT_GE(seenDec.v.size() / 2 + 4800, heard.size());
  const size_t skip = heard.size() - seenDec.v.size() / 2;
  size_t differ = 0;
  for (size_t i = 0; i < seenDec.v.size() / 2; ++i)
    differ += std::abs(heard[skip + i] - (seenDec.v[2 * i] + seenDec.v[2 * i + 1]) / 2) > 1;
  EXPECT_EQ(0u, differ);
}

// The resident speaks throughout; the microphone hears the room's echo of it,
// and from 6 s to 8 s the visitor too, as loud. After 2 s of convergence the
// echo sent is 25 dB under what the microphone heard, and the visitor loses
// at most 3 dB while both talk. The filters as shipped (the gain off); an
// 80 ms room needs the extended filter at the default delay.
TEST(SipuaAufilt, EchoIsCancelledAndTheVisitorKeptInDoubleTalk) {
  TempDir dir("voices");
  const std::vector<int16_t> resident = Speech(dir, "Hello, this is flat twelve. Who is at the door, please? "
                                                    "I will open it for you in a moment.", "en", 8, -10),
                             visitor = Speech(dir, "A parcel for you, it needs your signature.", "en+m3", 2, -10);
  ASSERT_FALSE(resident.empty() || visitor.empty());
  for (const double delayMs : {30.0, 80.0}) {
    const std::vector<int16_t> echo = Room(resident, kRate, delayMs);
    std::vector<int16_t> mic = echo;
    for (size_t i = 0; i < visitor.size(); ++i) mic[6 * kRate + i] = int16_t(mic[6 * kRate + i] + visitor[i]);
    const std::vector<int16_t> sent = Filter(
        "module webrtc_aec.so\nmodule speex_pp.so\nwebrtc_aec_extended_filter yes\nspeex_agc no\n", resident, mic);
    ASSERT_EQ(sent.size(), mic.size());
    const double erle = EnergyDb(echo, kRate, 2, 6) - EnergyDb(sent, kRate, 2, 6);
    const double kept = EnergyDb(sent, kRate, 6, 8) - EnergyDb(visitor, kRate, 0, 2);
    printf("room %.0f ms: echo %.1f dB down, visitor in double talk %+.1f dB\n", delayMs, erle, kept);
    EXPECT_GE(erle, 25) << delayMs;
    EXPECT_GE(kept, -3) << delayMs;
  }
}

// Pink noise at -30 dBFS, the visitor from 2 s to 5 s: the noise left after
// him is 10 dB lower, his speech (where it is 10 dB over the noise) within
// 3 dB; the gain is held.
TEST(SipuaAufilt, StreetNoiseIsSuppressedAndSpeechKept) {
  TempDir dir("street");
  const std::vector<int16_t> visitor = Speech(dir, "A parcel for you, it needs your signature.", "en+m3", 3, -10);
  Process sox;
  ASSERT_TRUE(sox.Start({"sox", "-R", "-q", "-n", "-r", std::to_string(kRate), "-b", "16", dir.Path("noise.wav"), "synth",
                         "8", "pinknoise"}) &&
              sox.Wait(Millis(20000)));
  std::vector<int16_t> noise = ReadMono(dir.Path("noise.wav"), kRate);
  ASSERT_GE(noise.size(), size_t(8 * kRate));
  const double gain = pow(10, (-30 - EnergyDb(noise, kRate, 0, 8)) / 20);
  for (auto &x : noise) x = int16_t(x * gain);
  std::vector<int16_t> mic = noise;
  for (size_t i = 0; i < visitor.size(); ++i) mic[2 * kRate + i] = int16_t(mic[2 * kRate + i] + visitor[i]);
  const std::vector<int16_t> sent = Filter("module speex_pp.so\nspeex_agc no\n", std::vector<int16_t>(mic.size()), mic);
  ASSERT_EQ(sent.size(), mic.size());
  double out = 0, in = 0;
  for (size_t i = 0; i + kFrame <= visitor.size(); i += kFrame)
    if (EnergyDb(visitor, 1, double(i), double(i + kFrame)) > -20) {
      const double at = double(2 * kRate + i);
      out += pow(10, EnergyDb(sent, 1, at, at + kFrame) / 10);
      in += pow(10, EnergyDb(mic, 1, at, at + kFrame) / 10);
    }
  const double floor = EnergyDb(noise, kRate, 6, 8) - EnergyDb(sent, kRate, 6, 8), speech = 10 * log10(out / in);
  printf("noise floor %.1f dB down, speech %+.1f dB\n", floor, speech);
  EXPECT_GE(floor, 10);
  EXPECT_NEAR(speech, 0, 3);
}
