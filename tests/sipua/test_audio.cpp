// Calls whose audio is heard. The panel (sipua) plays a 1 kHz tone from a
// 48 kHz file and records what it hears; the resident is Debian's baresip
// (a 440 Hz tone back, keys both ways) or a sipp callee that answers with
// PCMA or with a bare static payload type 0 and then holds the call; the
// telephone band goes out and comes back from WAV files and ALSA's file
// plugin (the panel's microphone and speaker) at the rates a card or file
// may have; wideband (G.722, Opus) both ways with baresip; then a stream of
// tones impaired packet by packet (lost, late, reordered, doubled, padded,
// renumbered, paused, jittered; lost Opus) as the panel hears it.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <mutex>
#include <thread>

#include <opus/opus.h>
#include <rem/rem_g711.h>

#include "audio.h"
#include "rtp_peer.h"
#include "sipp.h"

namespace {

double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Panel {
  TempDir dir{"sipua-audio"};
  SipuaLoop loop;
  struct ua *ua = nullptr;

  // Audio devices as config lines; the default plays tone.wav and records
  // into heard.wav.
  bool Start(std::string devices = "") {
    if (devices.empty())
      devices = "module aufile.so\naudio_source aufile," + dir.Path("tone.wav") + "\naudio_player aufile," +
                dir.Path("heard.wav") + "\n";
    return MakeTone(dir.Path("tone.wav"), 1000, 4.5, 48000) && loop.Start("rtp_ports 20000-29999\n" + devices) &&
           !loop.Locked([&] { return ua_alloc(&ua, "sip:panel@127.0.0.1:5060"); });
  }
  struct call *Dial(int port) {
    struct call *call = nullptr;
    const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(port);
    return loop.Locked([&] { return ua_connect(ua, &call, nullptr, uri.c_str(), VIDMODE_OFF); }) ? nullptr : call;
  }
  // Null unless the call is answered.
  struct call *Call(int port) {
    const int established = loop.Count(UA_EVENT_CALL_ESTABLISHED);
    struct call *call = Dial(port);
    return call && loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED, established + 1) ? call : nullptr;
  }
  // The callee ends the call; then the recording is complete.
  bool WaitClosed(int closed) { return loop.WaitEvent(UA_EVENT_CALL_CLOSED, closed, Millis(15000)); }
  std::vector<int16_t> Heard() { return Read8k(dir.Path("heard.wav")); }
  std::vector<int16_t> Heard16k() { return ReadMono(dir.Path("heard.wav"), 16000); }
};

// A callee's media port on 127.0.0.1 (its SDP names it for RTCP too): every
// RTP packet is echoed to its sender and noted with its arrival time, every
// sender report with the time it carries.
class EchoSocket {
 public:
  struct Packet {
    double ms;  // wall clock
    uint16_t seq;
    uint32_t ts;
    bool rtcp;
  };

  EchoSocket() : port_(FreeUdpPort()), fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in sa = Loopback(port_);
    if (bind(fd_, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) thread_ = std::thread([this] { Run(); });
  }
  ~EchoSocket() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  std::vector<Packet> Packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }

 private:
  void Run() {
    uint8_t buf[2048];
    for (const double end = WallMs() + 60000; !stop_ && WallMs() < end;) {
      pollfd p = {fd_, POLLIN, 0};
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = poll(&p, 1, 20) == 1 ? recvfrom(fd_, buf, sizeof buf, 0, (sockaddr *)&from, &len) : -1;
      // RTP: sequence number and timestamp; an SR: its NTP time (seconds
      // since 1900, 32-bit fraction) and RTP timestamp. Other RTCP is left.
      const bool sr = n >= 28 && buf[1] == 200;
      if (n < 12 || (!sr && buf[1] >= 192 && buf[1] <= 223)) continue;
      if (!sr) sendto(fd_, buf, size_t(n), 0, (sockaddr *)&from, len);
      auto word = [&](int at) { return ntohl(*reinterpret_cast<const uint32_t *>(buf + at)); };
      const double ms = sr ? (double(word(8)) - 2208988800.0 + word(12) / 4294967296.0) * 1e3 : WallMs();
      std::lock_guard<std::mutex> lock(mutex_);
      packets_.push_back({ms, uint16_t(buf[2] << 8 | buf[3]), word(sr ? 16 : 4), sr});
    }
  }

  const int port_, fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Packet> packets_;
  std::thread thread_;
};

// Wall-clock time of the first INVITE a sipp callee sent (its re-INVITE), from
// its message log: the entry "----- YYYY-MM-DD HH:MM:SS.uuuuuu" that has
// "message sent" and the INVITE.
double ReinviteSentMs(const std::string &log) {
  for (size_t at = log.find("message sent"); at != std::string::npos; at = log.find("message sent", at + 1)) {
    if (log.substr(at, log.find("\n-----", at) - at).find("\nINVITE ") == std::string::npos) continue;
    tm t{};
    const char *rest = strptime(log.c_str() + log.rfind("----- ", at) + 6, "%Y-%m-%d %H:%M:%S", &t);
    t.tm_isdst = -1;
    return rest ? double(mktime(&t)) * 1e3 + atof(rest) * 1e3 : 0;
  }
  return 0;
}

// A sipp callee with payload type `codec` that re-offers with `hold` added
// (a=sendonly: holds the call) `holdAfterMs` after the answer and then hangs up; its RTP (and, when the
// test's socket takes it, its RTCP) goes to `mport`, echoed by sipp itself
// when `echo`.
SippRun HoldingCallee(int codec, const std::string &rtpmap, int mport, bool echo, int holdAfterMs,
                      const char *hold = "a=sendonly") {
  SippRun run("callee_media.xml", 0, {"-key", "codec", std::to_string(codec), "-key", "rtpmap",
                                      rtpmap + (echo ? "" : "\r\na=rtcp:" + std::to_string(mport)), "-key", "mport",
                                      std::to_string(mport), "-key", "hold", hold, "-set", "hangup", "1",
                                      "-set", "later", "1", "-d", std::to_string(holdAfterMs), "-mi", "127.0.0.1"});
  if (echo) run.args.insert(run.args.end(), {"-mp", std::to_string(mport), "-rtp_echo"});
  return run;
}

