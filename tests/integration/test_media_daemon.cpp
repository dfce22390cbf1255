// Phrases, alarm and forced notifications end to end: the daemon on a private
// bus, panel-sim as the MCU, a sipp registrar, real WAV files under the root
// and a datagram socket at the streamer's path that records what is played.
#include "sip/re_headers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../unit/test_wav_fixture.h"
#include "daemon.h"
#include "panel_sim.h"
#include "sipp.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct MediaRig {
  Daemon d;
  std::unique_ptr<PanelSim> panel;
  Sipp registrar;
  std::unique_ptr<StreamerSink> sink;

  // `dirs`: phrase type and directory under the root, for the media list.
  bool Setup(const std::vector<std::pair<int, std::string>> &dirs) {
    SippRun reg("../../integration/scenarios_calls/registrar.xml");
    reg.timeout = Millis(300000);
    if (!registrar.Start(reg)) return false;
    std::string port = std::to_string(registrar.port());
    d.config.args = {"--trace"};
    d.config.store = {{"domain", "\"127.0.0.1\""}, {"port", port},       {"portRegister", port},
                      {"username", "\"panel\""},   {"password", "\"x\""}, {"videoEnable", "false"},
                      {"assistantEnable", "true"}, {"assistantOnline", "false"}};
    if (!d.Setup()) return false;
    std::string list;
    for (auto &[type, dir] : dirs) list += std::to_string(type) + " " + dir + "\n";
    WriteFile(d.Path("/etc/ornix/media_dirs"), list);
    NewSink();
    panel = std::make_unique<PanelSim>(d.BusAddress());
    return sink->ok() && panel->Start();
  }
  void NewSink() {
    sink.reset();
    sink = std::make_unique<StreamerSink>(d.Path("/tmp/streamer.sock"));
  }
  // A stored alarm is resumed before the daemon announces itself, so a
  // relaunch needs no wait for the registration.
  bool Launch(bool waitRegistered = true) {
    return d.Launch() && d.WaitStarted() &&
           (!waitRegistered || WaitFor([this] { return d.Call("GetSipRegisterStatus").bytes == Bytes{1}; },
                                       Millis(10000), Millis(100)));
  }
  Bytes Wav(const std::string &path, size_t samples, uint8_t seed, uint16_t channels = 1) {
    WavSpec w;
    w.blockAlign = 1;
    w.channels = channels;
    w.data = Samples(samples, seed);
    EXPECT_TRUE(WriteFile(d.Path(path), MakeWav(w)));
    return w.data;
  }
  std::vector<int> Delimiters() const {
    std::vector<int> marks;
    for (auto &c : panel->Commands("UartSetOfflineAssistantDelimiter")) marks.push_back(c.bytes.at(0));
    return marks;
  }
  bool Event(const std::string &member, const Bytes &bytes = {}) { return panel->SendEvent(member, bytes); }
  bool Text(const std::string &member, const std::string &s) { return Event(member, Bytes(s.begin(), s.end())); }
  bool Done(int count) { return d.WaitLog("Phrase playback thread done", 15000, count); }
  // The reply's JSON with sorted keys, or the error.
  std::string Call(const std::string &method, std::optional<std::string> json = std::nullopt) {
    BusReply r = d.Call(method, json);
    if (!r.ok || !r.text) return "<" + r.error + ">";
    json_t *j = json_loads(r.text->c_str(), 0, nullptr);
    char *text = j ? json_dumps(j, JSON_COMPACT | JSON_SORT_KEYS) : nullptr;
    std::string out = text ? text : *r.text;
    free(text);
    json_decref(j);
    return out;
  }
  bool Clean() const { return !d.HasLog("runtime error") && !d.HasLog("AddressSanitizer"); }
};

Bytes Rfid(uint8_t byte9, size_t length = 10) {
  Bytes b(length, 0);
  if (length > 9) b[9] = byte9;
  return b;
}

