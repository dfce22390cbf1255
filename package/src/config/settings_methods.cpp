#define LOG_MODULE "package/src/config/settings_methods"
#include "config/settings_methods.h"

#include "ornix.h"

json_t *GetSosJson(DBusMessage *) { return json_object(); }
bool SetSosJson(json_t *) { return false; }
json_t *GetConciergeJson(DBusMessage *) { return json_object(); }
bool SetConciergeJson(json_t *) { return false; }
json_t *GetFlat0Json(DBusMessage *) { return json_object(); }
bool SetFlat0Json(json_t *) { return false; }
json_t *GetDoorHangupDelay(DBusMessage *) { return json_object(); }
bool SetDoorHangupDelay(json_t *) { return false; }
json_t *GetDtmfJson(DBusMessage *) { return json_object(); }
bool SetDtmfJson(json_t *) { return false; }
bool DeleteDtmf(DBusMessage *) { return false; }
json_t *GetServerJson() { return json_object(); }
json_t *GetSipSettingsJson(DBusMessage *) { return json_object(); }
bool SetServerJson(json_t *) { return false; }
bool SetVideoSettingsJson(json_t *) { return false; }
bool SetSipSettingsJson(json_t *) { return false; }
json_t *GetGateSettingsJson(DBusMessage *) { return json_object(); }
bool SetGateSettingsJson(json_t *) { return false; }
json_t *GetAssistantJson(DBusMessage *) { return json_object(); }
bool SetAssistantJson(json_t *) { return false; }
bool DeleteAssistant(DBusMessage *) { return false; }
json_t *GetRegisterStatusJson(DBusMessage *) { return json_object(); }