// One call's RTP at `media`, held by the callee whose message log is `log`:
// numbered as RFC 3550 says (a packet's worth of timestamp per packet, more if
// a stalled loop skipped frames), sent evenly every `ptime` ms, not in bursts
// (a few late wake-ups aside), and sent until the hold, no longer, by the
// stream's own clock; with `report`, a sender report on that clock too.
void ExpectSentUntilHold(EchoSocket &media, const std::string &log, size_t packets, bool report, int ptime) {
  std::vector<EchoSocket::Packet> rtp, sr;
  for (const auto &p : media.Packets()) (p.rtcp ? sr : rtp).push_back(p);
  ASSERT_GT(rtp.size(), packets);
  const uint32_t step = 8 * uint32_t(ptime);
  size_t uneven = 0;
  for (size_t i = 1; i < rtp.size(); ++i) {
    ASSERT_EQ(uint16_t(rtp[i - 1].seq + 1), rtp[i].seq) << i;
    ASSERT_TRUE(rtp[i].ts - rtp[i - 1].ts >= step && (rtp[i].ts - rtp[i - 1].ts) % step == 0) << i;
    uneven += std::abs(rtp[i].ms - rtp[i - 1].ms - ptime) > ptime / 4.0;
  }
  EXPECT_LT(uneven, rtp.size() / 5) << "of " << rtp.size() << " packets at ptime " << ptime;
  // The stream's clock: a packet's timestamp against its earliest possible
  // arrival (a late reader here only makes arrivals later).
  double start = rtp[0].ms;
  for (const auto &p : rtp) start = std::min(start, p.ms - (p.ts - rtp[0].ts) / 8.0);
  auto due = [&](uint32_t ts) { return start + (ts - rtp[0].ts) / 8.0; };
  if (report) {
    ASSERT_FALSE(sr.empty());
    EXPECT_NEAR(due(sr[0].ts), sr[0].ms, 100);
  }
  const double hold = ReinviteSentMs(log);
  ASSERT_GT(hold, 0) << log;
  EXPECT_NEAR(due(rtp.back().ts), hold, 100);
}

// The telephone band as eight equal tones, and a probe above it that the
// 8 kHz codec cannot carry (folded down, it would land at 2 kHz).
const std::vector<int> kBand = {300, 740, 1190, 1630, 2070, 2510, 2960, 3400};
constexpr int kProbe = 6000;

bool MakeBand(const std::string &path, int rate, int ch = 1) {
  std::vector<int> hz = kBand;
  if (rate > 2 * kProbe) hz.push_back(kProbe);
  return MakeSines(path, hz, 3.5, rate, ch);
}

// What a resampler on either side of the codec would spoil, in the audio
// `heard` back at `rate` against the file `sent`: every tone within 1 dB of
// its level in the file; images of the codec's rate and the probe's alias at
// least 40 dB below it.
void ExpectBand(const std::vector<int16_t> &sent, const std::vector<int16_t> &heard, int rate) {
  const double from = 0.8, seconds = 1.5;  // well inside the echoed tones
  ASSERT_GT(heard.size(), size_t((from + seconds) * rate));
  double quietest = 0;
  for (int f : kBand) {
    const double level = LevelDb(sent, rate, f, from, seconds);
    quietest = std::min(quietest, level);
    EXPECT_NEAR(level, LevelDb(heard, rate, f, from, seconds), 1.0) << f << " Hz at " << rate << " Hz";
    for (int image : {8000 - f, 8000 + f}) {
      if (image >= rate / 2) continue;
      EXPECT_LT(LevelDb(heard, rate, image, from, seconds), level - 40) << image << " Hz";
    }
  }
  if (rate > 2 * kProbe) {
    EXPECT_LT(LevelDb(heard, rate, 8000 - kProbe, from, seconds), quietest - 40) << rate;
  }
}

}  // namespace

TEST(SipuaAudio, TonesBothWaysWithBaresipAndHoldingSippCallees) {
  Panel panel;
  ASSERT_TRUE(panel.Start("module opus.so\nmodule g711.so\nmodule aufile.so\naudio_source aufile," +
                          panel.dir.Path("tone.wav") + "\naudio_player aufile," + panel.dir.Path("heard.wav") + "\n"));
  std::atomic<uint16_t> closedCode{0};
  panel.loop.onEvent = [&](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_CLOSED) closedCode = call_scode(e.call);
  };

  // Debian's baresip answers, plays 440 Hz and records (keys both ways:
  // SipuaOutgoing).
  TempDir resident("resident");
  ASSERT_TRUE(MakeTone(resident.Path("voice.wav"), 440, 8));
  BaresipPeer peer;
  peer.audioSource = "aufile," + resident.Path("voice.wav");
  peer.record = true;
  ASSERT_TRUE(peer.Start("1201", true));
  struct call *call = panel.Call(peer.sipPort());
  ASSERT_TRUE(call) << peer.Output();
  std::this_thread::sleep_for(Millis(2500));
  panel.loop.Locked([&] { ua_hangup(panel.ua, call, 0, nullptr); });
  ASSERT_TRUE(peer.WaitControl("CALL_CLOSED", Millis(3000)));
  const std::vector<int16_t> atResident = Read8k(peer.Recording()), atPanel = panel.Heard();
  EXPECT_GT(ToneSeconds(atResident, 1000), 1.5) << peer.Recording();
  EXPECT_LT(ToneSeconds(atResident, 440), 0.1);
  EXPECT_GT(ToneSeconds(atPanel, 440), 1.5);
  EXPECT_LT(ToneSeconds(atPanel, 1000), 0.1);

  // A callee whose answer has no codec in common is ACKed and hung up, and
  // the close says why.
  Sipp noCodec;
  ASSERT_TRUE(
      noCodec.Start(SippRun("callee.xml", 0, {"-key", "codec", "18", "-key", "rtpmap", "a=rtpmap:18 G729/8000"})));
  ASSERT_TRUE(panel.Dial(noCodec.port()));
  ASSERT_TRUE(panel.WaitClosed(2)) << noCodec.Output();
  EXPECT_EQ(0, noCodec.Wait()) << noCodec.Output();
  EXPECT_EQ("No common audio codecs", panel.loop.Last(UA_EVENT_CALL_CLOSED).prm);
  EXPECT_EQ(488, closedCode.load());
  EXPECT_EQ(1, panel.loop.Count(UA_EVENT_CALL_ESTABLISHED));
  // An answer whose audio is at a multicast group ends the call the same way.
  Sipp multicast;
  ASSERT_TRUE(multicast.Start(SippRun("callee.xml", 0, {"-key", "codec", "0", "-key", "rtpmap", "c=IN IP4 224.1.2.3"})));
  ASSERT_TRUE(panel.Dial(multicast.port()));
  ASSERT_TRUE(panel.WaitClosed(3)) << multicast.Output();
  EXPECT_EQ(0, multicast.Wait()) << multicast.Output();
  EXPECT_EQ("Unusable media address", panel.loop.Last(UA_EVENT_CALL_CLOSED).prm);

  // PCMA only in packets of 10 ms, the file's thread sending: the tone comes
  // back and the hold stops the sending at once.
  {
    EchoSocket media;
    Sipp pcma;
    ASSERT_TRUE(pcma.Start(HoldingCallee(8, "a=rtpmap:8 PCMA/8000\r\na=ptime:10", media.port(), false, 1500)));
    ASSERT_TRUE(panel.Call(pcma.port())) << pcma.Output();
    ASSERT_TRUE(panel.WaitClosed(4)) << pcma.Output();
    EXPECT_EQ(0, pcma.Wait()) << pcma.Output();
    EXPECT_GT(ToneSeconds(panel.Heard(), 1000), 0.8);
    ExpectSentUntilHold(media, pcma.Output(), 100, false, 10);
  }

  // Opus asked for in packets of 30 ms, a length it has no frame for: the
  // panel sends 20 ms packets rather than none.
  {
    EchoSocket media;
    Sipp opus;
    ASSERT_TRUE(opus.Start(HoldingCallee(96, "a=rtpmap:96 opus/48000/2\r\na=ptime:30", media.port(), false, 1500)));
    ASSERT_TRUE(panel.Call(opus.port())) << opus.Output();
    ASSERT_TRUE(panel.WaitClosed(5)) << opus.Output();
    EXPECT_EQ(0, opus.Wait()) << opus.Output();
    size_t frames20 = 0;
    const auto packets = media.Packets();
    for (size_t i = 1; i < packets.size(); ++i)
      frames20 += !packets[i].rtcp && !packets[i - 1].rtcp && packets[i].ts - packets[i - 1].ts == 960;
    EXPECT_GT(frames20, 50u);
  }

  // Payload type 0 without rtpmap, packets of 30 ms: the file ends before
  // the hold, so the loop's timer takes the sending over, numbered on; a
  // sender report comes.
  EchoSocket media;
  Sipp bare;
  ASSERT_TRUE(bare.Start(HoldingCallee(0, "a=ptime:30", media.port(), false, 5300)));
  ASSERT_TRUE(panel.Call(bare.port())) << bare.Output();
  ASSERT_TRUE(panel.WaitClosed(6)) << bare.Output();
  EXPECT_EQ(0, bare.Wait()) << bare.Output();
  EXPECT_GT(ToneSeconds(panel.Heard(), 1000), 3.5);
  ExpectSentUntilHold(media, bare.Output(), 150, true, 30);

  // A re-offer asks for packets of 10 ms instead of 20 while the file plays:
  // from then on one leaves every 10 ms, not two every 20.
  EchoSocket resized;
  Sipp reoffer;
  ASSERT_TRUE(reoffer.Start(HoldingCallee(8, "a=rtpmap:8 PCMA/8000", resized.port(), false, 300, "a=ptime:10")));
  ASSERT_TRUE(panel.Call(reoffer.port())) << reoffer.Output();
  ASSERT_TRUE(panel.WaitClosed(6)) << reoffer.Output();
  EXPECT_EQ(0, reoffer.Wait()) << reoffer.Output();
  std::vector<double> sent;
  for (const auto &p : resized.Packets())
    if (!p.rtcp && p.ms > ReinviteSentMs(reoffer.Output()) + 100) sent.push_back(p.ms);
  ASSERT_GT(sent.size(), 20u);
  size_t uneven = 0;
  for (size_t i = 1; i < sent.size(); ++i) uneven += std::abs(sent[i] - sent[i - 1] - 10) > 2.5;
  EXPECT_LT(uneven, sent.size() / 5);
}

