#define LOG_MODULE "package/src/media/assistant/notification"
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "media/assistant.h"
#include "media/play.h"
#include "media/playback_threads.h"
#include "ornix.h"
#include "settings/settings.h"
#include "sip/bracket.h"
#include "sip/legs.h"

namespace {

// The forced notification. The bus thread replaces it while an older playback
// thread may still be winding down, so it is guarded, and each notification
// gets a generation number: a thread only ever ends its own notification.
pthread_mutex_t notificationLock = PTHREAD_MUTEX_INITIALIZER;
char *notificationName = nullptr;
char *notificationPath = nullptr;
uint8_t notificationRepeat = 0;
bool notificationActive = false;
unsigned notificationGeneration = 0;

const char *StringMember(json_t *object, const char *key) {
  const char *s = json_string_value(json_object_get(object, key));
  return s ? s : "";
}

bool StringOrNull(json_t *value) { return !value || json_is_string(value) || json_is_null(value); }

unsigned CurrentGeneration() {
  pthread_mutex_lock(&notificationLock);
  unsigned g = notificationGeneration;
  pthread_mutex_unlock(&notificationLock);
  return g;
}

}  // namespace

// ---- Alarm notifications --------------------------------------------------------

int BuildRunningLine(const char *text, uint8_t bytes[100]) {
  memset(bytes, 0, 100);
  if (!text || !*text) return 0;
  // The conversion also rewrites its source: work on a copy.
  std::string source(text);
  char buffer[100] = {};
  int n = UtilsConvertUtf8StrIn1251(source.data(), buffer, sizeof buffer);
  if (n <= 0) return 0;
  if (n > static_cast<int>(sizeof buffer)) n = sizeof buffer;
  // The converted Windows-1251 bytes, never a prefix of the UTF-8 source.
  memcpy(bytes, buffer, static_cast<size_t>(n));
  return n;
}

bool PlayAlarmNotifications(const char *fileName, int onlyPanel, const uint8_t *text, int length,
                            const char *runningLine) {
  AssistantRecord &a = CallContext.assistant;
  if (!fileName) fileName = "";
  a.playPath[0] = '\0';
  SaveIsPlayAlarm(true);
  a.activePhraseType = AT_ALARM_NOTIFICATION;
  snprintf(a.playPath, sizeof a.playPath, "%s%s", a.phrases[AT_ALARM_NOTIFICATION].dir, fileName);
  // Stored as UTF-8 so that a resume after a reboot can convert it again.
  char stored[sizeof a.textRunningLine];
  CopySettingText(stored, sizeof stored, runningLine ? runningLine : "");
  SaveAlarmSettings(onlyPanel != 0, fileName, stored);
  {
    // With the SIP loop held off: a call accepted meanwhile is not cleared
    // unseen.
    SipThreadBracket bracket;
    if (CallContext.state != IDLE) {
      HangupAnotherCalls(nullptr);
      SendUartBye("PlayAlarmNotifications: force stop active state before alarm");
      SetState(IDLE, StateLog::Unlogged);
    }
  }
  return UartSendCommandPlayAlarmNotification(CallContext.dbus, onlyPanel, text, length) != 0;
}

void ResumeAlarmNotification() {
  const AssistantRecord &a = CallContext.assistant;
  if (!a.isPlayAlarm) return;
  if (a.alarmFileName[0] == '\0') {
    SaveIsPlayAlarm(false);
    return;
  }
  // Copies: the store writers update these very fields.
  std::string fileName(a.alarmFileName), text(a.textRunningLine);
  uint8_t bytes[100];
  int length = BuildRunningLine(text.c_str(), bytes);
  if (!PlayAlarmNotifications(fileName.c_str(), a.onlyPanel, bytes, length, text.c_str())) {
    SaveIsPlayAlarm(false);
    LOG_BOTH(5, "Alarm notification resume after boot failed (UART)");
  }
}

bool PlayAlarmNotification(json_t *argument) {
  if (!json_is_object(argument)) {
    LOG_BOTH(5, "PlayAlarmNotification: ожидается JSON-объект");
    return false;
  }
  json_t *name = json_object_get(argument, "name");
  json_t *text = json_object_get(argument, "text");
  json_t *onlyPanel = json_object_get(argument, "onlyPanel");
  if (!StringOrNull(name)) {
    LOG(5, "Поле '%s' должно быть строкой или null", "name");
    LogWriteMorvat(5, LOG_MODULE, __LINE__, 0, "Поле имени файла уведомления должно быть строкой или null");
    return false;
  }
  if (onlyPanel && !json_is_boolean(onlyPanel) && !json_is_null(onlyPanel)) {
    LOG(5, "Поле '%s' должно быть логическим типом или null", "onlyPanel");
    LogWriteMorvat(5, LOG_MODULE, __LINE__, 0, "Поле onlyPanel должно быть логическим типом или null");
    return false;
  }
  if (!StringOrNull(text)) {
    LOG(5, "Поле '%s' должно быть строкой или null", "text");
    LogWriteMorvat(5, LOG_MODULE, __LINE__, 0, "Поле текста бегущей строки должно быть строкой или null");
    return false;
  }
  int flag = json_is_true(onlyPanel) ? 1 : 0;
  const char *fileName = json_is_string(name) ? json_string_value(name) : "";
  const char *runningLine = json_is_string(text) ? json_string_value(text) : "";
  uint8_t bytes[100];
  int length = BuildRunningLine(runningLine, bytes);
  return PlayAlarmNotifications(fileName, flag, bytes, length, runningLine);
}

