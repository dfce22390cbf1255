#define LOG_MODULE "package/src/sip/sip"

#include "sip/sip.h"
#include "sip/re_headers.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#define DEBUG_MODULE "sip"
#define DEBUG_LEVEL 5
#include <re_dbg.h>

#include "context/threads.h"
#include "ornix.h"
#include "sip/bracket.h"
#include "sip/call_info.h"
#include "sip/cut_printf.h"
#include "sip/events.h"
#include "sip/legs.h"
#include "sip/service_call.h"

namespace {

const char kSoftware[] = "baresip v3.7.0 (?/?)";

const SipCallEvents *callEvents = nullptr;  // kept for a later bring-up
// Set from libre_init to the end of SipClose: the library's objects exist.
std::atomic<bool> libraryUp{false};
// libre itself is open (its fd table, timers) and still needs libre_close.
std::atomic<bool> libreOpen{false};
std::atomic<bool> terminating{false};
// Bring-up, registration attempts, the loop's start and end, and the stop
// take turns: a stop never meets a bring-up half done, and none follows a
// stop that ends the process.
std::recursive_mutex lifecycle;

// While the loop runs, SIGINT and SIGTERM only write their number to this
// pipe; the loop reads it and runs SipSignalHandler on its own thread,
// whichever thread the signal interrupted, and wakes for it at once.
int loopSignalPipe[2] = {-1, -1};

void ServeLoopSignals(int, void *) {
  unsigned char bytes[16];
  const ssize_t n = read(loopSignalPipe[0], bytes, sizeof bytes);
  for (ssize_t i = 0; i < n; ++i) SipSignalHandler(bytes[i]);
}

// Should the loop not take the pipe, re_main's own handlers replace the relay.
bool WatchLoopSignals() {
  return RelayStopSignals(loopSignalPipe, O_NONBLOCK) &&
         fd_listen(loopSignalPipe[0], FD_READ, ServeLoopSignals, nullptr) == 0;
}

// Steps 2 to 7 of the bring-up; the first failure's error number, else 0.
int BringUp(const SipCallEvents *events) {
  SipThreadBracket bracket;
  int err = conf_configure();
  if (err) {
    LOG_BOTH(4, "main: configure failed: %s", strerror(err));
    return err;
  }
  err = baresip_init(conf_config());
  if (err) {
    LOG_BOTH(4, "main: baresip init failed (%s)", strerror(err));
    return err;
  }
  err = ua_init(kSoftware, CallContext.server.transportUdp,
                CallContext.server.transportTcp,
                CallContext.server.transportTls);
  if (err) return err;
  uag_set_exit_handler(UaExitHandler, nullptr);
  err = conf_modules();
  if (err) return err;
  return uag_event_register(SipEventDispatch, const_cast<SipCallEvents *>(events));
}

// The library frees the calls it still holds without reporting them closed;
// each is hung up first, so that its close is handled like any other and no
// handle to it stays behind. Inside the bracket.
void DropCalls() {
  for (struct le *le = list_head(uag_list()); le; le = le->next)
    HangupCallsOnUa(static_cast<struct ua *>(le->data), nullptr);
}

// Under `lifecycle`. Keeps libre open while a loop still polls its
// descriptors; SipRun closes it once the loop has returned.
void CloseLibrary(int err) {
  LOG(1, "Terminate");
  {
    SipThreadBracket bracket;
    if (libraryUp) DropCalls();
    if (libraryUp.exchange(false)) {
      if (err) ua_stop_all(true);
      ua_close();
      CallContext.secondUa = nullptr;
      module_app_unload();
      conf_close();
      baresip_close();
      dbg_printf(DBG_DEBUG, "main: unloading modules..\n");
      mod_close();
    }
  }
  if (!SipLoopRunning() && libreOpen.exchange(false)) libre_close();
}

struct StopRequest {
  bool forced;
  bool endLoop;
};

void StopOnLoop(void *arg) {
  const auto *request = static_cast<const StopRequest *>(arg);
  CloseLibrary(request->forced ? 1 : 0);
  if (!request->endLoop) return;
  SipThreadBracket bracket;  // on another thread its leave wakes the loop
  re_cancel();
}

}  // namespace

void SipSetConfigPath(const char *path) { conf_path_set(path); }

void SipSetCameraState(const char *path) { sipua_camera_state(path); }

bool SipLibraryUp(void) { return libraryUp.load(); }

int SipInit(const SipCallEvents *events) {
  std::lock_guard<std::recursive_mutex> turn(lifecycle);
  callEvents = events;
  int err = libre_init();
  if (err) {
    // libre_init cleans up after itself; there is nothing else to close.
    return err;
  }
  libreOpen = true;
  libraryUp = true;
  err = BringUp(events);
  if (err) {
    SipClose(err);
    return err;
  }
  return 0;
}

