// Assistant phrases, alarm notifications and forced notifications.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>
#include <pthread.h>

#include <cstdint>

#include "context/context.h"

// Phrase kinds, numbered from 1 as in the device's media directory list.
enum PhraseType : uint8_t {
  AT_OPEN = 1,
  AT_KEY_OPEN,            // 2
  AT_KEY_NOT_OPEN,        // 3
  AT_PASS_OPEN,           // 4
  AT_PASS_NOT_OPEN,       // 5
  AT_TAMPER_ALARM,        // 6
  AT_DEBTOR_FLAT,         // 7
  AT_INFORM_FLAT,         // 8
  AT_ALARM_NOTIFICATION,  // 9
  AT_ANY_KEY_OPEN,        // 10, played as AT_KEY_OPEN
  AT_ADD_KEY,             // 11, played as AT_KEY_OPEN
  AT_KEY_REQUEST_FLAT,    // 12
};

// Handle of the last playback thread started (phrase or notification).
extern pthread_t notificationThread;

// ---- Phrase table -----------------------------------------------------------
// Fills CallContext.assistant.phrases[type] from the numbered files of `dir`
// ("<dir><number>.wav"). False when the directory cannot be opened (the set
// keeps its earlier content).
bool LoadPhraseSet(int type, const char *dir);
// Rebuilds the phrase table from GetMediaInfoDirs. Returns a new boolean
// reply value (DbusJsonMessageBoolean); `message` is not used and may be null.
json_t *AssistantMakeFilesList(DBusMessage *message);

// ---- Phrase playback ----------------------------------------------------------
// True when `type` may play now; then activePhraseType and state (ASSISTANT_
// DIALING, or NOTIFICATION_DIALING for AT_ALARM_NOTIFICATION) are already set.
bool ClaimPhrasePlayback(PhraseType type);
bool IsPhrasePlaying();
// Thread body (detached, no argument): plays the claimed phrase or the alarm
// file, returns the state to IDLE and asks the MCU to replay an active alarm.
void *PhrasePlaybackThread(void *);

// ---- Alarm notifications -------------------------------------------------------
// Stores the alarm, clears any active call and asks the MCU to start it.
// `text` holds `length` running-line bytes (Windows-1251) of a 100-byte buffer
// for the MCU; `runningLine` is the same text in UTF-8, the form that is
// stored so that a resume after a reboot can convert it again.
bool PlayAlarmNotifications(const char *fileName, int onlyPanel,
                            const uint8_t *text, int length, const char *runningLine);
// Converts UTF-8 `text` into the MCU's running-line bytes (Windows-1251, at
// most 100); returns their count, 0 when there is nothing to send.
int BuildRunningLine(const char *text, uint8_t bytes[100]);
// Start-up, after registration: restarts a stored active alarm.
void ResumeAlarmNotification();
// Bus setter "PlayAlarmNotification": {"name", "text", "onlyPanel"}.
bool PlayAlarmNotification(json_t *argument);
// Bus getter "StopAlarmNotification": new boolean reply value.
json_t *StopAlarmNotification(DBusMessage *message);
// Bus getter "AlarmNotificationGetPlayFile": {"name", "isPlay"}.
json_t *AlarmNotificationGetPlayFile(DBusMessage *message);

// ---- Forced notifications -------------------------------------------------------
// Signal "NotificationForcedPlay": `data` is a JSON text of `length` bytes
// {"name", "path", "repeat"} (not NUL-terminated).
void StartForcedNotification(const uint8_t *data, int length);
// Signal "NotificationForcedStop".
void NotificationForcedStop();
// Thread body (no argument), started when the MCU answers the notification
// call: plays the file up to its repeat count, then ends the notification.
void *NotificationPlaybackThread(void *);
void NotificationStop();
void ClearNotification();
// Bus getter "NotificationGetPlayFile": {} or {"name", "isPlay": true}.
json_t *NotificationGetPlayFile(DBusMessage *message);

// ---- Life cycle ------------------------------------------------------------------
// Stops any playback and waits up to `timeoutMs` for the playback threads to
// end. True when none is left running. For shutdown and tests.
bool WaitPlaybackThreads(int timeoutMs);