const char *kFalse = "{\"result\":false}";
const char *kTrue = "{\"result\":true}";

}  // namespace

// Door and key events play their phrase between the MCU delimiters 69 and 70,
// one at a time, and the context returns to IDLE.
TEST(MediaDaemon, DoorEventsPlayTheirPhraseBetweenDelimiters) {
  MediaRig rig;
  ASSERT_TRUE(rig.Setup({{2, "/media/key/"}, {3, "/media/refused/"}, {12, "/media/request/"}}));
  Bytes key = rig.Wav("/media/key/1.wav", 1100, 1);
  Bytes refused = rig.Wav("/media/refused/4.wav", 700, 2);
  rig.Wav("/media/request/1.wav", 600, 3, 2);  // stereo: refused by the check
  ASSERT_TRUE(rig.Launch());

  // No byte 9, byte 9 without the open bit, an OPEN other than 1, a short
  // flat notice and a handset open without a call: nothing is played.
  ASSERT_TRUE(rig.Event("UART_EV_RFID_OPEN", Rfid(0, 9)) && rig.Event("UART_EV_RFID_OPEN", Rfid(2)));
  ASSERT_TRUE(rig.Event("UART_EV_OPEN", {2}) && rig.Event("UART_EV_NOTIFY_FLAT", Bytes(11, 0)));
  ASSERT_TRUE(rig.Event("UART_EV_OPEN_HANDSET"));
  ASSERT_TRUE(rig.d.WaitLog("Open from handset!", 5000, 2));  // both logs
  EXPECT_TRUE(rig.d.HasLog("payload of 9 bytes has no byte 9"));
  EXPECT_TRUE(rig.d.HasLog("UART_EV_NOTIFY_FLAT: invalid data length 11"));
  EXPECT_EQ(rig.sink->Count(), 0u);

  // A key accepted: exactly its phrase's samples, between 69 and 70.
  ASSERT_TRUE(rig.Event("UART_EV_RFID_OPEN_ENC", Rfid(1)));
  ASSERT_TRUE(rig.d.WaitLog("state IDLE"));
  EXPECT_EQ(rig.sink->Joined(), key);
  EXPECT_EQ(rig.Delimiters(), (std::vector<int>{69, 70}));
  EXPECT_TRUE(rig.d.HasLog("Set state: ASSISTANT_DIALING -> ASSISTANT_ESTABLISHED"));

  // While that thread winds down another event plays nothing and leaves no
  // claim behind; then a 9-byte refusal plays (no byte 9 test).
  ASSERT_TRUE(rig.Event("UART_EV_ADD_KEY"));
  ASSERT_TRUE(rig.Done(1));
  rig.NewSink();
  ASSERT_TRUE(rig.Event("UART_EV_RFID_NOT_OPEN", Rfid(0, 9)));
  ASSERT_TRUE(rig.Done(2));
  EXPECT_EQ(rig.sink->Joined(), refused);
  EXPECT_EQ(rig.Delimiters(), (std::vector<int>{69, 70, 69, 70}));

  // An invalid file is refused with its reason; the state still returns.
  ASSERT_TRUE(rig.Event("UART_EV_KEY_REQUEST_FLAT"));
  ASSERT_TRUE(rig.Done(3));
  EXPECT_TRUE(rig.d.HasLog("J5 0 package/src/media/wav/wav"));
  EXPECT_TRUE(rig.d.HasLog("Неподдерживаемое количество каналов: 2"));
  EXPECT_EQ(rig.d.CountLog("state IDLE"), 3);
  EXPECT_EQ(rig.sink->Joined(), refused);
  EXPECT_TRUE(rig.Clean());
}