// The resident's media socket is the test's, and so are two strangers' (another
// port of 127.0.0.1, and 127.0.0.2) that send key 1, a 2 kHz tone with a new
// SSRC in every packet, and RTCP. Only the resident is heard: its 440 Hz and
// its key 2, raised once though its packets repeat and its start comes late; a
// re-offer of a multicast group is refused and the call goes on. Then a silent
// resident's call ends at the RTP timeout, the strangers' RTCP notwithstanding.
// (The panel's RTCP port is its RTP port + 1.)
TEST(SipuaAudio, OnlyTheCallsPeerIsHeard) {
  Panel panel;
  ASSERT_TRUE(panel.Start());
  std::mutex mutex;
  std::string keys;
  panel.loop.onEvent = [&](const UaEvent &e) {
    std::lock_guard<std::mutex> lock(mutex);
    if (e.ev == UA_EVENT_CALL_DTMF_START) keys += e.prm;
  };
  RtpPeer resident("127.0.0.1"), strangers[] = {RtpPeer("127.0.0.1"), RtpPeer("127.0.0.2")};
  strangers[1].ssrc = 0x10000;
  const std::string mport = std::to_string(LocalPort(resident.fd));
  auto callee = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"-key", "codec", "0", "-key", "rtpmap", "a=rtcp:" + mport, "-key", "mport",
                                     mport, "-mi", "127.0.0.1"};
    args.insert(args.end(), more.begin(), more.end());
    return SippRun("callee_media.xml", 0, args);
  };
  Sipp sipp;
  ASSERT_TRUE(sipp.Start(callee({"-key", "hold", "c=IN IP4 224.1.2.3", "-set", "later", "1", "-d", "2500"})));
  ASSERT_TRUE(panel.Call(sipp.port())) << sipp.Output();
  ASSERT_TRUE(WaitFor([&] { return resident.Listen(20), !resident.heard.empty(); }, Millis(5000)));
  for (auto &s : strangers) s.panel = resident.panel;
  // For 1.2 s the second stranger sends with a new SSRC in every packet;
  // then for 0.4 s the resident pauses and the first stranger plays.
  for (int i = 0; i < 200 && panel.loop.Count(UA_EVENT_CALL_CLOSED) == 0; ++i) {
    if (i < 60 || i >= 80) resident.Tone(440);
    if (i < 60) strangers[1].ssrc++, strangers[1].Tone(2000);
    if (i >= 60 && i < 80) strangers[0].Tone(2000);
    if (i == 20)
      for (auto &s : strangers) s.Press(1, {false, false, true, true, true});
    if (i == 40) resident.Press(2, {false, false, true, true, true, false});
    resident.Listen(20);
  }
  ASSERT_TRUE(panel.WaitClosed(1)) << sipp.Output();
  EXPECT_EQ(0, sipp.Wait()) << sipp.Output();
  EXPECT_NE(sipp.Output().find("SIP/2.0 488"), std::string::npos);
  EXPECT_GT(resident.heard.back(), ReinviteSentMs(sipp.Output()) + 300);
  EXPECT_EQ(keys, "2");
  EXPECT_GT(ToneSeconds(panel.Heard(), 440), 1.8);
  EXPECT_LT(ToneSeconds(panel.Heard(), 2000), 0.1);
  sipua_counters c;
  sipua_counters_get(&c);
  EXPECT_GE(c.media_dropped, 90u);

  // Silent resident, talkative strangers: RTCP to the panel's RTCP port.
  Sipp silent;
  ASSERT_TRUE(silent.Start(callee({"-key", "hold", "a=sendonly"})));
  struct call *call = panel.Call(silent.port());
  ASSERT_TRUE(call) << silent.Output();
  panel.loop.Locked([&] { call_enable_rtp_timeout(call, 1000); });
  resident.heard.clear();
  ASSERT_TRUE(WaitFor([&] { return resident.Listen(20), !resident.heard.empty(); }, Millis(5000)));
  for (auto &s : strangers) s.panel = resident.panel;
  for (int i = 0; i < 300 && panel.loop.Count(UA_EVENT_CALL_CLOSED) < 2; ++i) {
    for (auto &s : strangers) s.Rtcp();
    resident.Listen(20);
  }
  ASSERT_EQ(2, panel.loop.Count(UA_EVENT_CALL_CLOSED));  // while the strangers still sent
  EXPECT_EQ("rtp stream error", panel.loop.Last(UA_EVENT_CALL_CLOSED).prm);
  EXPECT_EQ(0, silent.Wait()) << silent.Output();
}

