// Settings: the table of stored settings that drives the start-up load, the
// record writers and the getters' JSON; the other store writers, the JSON
// field readers and the camera channel in the SIP library's configuration
// file.
#pragma once

#include <jansson.h>

#include <cstddef>
#include <cstdint>

#include "context/context.h"

// Store section holding every key of the daemon.
#define SETTINGS_SECTION "doralin"

// Capacity of the 100-byte text settings (99 characters plus the NUL).
constexpr size_t kSettingsTextSize = 100;

// The settings shown by one getter (and kept in one record: the server
// group in ServerSettings, the assistant and alarm ones in AssistantRecord,
// the others in the context itself).
enum class SettingGroup : uint8_t {
  Server, Door, Dtmf, Sos, Concierge, Flat0, Video, Assistant, Alarm, Gate
};

// Start-up load: defaults, legacy keys, current keys, accounts file, RTSP
// channel. Needs CallContext.dbus (the store handle); a missing store keeps
// the defaults.
void LoadSettings();

// A new JSON object of the group's settings as memory holds them, members in
// table order; "proxy.port" is member "port" of the object under "proxy".
json_t *SettingsJson(SettingGroup group);
// The default of a flag or integer setting, by its store key; 0 when none.
long long SettingDefault(const char *key);

// Writes the channel digit after "/ch" on the "rtspsrc_url" line of
// <root>/etc/baresip/config. Channels above 9 are refused.
bool SetRtspChannel(unsigned channel);

// JSON field readers for the settings methods. A null value is accepted and
// leaves the destination alone.
// Integer from 1 to 65535.
bool ReadJsonIntField(json_t *value, const char *name, uint32_t *dest);
// String of at most 99 bytes; `dest` holds kSettingsTextSize bytes.
bool ReadJsonStringField(json_t *value, const char *name, char *dest);

// Store writers: each key is written only when the value differs from memory;
// false means a store write failed.
bool SaveDtmf(const char *dtmf1, const char *dtmf2);
// Writes the changed members of an edited copy of the server group and sets
// restartRequested when anything changed; memory is left to the caller.
bool SaveServerSettings(const ServerSettings &server);
// Sizes out of range (1..8, 0..8) are skipped; memory follows each good write;
// `rules` is stored when it is an object.
bool SaveGateSettings(long long prefixSize, long long flatNumberSize, bool directMode,
                      json_t *rules);
// Writes "assistantEnable"/"assistantOnline" when they differ; memory is left
// to the caller.
bool SaveAssistantSettings(const AssistantRecord &assistant);
bool SaveIsPlayAlarm(bool isPlayAlarm);
// Memory is updated before each write. Null texts count as empty.
bool SaveAlarmSettings(bool onlyPanel, const char *alarmFileName, const char *textRunningLine);

// Copies at most size-1 bytes of `src` into `dest`, never cutting a UTF-8
// sequence in half; always NUL-terminates.
void CopySettingText(char *dest, size_t size, const char *src);

// ---- helpers shared by the config and direct modules ------------------------

// The leading decimal number of a text as atoi reads it, saturating instead
// of overflowing.
long long ParseLeadingInt(const char *text);
// Writes `value` (a new reference, taken over; null counts as a failure) under
// `key` of the daemon's section. False when the store refuses it.
bool WriteSetting(const char *key, json_t *value);
