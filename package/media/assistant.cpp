#define LOG_MODULE "package/src/media/assistant/assistant"
#include "media/assistant.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "media/play.h"
#include "media/playback_threads.h"
#include "ornix.h"
#include "settings/settings.h"
#include "sip/bracket.h"

pthread_t notificationThread;

namespace {

pthread_mutex_t phraseLock = PTHREAD_MUTEX_INITIALIZER;
int phrasePlaying = 0;
unsigned phraseSeed = 1;

// Running playback threads and the request to end them (plain pthread
// objects: nothing to destroy at exit while a detached thread still runs).
pthread_mutex_t threadsLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t threadsChanged = PTHREAD_COND_INITIALIZER;
int threadsRunning = 0;
bool threadsEnding = false;

void SetPhrasePlaying(int value) {
  pthread_mutex_lock(&phraseLock);
  phrasePlaying = value;
  pthread_mutex_unlock(&phraseLock);
}

PhraseSet *SetOf(int type) {
  if (type < 1 || type >= PHRASE_TYPES) return nullptr;
  return &CallContext.assistant.phrases[type];
}

// Picks a random file of the active phrase set into playPath.
void PickRandomPhrase() {
  AssistantRecord &a = CallContext.assistant;
  int r = rand_r(&phraseSeed);
  a.playPath[0] = '\0';
  const PhraseSet *set = SetOf(a.activePhraseType);
  // An empty set leaves no path (and no modulo by zero): nothing plays.
  if (!set || set->count == 0) return;
  uint8_t index = static_cast<uint8_t>(r % set->count);
  int n = snprintf(a.playPath, sizeof a.playPath, "%s%d.wav", set->dir, set->numbers[index]);
  if (n < 0 || n >= static_cast<int>(sizeof a.playPath)) a.playPath[0] = '\0';  // cut path: no file
}

}  // namespace

// ---- Thread book-keeping ----------------------------------------------------

PlaybackThreadScope::PlaybackThreadScope() {
  pthread_mutex_lock(&threadsLock);
  ++threadsRunning;
  pthread_mutex_unlock(&threadsLock);
}

PlaybackThreadScope::~PlaybackThreadScope() {
  pthread_mutex_lock(&threadsLock);
  --threadsRunning;
  pthread_cond_broadcast(&threadsChanged);
  pthread_mutex_unlock(&threadsLock);
}

bool PlaybackEnding() {
  pthread_mutex_lock(&threadsLock);
  bool ending = threadsEnding;
  pthread_mutex_unlock(&threadsLock);
  return ending;
}

bool PlaybackPause(int ms, const CallState *hold) {
  constexpr int step = 20;
  for (int waited = 0; waited < ms; waited += step) {
    if (PlaybackEnding()) return false;
    if (hold && CallContext.state != *hold) return true;
    usleep(static_cast<useconds_t>((ms - waited < step ? ms - waited : step) * 1000));
  }
  return !PlaybackEnding();
}

bool WaitPlaybackThreads(int timeoutMs) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);  // a wall-clock step neither cuts nor stretches it
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += (timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&threadsLock);
  threadsEnding = true;
  pthread_mutex_unlock(&threadsLock);
  StopPlayback();
  pthread_mutex_lock(&threadsLock);
  while (threadsRunning > 0) {
    if (pthread_cond_clockwait(&threadsChanged, &threadsLock, CLOCK_MONOTONIC, &deadline) != 0) break;
  }
  bool none = threadsRunning == 0;
  threadsEnding = false;
  pthread_mutex_unlock(&threadsLock);
  return none;
}

// ---- Phrase table -------------------------------------------------------------