// rtp_latch: the callee's SDP names one socket, its media come from another
// (a NAT). The first packet fixes the source, the panel's audio follows it and
// stays there across a re-offer, and a stranger after it is not heard.
TEST(SipuaAudio, LatchingFollowsACalleeBehindANat) {
  Panel panel;
  ASSERT_TRUE(panel.Start("rtp_latch yes\nmodule aufile.so\naudio_source aufile," + panel.dir.Path("tone.wav") +
                          "\naudio_player aufile," + panel.dir.Path("heard.wav") + "\n"));
  RtpPeer named("127.0.0.1"), natted("127.0.0.1"), stranger("127.0.0.2");
  const std::string mport = std::to_string(LocalPort(named.fd));
  Sipp sipp;
  ASSERT_TRUE(sipp.Start(SippRun("callee_media.xml", 0, {"-key", "codec", "0", "-key", "rtpmap", "a=rtcp:" + mport,
                                                         "-key", "mport", mport, "-key", "hold", "a=sendrecv", "-set",
                                                         "later", "1", "-set", "hangup", "1", "-d", "2000", "-mi",
                                                         "127.0.0.1"})));
  ASSERT_TRUE(panel.Call(sipp.port())) << sipp.Output();
  ASSERT_TRUE(WaitFor([&] { return named.Listen(20), !named.heard.empty(); }, Millis(5000)));
  natted.panel = stranger.panel = named.panel;
  for (int i = 0; i < 200 && panel.loop.Count(UA_EVENT_CALL_CLOSED) == 0; ++i) {
    natted.Tone(440);
    if (i >= 25) stranger.Tone(2000);
    natted.Listen(20);
  }
  ASSERT_TRUE(panel.WaitClosed(1));
  EXPECT_EQ(0, sipp.Wait()) << sipp.Output();
  EXPECT_GT(natted.heard.size(), 50u);
  EXPECT_GT(ToneSeconds(panel.Heard(), 440), 1.0);
  EXPECT_LT(ToneSeconds(panel.Heard(), 2000), 0.1);
}

// A WAV source and player at each rate the band is resampled from and to
// (stereo too), a callee echoing: the whole band comes back, nothing else.
TEST(SipuaAudio, TelephoneBandFromAndToFilesOfEveryRate) {
  for (const auto &[rate, ch] : std::vector<std::pair<int, int>>{{8000, 1}, {16000, 1}, {44100, 1}, {48000, 2}}) {
    Panel panel;
    ASSERT_TRUE(MakeBand(panel.dir.Path("band.wav"), rate, ch));
    ASSERT_TRUE(panel.Start("module aufile.so\naudio_source aufile," + panel.dir.Path("band.wav") +
                            "\naudio_player aufile," + panel.dir.Path("heard.wav") + "\nauplay_srate " +
                            std::to_string(rate) + "\nauplay_channels " + std::to_string(ch) + "\n"));
    Sipp callee;
    ASSERT_TRUE(callee.Start(HoldingCallee(0, "a=rtpmap:0 PCMU/8000", FreeUdpPort(), true, 3000)));
    ASSERT_TRUE(panel.Call(callee.port())) << callee.Output();
    ASSERT_TRUE(panel.WaitClosed(1)) << callee.Output();
    EXPECT_EQ(0, callee.Wait()) << callee.Output();
    ExpectBand(ReadMono(panel.dir.Path("band.wav"), rate), ReadMono(panel.dir.Path("heard.wav"), rate), rate);
  }
}

