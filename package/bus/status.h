// What an integrator sees of the daemon on the bus, beside is.ornix.Method on
// the same object: the status interface (the call and the registration as
// JSON, and a signal on every call-state change), standard introspection and
// the standard peer interface. All of it is served by the bus loop.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

#define DORALIN_STATUS_IFACE "is.ornix.doralin.Status"

// Starts following the call state; once, before the bus loop starts.
void StatusInit();

// Serves a method call on the status, introspection or peer interface. False
// when the message is none of those, so the caller goes on.
bool ServeStatusInterfaces(DBusMessage *message);

// Once per bus-loop turn: sends "StateChanged" for each change of the call
// state since the last turn, the other fields as they are when it leaves.
void SendStateSignals();
