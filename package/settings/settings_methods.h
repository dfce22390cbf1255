// Bus handlers of the settings methods. Getters return a new JSON value
// (the caller sends and releases it), setters take the call's JSON argument
// (may be null) and return the reply's truth value, actions take the message.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

// Getters ("GetSos" and so on).
json_t *GetSosJson(DBusMessage *message);           // room addresses
json_t *GetConciergeJson(DBusMessage *message);
json_t *GetFlat0Json(DBusMessage *message);
json_t *GetDoorHangupDelay(DBusMessage *message);   // door hang-up after a DTMF opening
json_t *GetDtmfJson(DBusMessage *message);          // door-open DTMF digits
json_t *GetSipSettingsJson(DBusMessage *message);   // SIP server and video
json_t *GetGateSettingsJson(DBusMessage *message);  // gate dialing
json_t *GetAssistantJson(DBusMessage *message);     // assistant switches
json_t *GetRegisterStatusJson(DBusMessage *message);  // {"result": registerStatus}

// Setters ("SetSos" and so on).
bool SetSosJson(json_t *arg);
bool SetConciergeJson(json_t *arg);
bool SetFlat0Json(json_t *arg);
bool SetDoorHangupDelay(json_t *arg);
bool SetDtmfJson(json_t *arg);
bool SetSipSettingsJson(json_t *arg);
bool SetGateSettingsJson(json_t *arg);
bool SetAssistantJson(json_t *arg);

// Actions: back to the defaults in memory only.
bool DeleteDtmf(DBusMessage *message);
bool DeleteAssistant(DBusMessage *message);