// A card whose rate is 44.1 kHz, both ways.
TEST(SipuaAudio, AlsaMicrophoneAndSpeakerThroughTheFilePlugin) {
  TempDir alsa("alsa");
  ASSERT_TRUE(MakeBand(alsa.Path("mic.raw"), 44100));
  ASSERT_TRUE(alsa.Write("asound.conf", "pcm.mic {\n type file\n slave.pcm { type null }\n file \"/dev/null\"\n infile \"" +
                                            alsa.Path("mic.raw") + "\"\n format raw\n}\n"
                                            "pcm.speaker {\n type file\n slave.pcm { type null }\n file \"" +
                                            alsa.Path("speaker.raw") + "\"\n format raw\n}\n"));
  ScopedEnv config("ALSA_CONFIG_PATH", alsa.Path("asound.conf"));
  Panel panel;
  ASSERT_TRUE(panel.Start(
      "module alsa.so\naudio_source alsa,mic\naudio_player alsa,speaker\nausrc_srate 44100\nauplay_srate 44100\n"));
  Sipp callee;
  ASSERT_TRUE(callee.Start(HoldingCallee(0, "a=rtpmap:0 PCMU/8000", FreeUdpPort(), true, 3000)));
  ASSERT_TRUE(panel.Call(callee.port())) << callee.Output();
  ASSERT_TRUE(panel.WaitClosed(1)) << callee.Output();
  EXPECT_EQ(0, callee.Wait()) << callee.Output();
  EXPECT_NE(callee.Output().find("a=recvonly"), std::string::npos);  // the hold is answered as one
  const std::vector<int16_t> speaker = ReadMono(alsa.Path("speaker.raw"), 44100, 44100);
  ExpectBand(ReadMono(alsa.Path("mic.raw"), 44100, 44100), speaker, 44100);
  // Played in real time: about the length of the call, not a burst.
  EXPECT_LT(double(speaker.size()) / 44100, 10.0);
}
// Wideband with Debian's baresip taking only G.722 (the panel dials it) or
// only Opus (it dials the panel): seven tones up to 6.9 kHz both ways, each
// within 2 dB of its level in the file (the four above 3.4 kHz never pass
// G.711), and a key each way at the codec's clock.
TEST(SipuaAudio, WidebandBandAndKeysWithG722AndOpus) {
  const std::vector<int> band = {400, 1200, 2300, 3500, 4700, 5900, 6900};
  for (const auto &[codec, rate] : std::vector<std::pair<std::string, int>>{{"G722/16000/1", 16000},
                                                                            {"opus/48000/2", 48000}}) {
    SCOPED_TRACE(codec);
    Panel panel;
    const bool dialsIn = rate == 48000;
    ASSERT_TRUE(MakeSines(panel.dir.Path("band.wav"), band, 4.5, 16000));
    ASSERT_TRUE(panel.Start("module g722.so\nmodule opus.so\nopus_samplerate 16000\nmodule aufile.so\n"
                            "audio_source aufile," + panel.dir.Path("band.wav") + "\naudio_player aufile," +
                            panel.dir.Path("heard.wav") + "\nauplay_srate 16000\n"));
    struct call *call = nullptr;
    panel.loop.onEvent = [&](const UaEvent &e) {
      if (e.ev == UA_EVENT_CALL_INCOMING) ua_answer(e.ua, e.call, VIDMODE_OFF);
      if (e.ev == UA_EVENT_CALL_ESTABLISHED) call = e.call;
    };
    TempDir resident("resident");
    ASSERT_TRUE(MakeSines(resident.Path("band.wav"), band, 8, rate, rate == 48000 ? 2 : 1));
    BaresipPeer peer;
    peer.extraConfig = "module g722.so\nmodule opus.so\n";
    peer.accountParams = ";audio_codecs=" + codec;
    peer.audioSource = "aufile," + resident.Path("band.wav");
    peer.record = true;
    ASSERT_TRUE(peer.Start("1201", true));
    if (dialsIn)
      ASSERT_TRUE(peer.Command("dial", "sip:panel@127.0.0.1:" + std::to_string(panel.loop.sipPort())));
    else
      ASSERT_TRUE(panel.Dial(peer.sipPort()));
    ASSERT_TRUE(panel.loop.WaitEvent(UA_EVENT_CALL_ESTABLISHED)) << peer.Output();
    std::this_thread::sleep_for(Millis(2500));
    ASSERT_EQ(0, panel.loop.Locked([&] { return call_send_digit(call, '5') || call_send_digit(call, KEYCODE_REL); }));
    EXPECT_TRUE(peer.WaitControl("\"param\":\"5\"", Millis(3000)));
    ASSERT_TRUE(peer.Type("7"));
    ASSERT_TRUE(panel.loop.WaitEvent(UA_EVENT_CALL_DTMF_START, 1, Millis(3000)));
    EXPECT_EQ("7", panel.loop.Last(UA_EVENT_CALL_DTMF_START).prm);
    panel.loop.Locked([&] { ua_hangup(panel.ua, call, 0, nullptr); });
    ASSERT_TRUE(peer.WaitControl("CALL_CLOSED", Millis(3000)));
    const std::vector<int16_t> sent = ReadMono(panel.dir.Path("band.wav"), 16000),
                               atResident = ReadMono(peer.Recording(), 16000), atPanel = panel.Heard16k();
    for (int f : band) {
      EXPECT_NEAR(LevelDb(sent, 16000, f, 0.8, 1.5), LevelDb(atResident, 16000, f, 0.8, 1.5), 2.0) << f;
      EXPECT_NEAR(LevelDb(sent, 16000, f, 0.8, 1.5), LevelDb(atPanel, 16000, f, 0.8, 1.5), 2.0) << f;
    }
  }
}

namespace {

// Tones of `hz` one after another, `each` seconds apiece, in one file.
bool MakeTones(const TempDir &dir, const std::string &name, const std::vector<int> &hz, double each, int rate) {
  std::vector<std::string> args = {"sox"};
  for (int f : hz)
    if (args.push_back(dir.Path(name + std::to_string(f) + ".wav")); !MakeTone(args.back(), f, each, rate)) return false;
  args.push_back(dir.Path(name));
  Process sox;
  return sox.Start(args) && sox.Wait(Millis(20000)) && sox.ExitCode() == 0;
}

sipua_counters Counters() {
  sipua_counters c{};
  sipua_counters_get(&c);
  return c;
}

// A gate's media end of an RTP/SAVP call: PCMU and telephone events as SRTP
// with its own key, from the port its SDP names, to where the panel's RTP
// comes from.
class SrtpGate {
 public:
  SrtpGate() : port_(FreeUdpPort()), fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    for (size_t i = 0; i < sizeof key_; ++i) key_[i] = uint8_t(i * 37 + 11);
    const sockaddr_in sa = Loopback(port_);
    ok = !bind(fd_, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) &&
         !srtp_alloc(&srtp_, SRTP_AES_CM_128_HMAC_SHA1_80, key_, sizeof key_, 0);
  }
  ~SrtpGate() {
    mem_deref(srtp_);
    close(fd_);
  }
  std::string Sdp() const {
    char b64[64];
    size_t n = sizeof b64;
    base64_encode(key_, sizeof key_, b64, &n);
    return std::string(kSdp).substr(0, std::string(kSdp).find("m=")) + "m=audio " + std::to_string(port_) +
           " RTP/SAVP 0 101\r\na=rtpmap:101 telephone-event/8000\r\na=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" +
           std::string(b64, n) + "\r\n";
  }
  bool Learn() {  // the first RTP packet (not RTCP) gives the panel's address
    uint8_t b[2048];
    socklen_t len = sizeof panel_;
    for (int i = 0; i < 100; ++i) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return false;
      if (recvfrom(fd_, b, sizeof b, 0, (sockaddr *)&panel_, &len) >= 12 && (b[1] & 0x7f) < 64) return true;
    }
    return false;
  }
  // Encrypted, then with one payload bit flipped when `tamper`; without
  // `encrypt` (a forgery) the gate's own counters stay put.
  std::vector<uint8_t> Send(uint8_t pt, bool marker, const std::vector<uint8_t> &payload, bool tamper = false,
                            bool encrypt = true) {
    const uint8_t hdr[12] = {0x80, uint8_t(pt | (marker ? 0x80 : 0)), uint8_t(seq >> 8), uint8_t(seq), uint8_t(ts >> 24),
                             uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), 0x5e, 0xc0, 0x1d, 0x0a};
    mbuf *mb = mbuf_alloc(64 + payload.size());
    mbuf_write_mem(mb, hdr, sizeof hdr);
    mbuf_write_mem(mb, payload.data(), payload.size());
    mb->pos = 0;
    EXPECT_TRUE(!encrypt || !srtp_encrypt(srtp_, mb));
    std::vector<uint8_t> pkt(mb->buf, mb->buf + mb->end);
    mem_deref(mb);
    pkt[12 + payload.size() / 2] ^= tamper ? 0x10 : 0;
    Resend(pkt);
    ++seq;
    return pkt;
  }
  void Resend(const std::vector<uint8_t> &p) { sendto(fd_, p.data(), p.size(), 0, (sockaddr *)&panel_, sizeof panel_); }
  void Tone(int hz, double seconds, bool tamper) {  // in real time
    auto next = std::chrono::steady_clock::now();
    for (int k = 0; k < int(seconds * 50); ++k, ts += 160) {
      std::vector<uint8_t> pcmu(160);
      for (int i = 0; i < 160; ++i) pcmu[i] = g711_pcm2ulaw(int16_t(12000 * sin(2 * M_PI * hz * (ts + i) / 8000.0)));
      Send(0, false, pcmu, tamper);
      std::this_thread::sleep_until(next += Millis(20));
    }
  }
  std::vector<std::vector<uint8_t>> Key(uint8_t event, bool tamper) {  // start, update, end
    std::vector<std::vector<uint8_t>> pkts;
    for (uint8_t i = 0; i < 3; ++i) pkts.push_back(Send(101, !i, {event, uint8_t(i == 2 ? 0x8a : 10), 0, uint8_t(160 * i)}, tamper));
    ts += 480;
    return pkts;
  }
  bool ok = false;
  uint16_t seq = 40000;  // far from a wrap, so a forged one stands out
  uint32_t ts = 1000;

 private:
  const int port_, fd_;
  uint8_t key_[30];
  struct srtp *srtp_ = nullptr;
  sockaddr_in panel_{};
};

}  // namespace