json_t *StopAlarmNotification(DBusMessage *) {
  {
    SipThreadBracket bracket;  // no call handler between the test and the change
    if (CallContext.state == NOTIFICATION_ESTABLISHED) SetState(IDLE, StateLog::Unlogged);
  }
  bool ok = UartSendCommandStopAlarmNotification(CallContext.dbus) != 0;
  if (ok) SaveIsPlayAlarm(false);
  StopPlayback();
  return DbusJsonMessageBoolean(ok ? json_true() : json_false());
}

json_t *AlarmNotificationGetPlayFile(DBusMessage *) {
  const AssistantRecord &a = CallContext.assistant;
  json_t *reply = json_object();
  json_t *name = json_string(a.alarmFileName);
  json_object_set_new(reply, "name", name ? name : json_string(""));
  json_object_set_new(reply, "isPlay", json_boolean(a.isPlayAlarm));
  return reply;
}

// ---- Forced notifications ----------------------------------------------------------

void ClearNotification() {
  pthread_mutex_lock(&notificationLock);
  free(notificationName);
  free(notificationPath);
  notificationName = nullptr;
  notificationPath = nullptr;
  notificationRepeat = 0;
  pthread_mutex_unlock(&notificationLock);
}

void StartForcedNotification(const uint8_t *data, int length) {
  if (StateAbove(NOTIFICATION_DIALING)) return;
  JsonPtr holder(data && length > 0 ? json_loadb(reinterpret_cast<const char *>(data),
                                                  static_cast<size_t>(length), 0, nullptr)
                                     : nullptr);
  json_t *root = holder.get();
  if (!root) {
    ClearNotification();
    return;
  }
  pthread_mutex_lock(&notificationLock);
  ++notificationGeneration;  // an older thread still winding down lets go
  free(notificationName);
  free(notificationPath);
  notificationName = strdup(StringMember(root, "name"));
  notificationPath = strdup(StringMember(root, "path"));
  json_t *repeat = json_object_get(root, "repeat");
  notificationRepeat = json_is_integer(repeat) ? static_cast<uint8_t>(json_integer_value(repeat) & 0xFF) : 0;
  bool usable = notificationName[0] && notificationPath[0] && notificationRepeat != 0;
  pthread_mutex_unlock(&notificationLock);
  if (!usable) {
    ClearNotification();
  } else if (UartSendCommandCall(CallContext.dbus, 0) == 0) {
    SetState(NOTIFICATION_DIALING);
    pthread_mutex_lock(&notificationLock);
    notificationActive = true;
    pthread_mutex_unlock(&notificationLock);
  } else {
    ClearNotification();
  }
}

void NotificationStop() {
  UartSetOfflineAssistantDelimiter(CallContext.dbus, UART_PHRASE_ENDED);
  SendUartBye("NotificationStop: stop notification established");
  SetState(IDLE);
  SetCallType(NONE);
  pthread_mutex_lock(&notificationLock);
  notificationActive = false;
  pthread_mutex_unlock(&notificationLock);
}

void NotificationForcedStop() {
  SipThreadBracket bracket;  // no call handler between the test and the change
  if (CallContext.state == NOTIFICATION_ESTABLISHED) NotificationStop();
}

void *NotificationPlaybackThread(void *) {
  PlaybackThreadScope scope;
  pthread_mutex_lock(&notificationLock);
  std::string path = notificationPath ? notificationPath : "";
  unsigned repeat = notificationRepeat;
  unsigned generation = notificationGeneration;
  pthread_mutex_unlock(&notificationLock);

  const CallState hold = NOTIFICATION_ESTABLISHED;
  bool ours = true;
  if (repeat != 0 && CallContext.state == hold) {
    for (unsigned played = 0; played < repeat;) {
      const bool played_ = PlayWavFile(path.c_str(), hold);
      ++played;
      if (!PlaybackPause(played_ ? 1000 : 5000, &hold)) break;
      ours = CurrentGeneration() == generation;
      if (!ours || CallContext.state != hold) break;
    }
  }
  ours = CurrentGeneration() == generation;
  if (ours) {
    ClearNotification();
    SipThreadBracket bracket;  // no call handler between the test and the change
    if (CallContext.state == hold && !PlaybackEnding()) NotificationStop();
  }
  LOG(2, "Notification playback thread done");
  return nullptr;
}

json_t *NotificationGetPlayFile(DBusMessage *) {
  json_t *reply = json_object();
  pthread_mutex_lock(&notificationLock);
  if (notificationName && notificationActive) {
    json_t *name = json_string(notificationName);
    json_object_set_new(reply, "name", name ? name : json_string(""));
    json_object_set_new(reply, "isPlay", json_true());
  }
  pthread_mutex_unlock(&notificationLock);
  return reply;
}
