// The control-bus loop: takes messages off the daemon's bus connection one per
// turn, serves the method and signal tables, watches its own progress and
// restarts the process after a settings change that needs a fresh one.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

#include <atomic>
#include <ctime>

// Wall-clock second of the loop's latest turn (written by BusLoop).
extern std::atomic<time_t> busHeartbeat;
// Wall-clock second of the watchdog's latest look (written by BusWatchdog).
extern std::atomic<time_t> watchdogNow;
// Set once by ForcedRestartThread; never cleared.
extern std::atomic<int> forcedRestartStarted;

// Thread bodies (pthread start routines, argument unused).
void *BusLoop(void *);
void *BusWatchdog(void *);
void *ForcedRestartThread(void *);

// Serves one incoming message (method call, signal or error) on this thread;
// the caller keeps and releases the message.
void DispatchBusMessage(DBusMessage *message);

// Dispatch wrappers: run the handler and send its reply on CallContext.dbus.
void ReplyJsonGetter(DBusMessage *message, json_t *(*getter)(DBusMessage *));
void ReplyJsonSetter(DBusMessage *message, bool (*setter)(json_t *));
void ReplyBooleanAction(DBusMessage *message, bool (*action)(DBusMessage *));
void GetSipRegisterStatusReply(DBusMessage *message);
void HangupActiveCallMethod(DBusMessage *message);