// SRTP keyed in the SDP: the panel's RTP/SAVP-only call to Debian's baresip
// and baresip's RTP/SAVP call to the panel carry several tones both ways and
// keys; a gate's tampered, replayed and half-a-cycle-back packets are
// dropped and counted, neither played nor taken as keys, and its stream
// goes on; a plain offer to an account requiring SRTP gets 488; a callee
// refusing required SRTP (488, or a plain answer) ends the call so.
TEST(SipuaAudio, SrtpBothWaysWithBaresipTamperedPacketsAndRefusals) {
  Panel panel;
  ASSERT_TRUE(MakeTones(panel.dir, "tones.wav", {700, 1300}, 1.5, 48000));
  // The door's account takes the config's default, as the daemon's accounts do.
  ASSERT_TRUE(panel.Start("module srtp.so\nmediaenc_default srtp-mand\nmodule aufile.so\naudio_source aufile," +
                          panel.dir.Path("tones.wav") +
                          "\naudio_player aufile," + panel.dir.Path("heard.wav") + "\n"));
  struct ua *door = nullptr, *gate = nullptr;
  ASSERT_EQ(0, panel.loop.Locked([&] {
    return ua_alloc(&door, "sip:door@127.0.0.1:5060;answermode=auto") ||
           ua_alloc(&gate, "sip:gate@127.0.0.1:5060;answermode=auto;mediaenc=none");
  }));
  std::atomic<uint16_t> closedCode{0};
  std::vector<std::string> keys, secure;  // on the loop thread
  panel.loop.onEvent = [&](const UaEvent &e) {
    if (e.ev == UA_EVENT_CALL_CLOSED) closedCode = call_scode(e.call);
    if (e.ev == UA_EVENT_CALL_DTMF_START) keys.push_back(e.prm);
    if (e.ev == UA_EVENT_CALL_MENC) secure.push_back(e.prm);
  };
  TempDir resident("resident");
  ASSERT_TRUE(MakeTones(resident, "voice.wav", {440, 1700}, 4, 8000));
  for (const bool outgoing : {true, false}) {
    BaresipPeer peer;
    peer.audioSource = "aufile," + resident.Path("voice.wav");
    peer.record = true;
    peer.extraConfig = "module srtp.so\n";
    peer.accountParams = outgoing ? ";mediaenc=srtp" : ";mediaenc=srtp-mand";
    ASSERT_TRUE(peer.Start("1201", outgoing));
    const int closed = panel.loop.Count(UA_EVENT_CALL_CLOSED);
    const std::string uri = "sip:1201@127.0.0.1:" + std::to_string(peer.sipPort());
    if (outgoing)
      ASSERT_EQ(0, panel.loop.Locked([&] { return ua_connect(door, nullptr, nullptr, uri.c_str(), VIDMODE_OFF); }));
    else
      ASSERT_TRUE(peer.Command("dial", "sip:gate@127.0.0.1:" + std::to_string(panel.loop.sipPort())));
    ASSERT_TRUE(panel.loop.WaitEvent(UA_EVENT_CALL_MENC, outgoing ? 1 : 2)) << peer.Output();
    ASSERT_TRUE(peer.WaitControl("CALL_ESTABLISHED", Millis(5000)));
    if (outgoing) {
      ASSERT_EQ(0, panel.loop.Locked([&] {
        auto *call = static_cast<struct call *>(list_ledata(list_head(ua_calls(door))));
        return call_send_digit(call, '5') || call_send_digit(call, KEYCODE_REL);
      }));
      ASSERT_TRUE(peer.WaitControl("CALL_DTMF_START", Millis(3000)));
      ASSERT_TRUE(peer.Type("7"));
      ASSERT_TRUE(panel.loop.WaitEvent(UA_EVENT_CALL_DTMF_START, 1, Millis(3000)));
    }
    std::this_thread::sleep_for(Millis(5000));  // the call: both tones of the panel, into baresip's second
    panel.loop.Locked([&] { ua_hangup(outgoing ? door : gate, nullptr, 0, nullptr); });
    ASSERT_TRUE(panel.WaitClosed(closed + 1));
    ASSERT_TRUE(peer.WaitControl("CALL_CLOSED", Millis(3000)));
    const std::vector<int16_t> atResident = Read8k(peer.Recording()), atPanel = panel.Heard();
    EXPECT_GT(ToneSeconds(atResident, 700), 0.8) << peer.Recording();
    EXPECT_GT(ToneSeconds(atResident, 1300), 0.8);
    EXPECT_GT(ToneSeconds(atPanel, 440), 2.0);
    EXPECT_GT(ToneSeconds(atPanel, 1700), 0.5);
  }
  EXPECT_EQ((std::vector<std::string>(2, "0,audio,AES_CM_128_HMAC_SHA1_80")), panel.loop.Locked([&] { return secure; }));

  // A gate's own SRTP: a good tone and key; from the same port a tampered
  // tone and key, the good key again and a forgery half a cycle back; then
  // a good tone again.
  {
    SrtpGate media;
    ASSERT_TRUE(media.ok);
    const int closed = panel.loop.Count(UA_EVENT_CALL_CLOSED);
    const std::string invite = Request("INVITE", {{"INVITE", "INVITE sip:gate@127.0.0.1 SIP/2.0"}}, media.Sdp());
    const std::string answer = Exchange(panel.loop.sipPort(), invite, 5000, "SIP/2.0 200");
    ASSERT_TRUE(answer.starts_with("SIP/2.0 200")) << answer;
    Exchange(panel.loop.sipPort(), Ack(invite, answer), 0);  // keys count only once the call is up
    ASSERT_TRUE(media.Learn());
    const uint64_t dropped = Counters().media_dropped;
    media.Tone(600, 1.0, false);
    const auto good = media.Key(5, false);
    media.Tone(1800, 1.0, true);
    media.Key(9, true);
    for (const auto &p : good) media.Resend(p);
    media.seq -= 40000;
    media.Send(0, false, std::vector<uint8_t>(170, 0xa5), false, false);
    media.seq += 40000 - 1;
    media.Tone(600, 1.0, false);
    panel.loop.Locked([&] { ua_hangup(gate, nullptr, 0, nullptr); });
    ASSERT_TRUE(panel.WaitClosed(closed + 1));
    EXPECT_EQ(50u + 3 + 3 + 1, Counters().media_dropped - dropped);
    EXPECT_GT(ToneSeconds(panel.Heard(), 600), 1.5);  // both good tones: the stream outlived the forgeries
    EXPECT_LT(ToneSeconds(panel.Heard(), 1800), 0.1);
    EXPECT_EQ((std::vector<std::string>{"7", "5"}), panel.loop.Locked([&] { return keys; }));
  }

  // A plain offer to the account that requires SRTP.
  const uint64_t refused = Counters().offers_refused;
  EXPECT_TRUE(Exchange(panel.loop.sipPort(), Request("INVITE", {{"INVITE", "INVITE sip:door@127.0.0.1 SIP/2.0"}}, kSdp),
                       3000).starts_with("SIP/2.0 488 "));
  EXPECT_EQ(refused + 1, Counters().offers_refused);

  // Required SRTP refused: baresip without SRTP answers 488, a sipp callee
  // answers plain RTP.
  BaresipPeer plain;
  ASSERT_TRUE(plain.Start("1203", true));
  Sipp answersPlain;
  ASSERT_TRUE(answersPlain.Start(SippRun("callee.xml", 0, {"-key", "codec", "0", "-key", "rtpmap", "a=rtpmap:0 PCMU/8000"})));
  for (const int port : {plain.sipPort(), answersPlain.port()}) {
    const int closed = panel.loop.Count(UA_EVENT_CALL_CLOSED);
    const std::string uri = "sip:1203@127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(0, panel.loop.Locked([&] { return ua_connect(door, nullptr, nullptr, uri.c_str(), VIDMODE_OFF); }));
    ASSERT_TRUE(panel.WaitClosed(closed + 1)) << plain.Output();
    EXPECT_EQ("Media encryption required", panel.loop.Last(UA_EVENT_CALL_CLOSED).prm) << port;
    EXPECT_EQ(488, closedCode.load()) << port;
  }
  EXPECT_EQ(0, answersPlain.Wait()) << answersPlain.Output();
}

