#define LOG_MODULE "package/main/process"
#include "app/process.h"

#include <atomic>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bus/bus_loop.h"
#include "bus/status.h"
#include "bus/supervisor.h"
#include "call/dispatcher.h"
#include "context/context.h"
#include "context/threads.h"
#include "media/assistant.h"
#include "ornix.h"
#include "settings/settings.h"
#include "sip/bracket.h"
#include "sip/sip.h"

namespace {

constexpr const char *kBusName = "is.ornix.doralin";
constexpr const char *kAssistantSocket = "/tmp/offline.sock";
constexpr int kMaxRegisterFailures = 4;  // the fifth failure gives up
constexpr useconds_t kRegisterPause = 500;
constexpr unsigned kTerminateGrace = 3;
constexpr int kPlaybackDrainMs = 2000;

// The signal relay writes the signal number here; SignalWaiter runs the stop
// sequence on an ordinary thread.
int signalPipe[2] = {-1, -1};
pthread_mutex_t terminateLock = PTHREAD_MUTEX_INITIALIZER;
// Exit status of a stop that has ended the SIP loop; the main thread exits
// with it once the loop has returned. -1: none.
std::atomic<int> loopExitStatus{-1};

// Unregisters, waits 3 s, closes the SIP stack (by force when exitProcess)
// and, when exitProcess, ends the process with `status`. Calls are
// serialised: a second caller waits until the first returns (or exits).
// While the SIP loop runs, the close runs on the loop thread and, when
// exitProcess, the main thread exits once the loop has returned.
void BaresipTerminate(int status, bool exitProcess) {
  // One stop sequence at a time: a later caller (say the forced restart
  // after a SIGTERM) waits, and only the first ends the process.
  pthread_mutex_lock(&terminateLock);
  CallContext.restartRequested = exitProcess;
  LOG(1, "Baresip terminate with exit (%d)", exitProcess ? 1 : 0);
  SipUnregister();
  sleep(kTerminateGrace);
  if (!exitProcess) {
    SipStop(false, false);
    pthread_mutex_unlock(&terminateLock);
    return;
  }
  loopExitStatus = status;
  // While the SIP loop runs, the stack is closed on its thread and the main
  // thread ends the process once the loop has returned.
  if (SipStop(true, true)) {
    if (SipOnLoopThread()) return;  // back into the loop, which then ends
    for (;;) pause();
  }
  // No playback thread may still send on the assistant socket during exit.
  WaitPlaybackThreads(kPlaybackDrainMs);
  ExitProcess(status);
}

// Stop sequence for SIGINT/SIGTERM, the registration give-up (15) and the
// forced restart (2): logs the signal and ends the process with `signum`.
// The relay only records the signal; an ordinary thread then runs this.
void SignalHandler(int signum) {
  LOG_BOTH(4, "Получен сигнал \"%d\"", signum);
  BaresipTerminate(signum, true);
}

void *SignalWaiter(void *) {
  for (;;) {
    unsigned char byte;
    ssize_t n = read(signalPipe[0], &byte, 1);
    if (n == 1) SignalHandler(byte);
    else if (n < 0 && errno == EINTR) continue;
    else return nullptr;
  }
}

// Registration of the main account, up to five attempts.
void RegisterMainAccount() {
  for (;;) {
    ++CallContext.server.registerAttempts;
    if (SipRegister(&CallContext.server)) {
      LOG_BOTH(3, "[Baresip]: Успешная авторизация с %d попытки",
               CallContext.server.registerAttempts);
      return;
    }
    if (CallContext.server.registerAttempts > kMaxRegisterFailures) {
      LOG_BOTH(5, "[Baresip]: Неудачная попытка авторизации более %d раз",
               CallContext.server.registerAttempts);
      SignalHandler(SIGTERM);
      return;  // not reached: the stop sequence exits
    }
    LOG_BOTH(5, "[Baresip]: Ошибка применения параметров");
    SipStopAll();
    usleep(kRegisterPause);
  }
}

// Signal handling, log name and level, bus connection, settings load.
// False only when the bus connection fails.
bool InitProcess() {
  RelayStopSignals(signalPipe, 0);
  LogSetName("DORALIN");
  LogSetLevel(UbootEnvGetLogLevel("doralin"));
  CallContext.dbus = DbusConnect(kBusName);
  if (CallContext.dbus == nullptr) return false;
  // Signals recorded since the handlers went in are served from here on.
  if (signalPipe[0] >= 0) StartDetached(SignalWaiter);
  LoadSettings();
  return true;
}

// "--debug" sets log level 2, "--trace" level 1; the later one wins.
void ParseOptions(int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    if (strcmp(argv[i], "--debug") == 0) LogSetLevel(2);
    else if (strcmp(argv[i], "--trace") == 0) LogSetLevel(1);
  }
}

