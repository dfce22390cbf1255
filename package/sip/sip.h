// SIP engine: library bring-up, the main and the second (no-proxy) user
// agent, registration tracking, the main loop and teardown.
#pragma once

#include "context/context.h"

// Points the SIP library at its configuration directory.
void SipSetConfigPath(const char *path);
// The file keeping the camera's last known profile across restarts.
void SipSetCameraState(const char *path);

// What the call core does on the SIP library's call events, handed down at
// start-up so that the engine calls up without including the core. A null
// member: nothing for that event.
struct SipCallEvents {
  void (*incoming)(struct call *call);
  void (*outgoing)(struct call *call);
  void (*progress)(struct call *call);  // ringing or session progress
  void (*answered)(struct call *call);
  void (*established)(struct call *call);
  void (*closed)(struct call *call, const char *reason);
  void (*dtmf)(struct call *call, const char *key);
  void (*rtpEstablished)(struct call *call);
};

// Brings the library up; every SIP event then feeds the registration tracker
// and the call events go to `events` (kept, with the record it points to,
// for later bring-ups). 0 on success, else the library's (positive) error
// number; on failure the library is closed again.
int SipInit(const SipCallEvents *events);

// One registration attempt of the main account. True when the attempt went
// through (the result arrives later as an event). A failed
// attempt closes the library (so a following ua_stop_all has nothing left to
// stop); the next attempt brings it up again first with the event handler
// given to the last SipInit, and fails when that bring-up fails.
bool SipRegister(const ServerSettings *settings);

// Creates the second, unregistered UA without outbound proxy (at most once).
void SetupNoProxyUa(const ServerSettings *settings);

// Registration tracker, fed with every library event (event code, text).
void SipRegistrationEvent(int event, const char *text);

// Bus-thread wait for a registration result (about two seconds at most).
bool SipWaitRegistered(void);

// Unregisters the UA of the current call, else the main UA.
void SipUnregister(void);
// ua_stop_all without force (after a failed registration attempt the library
// is closed already and nothing is left to stop).
void SipStopAll(void);

// Runs the SIP loop on the calling thread; closes the library when it ends.
void SipRun(void);

// Tears the library down; a non-zero `err` stops all UAs by force first.
// Calls still up are hung up first, each close handled as usual. Safe to
// call when the library is already closed.
void SipClose(int err);

// SipClose for a stop, in turn with the loop: while the loop runs, the close
// runs on the loop thread, and with `endLoop` the loop then ends (SipRun
// returns). Without a loop it runs here once any bring-up in progress is
// done; with `endLoop` no bring-up or loop follows it (the caller ends the
// process). True when the loop took it.
bool SipStop(bool forced, bool endLoop);

// True between a successful SipInit and the next SipClose.
bool SipLibraryUp(void);

// The user part of the call's local address, percent-unescaped, into `out`.
// False (and `out` empty) when the call has no local address, or the user
// part is too long for `out`, holds a NUL byte or has broken escapes.
bool SipCalledUser(struct call *call, char *out, size_t size);

// The main UA (first of the library's list), or null.
struct ua *UaDefault(void);
// The UA of `currentCall`, else the main UA.
struct ua *CurrentUa(void);

void UaExitHandler(void *arg);
void SipSignalHandler(int sig);

// Builds the account address of the main UA (withProxy true) or of the second
// UA (withProxy false) into `aor`. Exposed for the log masking and tests.
void SipBuildAor(const ServerSettings *settings, bool withProxy, char *aor,
                 unsigned size);
// Copies `aor` into `out` with the auth_pass value replaced by "***".
void SipMaskAor(const char *aor, char *out, unsigned size);
