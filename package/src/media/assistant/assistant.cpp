#define LOG_MODULE "package/src/media/assistant/assistant"
#include "media/assistant/assistant.h"

#include "ornix.h"

pthread_t notificationThread;

bool LoadPhraseSet(int, const char *) { return false; }
json_t *AssistantMakeFilesList(DBusMessage *) { return DbusJsonMessageBoolean(json_false()); }
bool ClaimPhrasePlayback(PhraseType) { return false; }
bool IsPhrasePlaying() { return false; }
void PickRandomPhrase() {}
void *PhrasePlaybackThread(void *) { return nullptr; }
bool PlayAlarmNotifications(const char *, int, const uint8_t *, int) { return false; }
void ResumeAlarmNotification() {}
bool PlayAlarmNotification(json_t *) { return false; }
json_t *StopAlarmNotification(DBusMessage *) { return DbusJsonMessageBoolean(json_false()); }
json_t *AlarmNotificationGetPlayFile(DBusMessage *) { return json_object(); }
void StartForcedNotification(const uint8_t *, int) {}
void NotificationForcedStop() {}
void *NotificationPlaybackThread(void *) { return nullptr; }
void NotificationStop() {}
void ClearNotification() {}
json_t *NotificationGetPlayFile(DBusMessage *) { return json_object(); }
bool WaitPlaybackThreads(int) { return true; }