// "--help" and "--version" answer on stdout and end the process before it
// touches the bus; true when one of them was given.
bool AnswerInfoOption(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    if (strcmp(argv[i], "--version") == 0) {
      printf("doralin %s\n", DORALIN_VERSION);
      return true;
    }
    if (strcmp(argv[i], "--help") == 0) {
      printf("Usage: doralin [--debug | --trace]\n"
             "Call-control daemon of the door-entry panel.\n"
             "  --debug    log level 2\n"
             "  --trace    log level 1\n"
             "  --help     this text\n"
             "  --version  the version\n");
      return true;
    }
  }
  return false;
}

// A configuration the daemon cannot run with (sysexits' EX_CONFIG): not one
// of the planned exits, so the supervisor counts it as a failure.
constexpr int kExitConfig = 78;

// The SIP config's text, checked before SIP comes up: unknown keys are
// logged once each, a value out of range stops start-up naming its key. A
// missing file is the SIP library's to report (it runs on its defaults).
bool SipConfigAccepted() {
  const std::string path = std::string(CallContext.configPath) + "/config";
  if (access(path.c_str(), F_OK) != 0) return true;
  const int errors = SipConfigCheck(
      path.c_str(), [](void *, bool error, const std::string &line) {
        if (error) LOG_BOTH(5, "SIP config: %s", line.c_str());
        else LOG(4, "SIP config: %s", line.c_str());
      }, nullptr);
  if (errors == 0) return true;
  LOG_BOTH(5, "SIP config %s refused; stopping", path.c_str());
  return false;
}

}  // namespace

int DoralinMain(int argc, char **argv) {
  if (AnswerInfoOption(argc, argv)) return 0;
  if (!InitProcess()) return 0;
  ParseOptions(argc, argv);
  LOG_BOTH(3, "Запуск приложения");

  StatusInit();
  busStop = {BaresipTerminate, SignalHandler};
  StartDetached(BusLoop);
  StartDetached(BusWatchdog);

  CallContext.assistantSocket = CreateUnixDgramSocket(kAssistantSocket, 0);
  if (CallContext.assistantSocket < 1) LOG_BOTH(5, "Ошибка открытия сокета ассистента");

  srand(unsigned(time(nullptr)));
  JsonPtr(AssistantMakeFilesList(nullptr)).reset();  // the table; its reply is not needed

  SipSetConfigPath(CallContext.configPath);
  SipSetCameraState(RootPath("/var/lib/ornix/camera-profile").c_str());
  if (!SipConfigAccepted()) ExitProcess(kExitConfig);
  const int sipErr = SipInit(&callEvents);
  if (sipErr == EADDRNOTAVAIL || sipErr == EADDRINUSE || sipErr == EACCES || sipErr == ERANGE) {
    // Running on without SIP would only look healthy: the supervisor is
    // told through the exit status, the integrator through the log.
    LOG_BOTH(5, "SIP cannot listen on sip_listen of %s/config: %s; stopping", CallContext.configPath,
             strerror(sipErr));
    ExitProcess(kExitConfig);
  }
  if (sipErr > 0) LOG_BOTH(5, "[Baresip]: Ошибка инициализации");
  else RegisterMainAccount();

  LOG(1, "Сброс всех вызовов");
  UartSendCommandStart(CallContext.dbus, 0);
  ResumeAlarmNotification();
  DbusJsonSignal(CallContext.dbus, "DoralinStarted", nullptr);
  SupervisorReady();

  SipRun();

  WaitPlaybackThreads(kPlaybackDrainMs);  // before their socket goes
  const int stopStatus = loopExitStatus;
  if (stopStatus >= 0) ExitProcess(stopStatus);  // a stop ended the loop
  DestroyUnixSocket(CallContext.assistantSocket);
  LOG_BOTH(3, "Остановка приложения");
  return 1;
}
