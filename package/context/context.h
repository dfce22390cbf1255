// The one process-wide call context, its call-state model and logging setters.
#pragma once

#include <dbus/dbus.h>
#include <time.h>

#include <atomic>
#include <cstdint>

struct call;
struct ua;

// In this order: StateAbove compares states.
enum CallState : uint32_t {
  IDLE = 0,
  ASSISTANT_DIALING = 1,
  ASSISTANT_ESTABLISHED = 2,
  NOTIFICATION_DIALING = 3,
  NOTIFICATION_ESTABLISHED = 4,
  SYSTEM_SOUND_ESTABLISHED = 5,
  INCOMING_DIALING = 6,
  INCOMING_ESTABLISHED = 7,
  OUTGOING_DIALING = 8,
  OUTGOING_SIP_DIALING = 9,
  OUTGOING_UART_DIALING = 10,
  OUTGOING_SIP_ESTABLISHED = 11,
  OUTGOING_UART_ESTABLISHED = 12,
  ALARM_NOTIFICATION = 13,
};

enum CallType : uint32_t {
  NONE = 0,
  COMMON = 1,
  SOS = 2,
  CONCIERGE = 3,
};

constexpr uint16_t CUSTOM_NUMBER_FLAT = 65534;
// Apartments are numbered 1..LAST_APARTMENT (four keypad digits).
constexpr uint16_t LAST_APARTMENT = 9999;
constexpr int PHRASE_TYPES = 13;  // slots 0..12, slot 0 unused
// The running line is kept in UTF-8; the MCU takes at most 99 bytes of it in
// Windows-1251, each of which is at most 3 bytes in UTF-8.
constexpr int RUNNING_LINE_TEXT_SIZE = 99 * 3 + 1;

struct PhraseSet {
  uint8_t count;
  uint8_t numbers[256];
  char dir[256];
};

struct AssistantRecord {
  bool assistantEnable;
  bool assistantOnline;
  uint8_t activePhraseType;
  bool isPlayAlarm;
  bool onlyPanel;
  char playPath[256];
  char alarmFileName[256];
  char textRunningLine[RUNNING_LINE_TEXT_SIZE];
  PhraseSet phrases[PHRASE_TYPES];
};

// The block handed whole to the registration and edited as a copy by the
// server settings setter.
struct ServerSettings {
  int32_t registerAttempts;
  uint32_t port;
  char domain[100];
  uint32_t portRegister;
  char domainRegister[100];
  char username[100];
  char password[100];
  uint32_t proxyPort;
  char proxyDomain[100];
  bool proxyEnable;
  bool transportUdp;
  bool transportTcp;
  bool transportTls;
};

// The one way to share a field of the context across threads without a
// common lock (the SIP loop, the bus loop, the playback and stop threads):
// every access is one atomic load or store, and reads and writes look like
// those of a plain value.
template <class T>
struct Shared {
  std::atomic<T> value{};

  constexpr Shared() = default;
  Shared(const Shared &other) : value(other.load()) {}
  Shared &operator=(const Shared &other) { return *this = other.load(); }
  Shared &operator=(T v) {
    store(v);
    return *this;
  }
  operator T() const { return load(); }
  // Sequentially consistent: a reader that sees a later store (say
  // `lastRegisterEvent`) sees the earlier ones too (`registerStatus`).
  T load() const { return value.load(); }
  void store(T v) { value.store(v); }
};

// How a change of the state or the call type is recorded: `Logged` writes
// "Set state: …" / "Set callType: …" (a new state also goes to
// `callStateObserver` and counts toward `IdleReturns`); the
// phrase claim and its end, a failed dial and the alarm's stops store
// `Unlogged`, as the panel has always done on those paths.
enum class StateLog { Logged, Unlogged };

void SetState(CallState newState, StateLog log = StateLog::Logged);
void SetCallType(CallType newType, StateLog log = StateLog::Logged);

// A context field that only its setters above write; it reads like the plain
// value. Assigning a value outside them does not compile.
template <class T>
class SetterOnly {
 public:
  operator T() const { return value.load(); }
  T load() const { return value.load(); }

 private:
  friend void SetState(CallState, StateLog);
  friend void SetCallType(CallType, StateLog);
  Shared<T> value;
};

// Behaviour only the test variant of the daemon has (app/test_hooks.cpp
// fills this before main; the installed daemon leaves it empty).
struct json_t;
struct TestHooks {
  void (*holdPhraseEnd)();     // at the end of each offline phrase
  const char *stallMethod;      // a bus method of its own (the name too stays
  bool (*stallLoop)(json_t *);  // out of the installed daemon) and its handler
};
extern TestHooks testHooks;

struct CallContextRecord {
  Shared<bool> restartRequested;  // set by the bus handlers and the stop sequence
  bool serverSettingsChanged;
  DBusConnection *dbus;
  SetterOnly<CallState> state;
  const char *configPath;
  ServerSettings server;  // registerAttempts .. transportTls
  struct call *currentCall;
  struct ua *secondUa;
  uint16_t flat;
  SetterOnly<CallType> callType;
  int assistantSocket;
  bool fromGate;
  bool hadPanelDecline;
  timer_t panelDeclineTimer;
  struct call *accountsListCall;
  bool videoEnabled;
  uint8_t videoStreamId;
  bool enableDirect;
  bool directVideo;
  Shared<bool> registerStatus;      // written by the SIP loop, read by the bus side
  Shared<int32_t> lastRegisterEvent;
  int32_t doorHangupDelay;
  bool doorHangupOn;
  uint32_t prefixSize;
  uint32_t flatNumberSize;
  char dtmf_1[2];
  char dtmf_2[2];
  char sos[100];
  char concierge[100];
  char flat0[100];
  AssistantRecord assistant;
};

extern CallContextRecord CallContext;

const char *StateName(uint32_t state);
const char *CallTypeName(uint32_t type);

// How often the state went back to IDLE from another state.
uint32_t IdleReturns();
// Told of the new state after every SetState (the bus status signal). Set
// once at start-up, before the threads that change the state run; it must
// neither block nor take the SIP library's lock.
extern void (*callStateObserver)(CallState newState);
void SetFlat(uint16_t newFlat);

// The process's one way out: exit(status) for whichever thread comes first;
// a later caller waits for the process to end.
[[noreturn]] void ExitProcess(int status);

void SendUartBye(const char *reason);
// The call state the panel sends with every bye-with-state.
constexpr unsigned UART_BYE_CALL_STATE = 1;
void SendUartByeWithState(unsigned callState, const char *reason);

bool IsStaleUartOutgoing();
void ClearStaleUartOutgoing(const char *reason);
bool StateAbove(CallState limit);