// An alarm is stored, played on the MCU's event, replayed after each
// playback, resumed after a power loss and stopped by the method.
TEST(MediaDaemon, AlarmSurvivesRestartUntilStopped) {
  MediaRig rig;
  ASSERT_TRUE(rig.Setup({{9, "/media/alarm/"}}));
  Bytes alarm = rig.Wav("/media/alarm/fire.wav", 900, 9);
  ASSERT_TRUE(rig.Launch());

  for (auto [request, reason] : {std::pair{"[1]", "PlayAlarmNotification: ожидается JSON-объект"},
                                 {"{\"name\":5}", "Поле имени файла уведомления должно быть строкой или null"},
                                 {"{\"onlyPanel\":1}", "Поле 'onlyPanel' должно быть логическим типом или null"},
                                 {"{\"text\":true}", "Поле текста бегущей строки должно быть строкой или null"}}) {
    EXPECT_EQ(rig.Call("PlayAlarmNotification", request), kFalse);
    EXPECT_TRUE(rig.d.HasLog(reason)) << reason;
  }
  EXPECT_EQ(rig.panel->Count("UartSendCommandPlayAlarmNotification"), 0);

  // The running line reaches the MCU in Windows-1251, never as UTF-8.
  const Bytes line = {0x01, 0xCF, 0xEE, 0xE6, 0xE0, 0xF0, 0x21};  // onlyPanel, "Пожар!"
  const std::string playing = "{\"isPlay\":true,\"name\":\"fire.wav\"}";
  EXPECT_EQ(rig.Call("PlayAlarmNotification", "{\"name\":\"fire.wav\",\"text\":\"Пожар!\",\"onlyPanel\":true}"),
            kTrue);
  auto play = rig.panel->WaitForCommand("UartSendCommandPlayAlarmNotification", Millis(3000));
  ASSERT_TRUE(play);
  EXPECT_EQ(play->bytes, line);
  EXPECT_EQ(rig.Call("AlarmNotificationGetPlayFile"), playing);

  // Key events are silent while the alarm is in force; the alarm event plays
  // the file and asks the MCU to replay it.
  ASSERT_TRUE(rig.Event("UART_EV_RFID_OPEN", Rfid(1)));
  ASSERT_TRUE(rig.d.WaitLog("Play Alarm Notification"));
  ASSERT_TRUE(rig.Event("UART_EV_ALARM_NOTIFICATION_FLATS"));
  ASSERT_TRUE(rig.panel->WaitForCommand("UartSendCommandReplayAlarmNotification", Millis(8000)));
  EXPECT_EQ(rig.sink->Joined(), alarm);
  EXPECT_TRUE(rig.d.HasLog("Set state: NOTIFICATION_DIALING -> NOTIFICATION_ESTABLISHED"));
  EXPECT_TRUE(rig.Delimiters().empty());

  rig.d.Kill(9);
  ASSERT_GE(rig.d.WaitExit(15000), 0);
  ASSERT_TRUE(rig.Launch(false));
  auto resumed = rig.panel->WaitForCommand("UartSendCommandPlayAlarmNotification", Millis(5000), 2);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->bytes, line);
  EXPECT_EQ(rig.Call("AlarmNotificationGetPlayFile"), playing);

  // A stop the MCU refuses leaves the alarm in force; a taken one ends it.
  ASSERT_TRUE(rig.panel->Command("alarm fail"));
  EXPECT_EQ(rig.Call("StopAlarmNotification"), kFalse);
  EXPECT_EQ(rig.Call("AlarmNotificationGetPlayFile"), playing);
  ASSERT_TRUE(rig.panel->Command("alarm ok"));
  EXPECT_EQ(rig.Call("StopAlarmNotification"), kTrue);
  EXPECT_EQ(rig.Call("AlarmNotificationGetPlayFile"), "{\"isPlay\":false,\"name\":\"fire.wav\"}");
  rig.d.Kill(9);
  ASSERT_GE(rig.d.WaitExit(15000), 0);
  ASSERT_TRUE(rig.Launch(false));
  EXPECT_EQ(rig.panel->Count("UartSendCommandPlayAlarmNotification"), 2);
  EXPECT_TRUE(rig.Clean());
}