bool LoadPhraseSet(int type, const char *dir) {
  PhraseSet *set = SetOf(type);
  if (!set || !dir) return false;
  DIR *d = opendir(dir);
  if (!d) {
    LOG(1, "Ошибка открытия директории с фразами ассистента: %s", dir);
    return false;
  }
  PhraseSet fresh{};
  // Numbers and the count are 8 bits wide: a number above 255 is skipped
  // (cut, it would name another file), and the first 255 files are kept.
  while (dirent *entry = readdir(d)) {
    const char *name = entry->d_name;
    if (!isdigit(static_cast<unsigned char>(name[0]))) continue;
    unsigned number = 0;
    for (const char *p = name; isdigit(static_cast<unsigned char>(*p)) && number <= 255; ++p)
      number = number * 10 + static_cast<unsigned>(*p - '0');
    if (number > 255) {
      LOG(4, "Phrase file %s%s skipped: its number is above 255", dir, name);
      continue;
    }
    if (number == 0 || fresh.count == 255) continue;
    fresh.numbers[fresh.count++] = static_cast<uint8_t>(number);
  }
  closedir(d);
  snprintf(fresh.dir, sizeof fresh.dir, "%s", dir);
  *set = fresh;
  return true;
}

json_t *AssistantMakeFilesList(DBusMessage *) {
  const MediaInfoDir *entries = nullptr;
  int n = GetMediaInfoDirs(&entries);
  bool ok = true;
  for (int i = 0; i < n && entries; ++i) {
    if (entries[i].type < 1 || entries[i].type >= PHRASE_TYPES) continue;
    if (!LoadPhraseSet(entries[i].type, entries[i].dir)) ok = false;
  }
  return DbusJsonMessageBoolean(ok ? json_true() : json_false());
}

// ---- Phrase playback -------------------------------------------------------------

bool ClaimPhrasePlayback(PhraseType type) {
  CallState target = type == AT_ALARM_NOTIFICATION ? NOTIFICATION_DIALING : ASSISTANT_DIALING;
  if (StateAbove(target)) return false;
  const PhraseSet *set = SetOf(type);
  if (!set) return false;
  const AssistantRecord &a = CallContext.assistant;
  bool allowed = (a.assistantEnable && !a.assistantOnline && set->count > 0) ||
                 type == AT_ALARM_NOTIFICATION ||
                 (type == AT_KEY_REQUEST_FLAT && set->count > 0);
  if (!allowed) return false;
  CallContext.assistant.activePhraseType = type;
  SetState(target, StateLog::Unlogged);
  return true;
}

bool IsPhrasePlaying() {
  pthread_mutex_lock(&phraseLock);
  bool playing = phrasePlaying != 0;
  pthread_mutex_unlock(&phraseLock);
  return playing;
}

void *PhrasePlaybackThread(void *) {
  PlaybackThreadScope scope;
  AssistantRecord &a = CallContext.assistant;
  SetPhrasePlaying(1);
  bool alarm = a.activePhraseType == AT_ALARM_NOTIFICATION;
  if (!alarm) PickRandomPhrase();
  char path[sizeof a.playPath];
  memcpy(path, a.playPath, sizeof path);
  path[sizeof path - 1] = '\0';
  PlayWavFile(path, alarm ? NOTIFICATION_ESTABLISHED : ASSISTANT_ESTABLISHED);
  if (!alarm) UartSetOfflineAssistantDelimiter(CallContext.dbus, UART_PHRASE_ENDED);
  {
    // Decided with the SIP loop held off, so that an incoming call accepted
    // meanwhile keeps its INCOMING_DIALING.
    SipThreadBracket bracket;
    const CallState s = CallContext.state;
    if (s == ASSISTANT_ESTABLISHED || s == NOTIFICATION_ESTABLISHED) {
      if (testHooks.holdPhraseEnd) testHooks.holdPhraseEnd();
      SetState(IDLE, StateLog::Unlogged);
      SetCallType(NONE, StateLog::Unlogged);
    }
  }
  LOG(2, "Phrase playback ended: %s, state %s", path, StateName(CallContext.state));
  bool goOn = PlaybackPause(1000);
  SetPhrasePlaying(0);
  if (goOn && a.isPlayAlarm && !UartSendCommandReplayAlarmNotification(CallContext.dbus)) {
    SaveIsPlayAlarm(false);
    LOG_BOTH(5, "Not replay alarm notification");
  }
  LOG(2, "Phrase playback thread done");
  return nullptr;
}