namespace {

// What a listener notices in a recording of the impaired stream (8 kHz):
// how much of the tones never came, how much silence sits between its first
// and last tone, and hard edges no tone of these has.
struct Listened {
  double missingMs, silenceMs;
  int clicks;
  double firstMs, lastMs;  // of the recording's tone
};

Listened Listen(const std::vector<int16_t> &s, const std::vector<int> &hz, double sentMs) {
  const size_t slots = s.size() / 40;  // 5 ms
  std::vector<bool> tone(slots + 4), quiet(slots);
  for (size_t i = 0; i + 160 <= s.size(); i += 40)
    for (int f : hz)
      if (ToneBlock(s, i, f)) std::fill_n(tone.begin() + long(i / 40), 4, true);
  for (size_t k = 0; k < slots; ++k) {
    double e = 0;
    for (size_t i = k * 40; i < k * 40 + 40; ++i) e += double(s[i]) * s[i];
    quiet[k] = e / 40 < 30.0 * 30.0;
  }
  const auto first = std::find(tone.begin(), tone.end(), true) - tone.begin();
  const auto last = tone.rend() - std::find(tone.rbegin(), tone.rend(), true);
  Listened l{sentMs - 5.0 * double(std::count(tone.begin(), tone.end(), true)), 0, 0, 5.0 * double(first),
             5.0 * double(last)};
  for (auto k = first; k < last && k < long(slots); ++k) l.silenceMs += quiet[size_t(k)] ? 5 : 0;
  for (size_t i = 1; i < s.size(); ++i) l.clicks += std::abs(s[i] - s[i - 1]) > 7000;
  return l;
}

// One impaired stream: what happens to packet i of a 3 s call, and what a
// listener may notice at most.
struct Impairment {
  const char *name;
  bool plc;
  std::vector<int> drop, late;  // late: sent three packets after its time
  int duplicate = -1, padEvery = 0, seqJumpAt = -1, pauseAt = -1, swapAtStart = 0;
  double missingMs, silenceMs;
  int clicks;
  // Packets from jitterFrom on, 50 of them, come 0-80 ms late; the delay at
  // the start and its growth by the end are bounded.
  const char *jitterBuffer = "jitter_buffer_type fixed\njitter_buffer_delay 5-10\n";
  int jitterFrom = -1, count = 150;
  double startDelayMs = 1e9, growthMs = 1e9;
  bool opus = false;  // Opus at 8 kHz (clock 48000) instead of PCMU
};

void PrintTo(const Impairment &im, std::ostream *os) { *os << im.name; }

class ImpairedStream : public ::testing::TestWithParam<Impairment> {};

// The tones are 200, 250 and 400 Hz, each a whole number of periods per
// packet and starting at its crest, so a hole of silence is a hard edge.
TEST_P(ImpairedStream, IsHeardAsSent) {
  const Impairment &im = GetParam();
  const std::vector<int> hz = {200, 250, 400};
  Panel panel;
  ASSERT_TRUE(panel.Start(std::string(im.plc ? "module plc.so\n" : "") + im.jitterBuffer +
                          (im.opus ? "module opus.so\nopus_samplerate 8000\n" : "") + "module aufile.so\naudio_source aufile," +
                          panel.dir.Path("tone.wav") + "\naudio_player aufile," + panel.dir.Path("heard.wav") + "\n"));
  RtpPeer callee("127.0.0.1");
  Sipp sipp;
  ASSERT_TRUE(sipp.Start(HoldingCallee(im.opus ? 96 : 0, im.opus ? "a=rtpmap:96 opus/48000/2" : "a=rtpmap:0 PCMU/8000",
                                         LocalPort(callee.fd), false, im.count * 20 + 2500)));
  int opusErr = 0;
  std::unique_ptr<OpusEncoder, void (*)(OpusEncoder *)> enc(
      opus_encoder_create(8000, 1, OPUS_APPLICATION_VOIP, &opusErr), opus_encoder_destroy);
  ASSERT_TRUE(panel.Call(sipp.port())) << sipp.Output();
  const double answered = RtpPeer::NowMs();  // the panel's player starts
  ASSERT_TRUE(WaitFor([&] { return callee.Listen(20), !callee.heard.empty(); }, Millis(5000)));

  const int count = im.count;
  auto packet = [&](int i, bool pad) {
    std::vector<uint8_t> b = {uint8_t(pad ? 0xa0 : 0x80), uint8_t(im.opus ? 96 : 0), 0, 0, 0, 0, 0, 0, 0, 0, 0x5e, 0xed};
    const uint16_t seq = uint16_t(i + (im.seqJumpAt >= 0 && i >= im.seqJumpAt ? 150 : 0));
    const uint32_t ts = uint32_t(160 * i + (im.pauseAt >= 0 && i >= im.pauseAt ? 8000 : 0)) * (im.opus ? 6 : 1);
    for (int k = 0; k < 2; ++k) b[2 + k] = uint8_t(seq >> (8 - 8 * k));
    for (int k = 0; k < 4; ++k) b[4 + k] = uint8_t(ts >> (24 - 8 * k));
    // The talk itself fades in and out: its own edges are no clicks.
    const bool in = i == 0 || i == im.pauseAt, out = i == count - 1 || i + 1 == im.pauseAt;
    int16_t pcm[160];
    for (int n = 0; n < 160; ++n) {
      const double gain = in ? n / 160.0 : out ? (159 - n) / 160.0 : 1;
      pcm[n] = int16_t(16000 * gain * std::cos(2 * M_PI * hz[size_t(i / 25) % 3] * n / 8000));
      if (!im.opus) b.push_back(g711_pcm2ulaw(pcm[n]));
    }
    uint8_t coded[400];
    if (im.opus) b.insert(b.end(), coded, coded + std::max(0, opus_encode(enc.get(), pcm, 160, coded, sizeof coded)));
    if (pad) b.insert(b.end(), {0, 0, 0, 0, 0, 0, 0, 8});  // µ-law 0: a full-scale sample
    sendto(callee.fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&callee.panel), sizeof callee.panel);
  };
  auto has = [](const std::vector<int> &v, int i) { return std::find(v.begin(), v.end(), i) != v.end(); };
  auto jitter = [&](int i) { return i >= im.jitterFrom && i < im.jitterFrom + 50 ? (i * 37) % 5 : 0; };
  const double t0 = RtpPeer::NowMs();
  for (int t = 0; t < count + 3 + (im.pauseAt >= 0 ? 50 : 0); ++t) {
    // The pause: the sender is silent for a second; the timestamps say so.
    const int i = im.pauseAt >= 0 && t >= im.pauseAt ? (t < im.pauseAt + 50 ? -1 : t - 50) : t;
    const int swapped = i >= 0 && i < im.swapAtStart ? i ^ 1 : i;
    if (swapped >= 0 && swapped < count && !has(im.drop, swapped) && !has(im.late, swapped) && !jitter(swapped))
      packet(swapped, im.padEvery && swapped % im.padEvery == 0);
    for (int j = i - 1; j >= i - 4 && j >= 0; --j)
      if (jitter(j) && j + jitter(j) == i) packet(j, false);
    if (swapped >= 0 && swapped == im.duplicate) packet(swapped, false);
    if (i >= 3 && has(im.late, i - 3)) packet(i - 3, false);
    callee.Listen(int(std::max(0.0, t0 + 20.0 * (t + 1) - RtpPeer::NowMs())));  // by its own clock
  }
  ASSERT_TRUE(panel.WaitClosed(1)) << sipp.Output();
  EXPECT_EQ(0, sipp.Wait()) << sipp.Output();
  const std::vector<int16_t> heard = panel.Heard();
  const Listened l = Listen(heard, hz, count * 20.0);
  EXPECT_LE(l.missingMs, im.missingMs);
  EXPECT_LE(l.silenceMs, im.silenceMs + (im.pauseAt >= 0 ? 1000 : 0));
  EXPECT_LE(l.clicks, im.clicks);
  // The delay at the end: where the last tone starts (a concealed tail
  // after the last packet would blur where it ends).
  const int lastHz = hz[size_t(count / 25 - 1) % 3], beforeHz = hz[size_t(count / 25 - 2) % 3];
  size_t at = heard.size() < 160 ? 0 : heard.size() - 160;
  while (at >= 40 && !ToneBlock(heard, at, beforeHz)) at -= 40;
  while (at + 160 < heard.size() && !ToneBlock(heard, at, lastHz)) at += 40;
  const double startDelay = l.firstMs - (t0 - answered),
               endDelay = double(at) / 8 - (t0 + (count - 25) * 20 - answered);
  EXPECT_LE(startDelay, im.startDelayMs);
  EXPECT_LE(endDelay - startDelay, im.growthMs);
  printf("delay %.0f -> %.0f ms, missing %.0f ms, silence %.0f ms, clicks %d\n", startDelay, endDelay, l.missingMs,
         l.silenceMs, l.clicks);
}

