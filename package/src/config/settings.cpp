#define LOG_MODULE "package/src/config/settings"
#include "config/settings.h"

#include "ornix.h"

void LoadSettings() {}
void LoadAlarmSettings() {}
bool SetRtspChannel(unsigned) { return false; }
bool ReadJsonIntField(json_t *, const char *, uint32_t *) { return false; }
bool ReadJsonStringField(json_t *, const char *, char *) { return false; }
bool SaveDtmf(const char *, const char *) { return false; }
bool SaveServerSettings(const ServerSettings &) { return false; }
bool SaveGateSettings(long long, long long, bool, json_t *) { return false; }
bool SaveAssistantSettings(const AssistantRecord &) { return false; }
bool SaveIsPlayAlarm(bool) { return false; }
bool SaveAlarmSettings(bool, const char *, const char *) { return false; }
void CopySettingText(char *dest, size_t size, const char *) {
  if (size) dest[0] = '\0';
}