// A forced notification dials the MCU, plays its repeat count once answered,
// stops on the signal (not on a bye), and malformed requests are dropped;
// stopping the daemon in the middle of a playback ends cleanly.
TEST(MediaDaemon, ForcedNotificationRepeatsAndStops) {
  MediaRig rig;
  ASSERT_TRUE(rig.Setup({}));
  Bytes voice = rig.Wav("/media/forced.wav", 600, 5);
  rig.Wav("/media/long.wav", 512 * 200, 6);
  ASSERT_TRUE(rig.Launch());
  auto request = [&](const std::string &name, const std::string &file, int repeat) {
    return "{\"name\":\"" + name + "\",\"path\":\"" + rig.d.Path(file) + "\",\"repeat\":" +
           std::to_string(repeat) + "}";
  };

  ASSERT_TRUE(rig.Text("NotificationForcedPlay", "{\"name\":"));
  ASSERT_TRUE(rig.Text("NotificationForcedPlay", "{\"name\":\"n\",\"repeat\":2}"));
  ASSERT_TRUE(rig.Text("NotificationForcedPlay", request("n", "/x.wav", 256)));  // repeat 0
  EXPECT_EQ(rig.Call("NotificationGetPlayFile"), "{}");
  EXPECT_EQ(rig.panel->Count("UartSendCommandCall"), 0);

  ASSERT_TRUE(rig.Text("NotificationForcedPlay", request("drill", "/media/forced.wav", 2)));
  auto call = rig.panel->WaitForCommand("UartSendCommandCall", Millis(3000));
  ASSERT_TRUE(call);
  EXPECT_EQ(call->bytes, (Bytes{0, 0}));
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> NOTIFICATION_DIALING"));
  EXPECT_EQ(rig.Call("NotificationGetPlayFile"), "{\"isPlay\":true,\"name\":\"drill\"}");
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(rig.d.WaitLog("Notification playback thread done", 15000));
  Bytes twice = voice;
  twice.insert(twice.end(), voice.begin(), voice.end());
  EXPECT_EQ(rig.sink->Joined(), twice);
  EXPECT_EQ(rig.Delimiters(), (std::vector<int>{69, 70}));
  EXPECT_TRUE(rig.panel->WaitForCommand("UartSendCommandBye", Millis(2000)));
  EXPECT_TRUE(rig.d.HasLog("Set state: NOTIFICATION_ESTABLISHED -> IDLE"));
  EXPECT_EQ(rig.Call("NotificationGetPlayFile"), "{}");

  rig.NewSink();
  ASSERT_TRUE(rig.Text("NotificationForcedPlay", request("long", "/media/long.wav", 9)));
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> NOTIFICATION_DIALING", 5000, 2));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(WaitFor([&] { return rig.sink->Count() >= 3; }, Millis(5000)));
  ASSERT_TRUE(rig.Event("UART_EV_BYE"));
  ASSERT_TRUE(rig.d.WaitLog("State is 4 on BYE event! Unprocessed condition"));
  ASSERT_TRUE(rig.Event("NotificationForcedStop"));
  ASSERT_TRUE(rig.d.WaitLog("Notification playback thread done", 15000, 2));
  EXPECT_LT(rig.sink->Count(), 50u);
  EXPECT_EQ(rig.panel->Count("UartSendCommandBye"), 2);

  rig.NewSink();
  ASSERT_TRUE(rig.Text("NotificationForcedPlay", request("long", "/media/long.wav", 9)));
  ASSERT_TRUE(rig.d.WaitLog("Set state: IDLE -> NOTIFICATION_DIALING", 5000, 3));
  ASSERT_TRUE(rig.Event("UART_EV_ANSWER"));
  ASSERT_TRUE(WaitFor([&] { return rig.sink->Count() >= 3; }, Millis(5000)));
  rig.d.Terminate();
  EXPECT_GE(rig.d.WaitExit(15000), 0);
  EXPECT_TRUE(rig.Clean());
}