void SipBuildAor(const ServerSettings *s, bool withProxy, char *aor,
                 unsigned size) {
  char outbound[128] = "";
  if (withProxy && s->proxyEnable) {
    CUT_PRINTF(outbound, sizeof outbound, ";outbound=sip:%s:%u;transport=%s",
             s->proxyDomain, s->proxyPort, s->transportUdp ? "udp" : "tcp");
  }
  CUT_PRINTF(aor, size, "sip:%s@%s:%u;auth_pass=%s%s", s->username,
           s->domainRegister, s->portRegister, s->password, outbound);
}

void SipMaskAor(const char *aor, char *out, unsigned size) {
  if (size == 0) return;
  static const char kKey[] = ";auth_pass=";
  const char *key = strstr(aor, kKey);
  if (key == nullptr) {
    CUT_PRINTF(out, size, "%s", aor);
    return;
  }
  const char *value = key + sizeof kKey - 1;
  const char *rest = strchr(value, ';');
  CUT_PRINTF(out, size, "%.*s***%s", static_cast<int>(value - aor), aor,
           rest ? rest : "");
}

bool SipRegister(const ServerSettings *settings) {
  if (settings == nullptr) return false;
  std::lock_guard<std::recursive_mutex> turn(lifecycle);
  if (!libraryUp) {
    // The previous attempt closed the library: bring it up again first.
    if (callEvents == nullptr) return false;
    LOG(2, "SIP library is closed, bringing it up again");
    if (SipInit(callEvents) != 0) return false;
  }

  char aor[256];
  SipBuildAor(settings, true, aor, sizeof aor);
  char masked[256];
  SipMaskAor(aor, masked, sizeof masked);
  LOG(1, "Baresip AOR: %s", masked);

  int err = 0;
  {
    SipThreadBracket bracket;
    struct ua *ua = nullptr;
    err = ua_alloc(&ua, aor);
    if (!err) {
      if (ua_account(ua) == nullptr) {
        LOG_BOTH(4, "account: no account for this ua");
        return true;
      }
      err = ua_register(ua);
      if (err) LOG_BOTH(4, "account: failed to register ua");
    }
  }
  if (err) {
    SipClose(err);
    return false;
  }
  SetupNoProxyUa(settings);
  return true;
}

void SetupNoProxyUa(const ServerSettings *settings) {
  if (CallContext.secondUa != nullptr || settings == nullptr) return;
  if (!settings->proxyEnable && !CallContext.enableDirect) {
    LOG(2, "Skip second UA setup: SIP proxy disabled and enableDirect=0");
    return;
  }
  char aor[256];
  SipBuildAor(settings, false, aor, sizeof aor);
  struct ua *ua = nullptr;
  int err;
  {
    SipThreadBracket bracket;
    err = ua_alloc(&ua, aor);
  }
  if (err) {
    LOG(2, "Failed to create no-proxy UA err=%d", err);
    LOG_BOTH(4, "[direct] directNoProxy ua_alloc failed (%s)", strerror(err));
    return;
  }
  CallContext.secondUa = ua;
  LOG(2, "Second UA ready for direct gate calls ua=%p proxyEnable=%d",
      static_cast<void *>(ua), settings->proxyEnable ? 1 : 0);
  LOG(1, "[direct] directNoProxy UA ready: %p", static_cast<void *>(ua));
}

namespace {

// A dial waiting for the first registration result sleeps here; the SIP
// loop wakes it with the result (it must not burn the core that loop needs).
std::mutex registrationLock;
std::condition_variable registrationSeen;

void WakeRegistrationWaiters() {
  { std::lock_guard<std::mutex> hold(registrationLock); }
  registrationSeen.notify_all();
}

}  // namespace

void SipRegistrationEvent(int event, const char *text) {
  SipNoteRegisterEvent(event, text);
  switch (event) {
    case UA_EVENT_REGISTER_OK:
      CallContext.registerStatus.store(true);
      CallContext.lastRegisterEvent.store(event);
      WakeRegistrationWaiters();
      LOG(3, "SIP registration success");
      LogWriteMorvat(3, LOG_MODULE, __LINE__, MORVAT_SIP_REG_OK,
                     "SIP registration success");
      return;
    case UA_EVENT_REGISTERING:
    case UA_EVENT_REGISTER_FAIL:
    case UA_EVENT_UNREGISTERING: {
      CallContext.registerStatus.store(false);
      CallContext.lastRegisterEvent.store(event);
      WakeRegistrationWaiters();
      int status = 0;
      if (text != nullptr && sscanf(text, "%d", &status) == 1) {
        LOG(3, "SIP registration failed (%s)", text);
        LogWriteMorvat2(3, LOG_MODULE, __LINE__, MORVAT_SIP_REG_FAIL,
                        "SIP registration failed (%s)", text, 0, "%d", status);
      }
      return;
    }
    default:
      return;
  }
}