// Each case asserts what it alone guards.
INSTANTIATE_TEST_SUITE_P(
    SipuaAudio, ImpairedStream,
    ::testing::Values(
        // Five lost packets are concealed once, not again when the player ran dry.
        Impairment{"burst", false, {60, 61, 62, 63, 64}, {}, -1, 0, -1, -1, 0, 140, 130, 4},
        // With the concealment module the hole is filled, without edges.
        Impairment{"burst_plc", true, {60, 61, 62, 63, 64}, {}, -1, 0, -1, -1, 0, 140, 70, 0},
        // Opus fills it by itself from a buffer that holds the burst (its
        // coding of these tones has edges).
        Impairment{"burst_opus", false, {60, 61, 62, 63, 64}, {}, -1, 0, -1, -1, 0, 140, 60, 100,
                   "jitter_buffer_type fixed\n", -1, 150, 1e9, 1e9, true},
        // Padding is not audio.
        Impairment{"padding", true, {}, {}, -1, 2, -1, -1, 0, 40, 10, 0},
        // A jump in the numbering plays on; late, duplicated and at the start
        // reordered packets are all kept.
        Impairment{"jump_late_reordered", true, {}, {40, 90}, 100, 0, 80, -1, 6, 40, 10, 0},
        // A pause: what was buffered plays before it, not after it.
        Impairment{"pause", true, {}, {}, -1, 0, -1, 75, 0, 40, 60, 0},
        // Adaptive: little delay on a clean network, grown under 0-80 ms of
        // jitter (to 80 ms and more), shrunk back after it; bursts lost
        // later are no jitter and do not grow it.
        Impairment{"jitter_adaptive", true, {150, 151, 152, 153, 154, 200, 201, 202, 203, 204, 240, 241, 242, 243, 244},
                   {}, -1, 0, -1, -1, 0, 100, 180, 0,
                   "jitter_buffer_type adaptive\njitter_buffer_delay 0-300\n", 25, 300, 50, 75}),
    [](const ::testing::TestParamInfo<Impairment> &info) { return std::string(info.param.name); });

}  // namespace
