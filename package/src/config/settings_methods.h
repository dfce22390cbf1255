// Bus handlers of the settings methods. Getters return a new JSON value
// (the caller sends and releases it), setters take the call's JSON argument
// (may be null) and return the reply's truth value, actions take the message.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

// Room addresses.
json_t *GetSosJson(DBusMessage *message);
bool SetSosJson(json_t *arg);
json_t *GetConciergeJson(DBusMessage *message);
bool SetConciergeJson(json_t *arg);
json_t *GetFlat0Json(DBusMessage *message);
bool SetFlat0Json(json_t *arg);

// Door hang-up after a DTMF opening.
json_t *GetDoorHangupDelay(DBusMessage *message);
bool SetDoorHangupDelay(json_t *arg);

// Door-open DTMF digits.
json_t *GetDtmfJson(DBusMessage *message);
bool SetDtmfJson(json_t *arg);
bool DeleteDtmf(DBusMessage *message);

// SIP server and video settings.
json_t *GetServerJson();
json_t *GetSipSettingsJson(DBusMessage *message);
bool SetServerJson(json_t *remote);
bool SetVideoSettingsJson(json_t *arg);
bool SetSipSettingsJson(json_t *arg);

// Gate dialing settings.
json_t *GetGateSettingsJson(DBusMessage *message);
bool SetGateSettingsJson(json_t *arg);

// Assistant switches.
json_t *GetAssistantJson(DBusMessage *message);
bool SetAssistantJson(json_t *arg);
bool DeleteAssistant(DBusMessage *message);

// {"result": true|false} from registerStatus.
json_t *GetRegisterStatusJson(DBusMessage *message);