bool SipWaitRegistered(void) {
  if (CallContext.lastRegisterEvent.load() != 0) {
    if (CallContext.registerStatus.load()) return true;
    int err;
    {
      SipThreadBracket bracket;
      struct ua *ua = CurrentUa();
      err = ua ? ua_register(ua) : EINVAL;
    }
    if (err) return false;
    sleep(1);
  }
  // At most two seconds for the first result (steady clock: a step of the
  // wall clock neither ends nor stretches the wait).
  std::unique_lock<std::mutex> hold(registrationLock);
  registrationSeen.wait_for(hold, std::chrono::seconds(2),
                            [] { return CallContext.lastRegisterEvent.load() != 0; });
  return CallContext.registerStatus.load();
}

void SipUnregister(void) {
  LOG(1, "SipUnregister");
  if (!libraryUp) return;
  SipThreadBracket bracket;
  struct ua *ua = CurrentUa();
  if (ua != nullptr) ua_unregister(ua);
}

void SipStopAll(void) { ua_stop_all(false); }

bool SipCalledUser(struct call *call, char *out, size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  const char *local = call ? call_localuri(call) : nullptr;
  if (local == nullptr) return false;
  char raw[256] = "";
  ExtractUserPart(local, raw, sizeof raw);
  if (strlen(raw) == sizeof raw - 1) return false;  // perhaps cut: never checked whole
  struct pl escaped;
  pl_set_str(&escaped, raw);
  struct mbuf *plain = mbuf_alloc(sizeof raw);
  const int err = plain ? mbuf_printf(plain, "%H", uri_user_unescape, &escaped) : ENOMEM;
  const size_t n = plain ? plain->end : 0;
  const bool ok = err == 0 && n < size && memchr(plain->buf, 0, n) == nullptr;
  if (ok) {
    memcpy(out, plain->buf, n);
    out[n] = '\0';
  }
  mem_deref(plain);
  return ok;
}

struct ua *UaDefault(void) {
  struct list *list = uag_list();
  const bool trace = CallContext.fromGate;
  if (trace) {
    LOG(1, "[direct] UaDefault uag_list=%p tid=%p", static_cast<void *>(list),
        reinterpret_cast<void *>(pthread_self()));
  }
  if (list == nullptr) {
    if (trace) LOG(1, "[direct] UaDefault: uag_list is NULL");
    return nullptr;
  }
  struct le *le = list_head(list);
  if (le == nullptr) {
    if (trace) LOG(1, "[direct] UaDefault: list is empty (le=NULL)");
    return nullptr;
  }
  struct ua *ua = static_cast<struct ua *>(le->data);
  if (trace) {
    LOG(1, "[direct] UaDefault le=%p ua=%p", static_cast<void *>(le),
        static_cast<void *>(ua));
  }
  return ua;
}

struct ua *CurrentUa(void) {
  struct call *call = CallContext.currentCall;
  if (call != nullptr) {
    struct ua *ua = call_get_ua(call);
    if (ua != nullptr) return ua;
  }
  return UaDefault();
}

void SipRun(void) {
  {
    std::lock_guard<std::recursive_mutex> turn(lifecycle);
    // Without a library (bring-up failed) the loop still runs, so that
    // signals reach the stop path; it needs an open libre.
    if (!libreOpen && libre_init() == 0) libreOpen = true;
    SipMarkLoopThread();
  }
  // Without the pipe, libre's own recording of the signal serves instead.
  const bool watched = WatchLoopSignals();
  int err = re_main(watched ? nullptr : SipSignalHandler);
  if (watched) fd_close(loopSignalPipe[0]);
  SipUnmarkLoopThread();
  SipClose(err);
}

bool SipStop(bool forced, bool endLoop) {
  StopRequest request{forced, endLoop};
  for (int tries = 0;; ++tries) {
    if (SipRunOnLoop(StopOnLoop, &request)) return true;
    lifecycle.lock();
    if (!SipLoopRunning()) {
      CloseLibrary(forced ? 1 : 0);
      // Held for good when the caller ends the process: no bring-up follows.
      if (!endLoop) lifecycle.unlock();
      return false;
    }
    // On the loop thread, or inside a bracket, the loop is held off already.
    if (SipOnLoopThread() || SipThreadDepth() > 0 || tries == 2) {
      StopOnLoop(&request);
      lifecycle.unlock();
      return true;
    }
    lifecycle.unlock();  // the loop started meanwhile: it takes the stop
  }
}

void SipSignalHandler(int sig) {
  if (!terminating.exchange(true)) {
    LOG_BOTH(3, "Terminated by signal %d", sig);
    if (libraryUp) {
      DropCalls();
      ua_stop_all(false);
    } else {
      // Nothing to stop: no exit handler will come.
      re_cancel();
    }
    return;
  }
  mod_close();
  ExitProcess(0);
}

void UaExitHandler(void *) {
  LOG(1, "ua exited -- stopping main runloop");
  re_cancel();
}

void SipClose(int err) {
  std::lock_guard<std::recursive_mutex> turn(lifecycle);
  CloseLibrary(err);
}
