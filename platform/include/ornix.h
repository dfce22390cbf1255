// Device services library (libornix): logging, event journal, settings store,
// bus helpers, MCU commands and small utilities. See docs/platform.md for the
// bus protocol towards the UART and camera services and the on-disk layout.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <string>

// ---- Root directory ---------------------------------------------------------
// Every fixed path resolves under $DORALIN_ROOT (default "/").
// RootPath("/tmp/offline.sock") -> "<root>/tmp/offline.sock".
std::string RootPath(const char *path);

// ---- Logging ----------------------------------------------------------------
// Levels: 1 trace, 2 debug, 3 info, 4 warning, 5 error. A record is written
// when its level is >= the current level. With DORALIN_LOG_STDERR=1 every
// record also goes to stderr as one line:
//   "L<level> <file>:<line> <text>"            (system log)
//   "J<level> <code> <file>:<line> <text>"     (event journal; "| detail" added
//                                               by LogWriteMorvat2)
void LogSetName(const char *name);
void LogSetLevel(int level);
int LogGetLevel(void);
// Level stored for `name` in the boot environment file <root>/etc/fw_env
// (lines "<name>_loglevel=N"); 3 when missing or unreadable.
int UbootEnvGetLogLevel(const char *name);

void LogWrite(int level, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void LogWriteMorvat(int level, const char *file, int line, int eventCode,
                    const char *fmt, ...) __attribute__((format(printf, 5, 6)));
// LogWriteMorvat2(level, file, line, code, fmt, args..., 0, detailFmt, detailArgs...)
void LogWriteMorvat2(int level, const char *file, int line, int eventCode,
                     const char *fmt, ...);

// Each source file defines LOG_MODULE (e.g. "package/src/sip/sip") first.
#define LOG(level, ...) LogWrite((level), LOG_MODULE, __LINE__, __VA_ARGS__)
#define LOG_BOTH(level, ...)                                          \
  do {                                                                \
    LogWrite((level), LOG_MODULE, __LINE__, __VA_ARGS__);             \
    LogWriteMorvat((level), LOG_MODULE, __LINE__, 0, __VA_ARGS__);    \
  } while (0)

// Journal event codes.
enum {
  MORVAT_PLAIN = 0,
  MORVAT_DOOR_DTMF = 106,
  MORVAT_SIP_REG_OK = 300,
  MORVAT_SIP_REG_FAIL = 301,
  MORVAT_TALK_STARTED = 701,
};

// ---- Bus --------------------------------------------------------------------
// Interfaces and well-known names.
#define ORNIX_METHOD_IFACE "is.ornix.Method"
#define ORNIX_SIGNAL_IFACE "is.ornix.Signal"
#define ORNIX_UART_SERVICE "is.ornix.uart"
#define ORNIX_CAMERA_SERVICE "is.ornix.camera"
#define ORNIX_OBJECT_PATH "/is/ornix"

// Connects to the system bus ($DBUS_SYSTEM_BUS_ADDRESS honoured), owns
// `busName` as primary owner and subscribes to is.ornix.Signal signals.
// Null on any failure.
DBusConnection *DbusConnect(const char *busName);
// Broadcast signal on is.ornix.Signal; `json` may be null (no argument).
// Non-zero on success.
int DbusJsonSignal(DBusConnection *conn, const char *member, json_t *json);
// Method call without waiting for a reply (no-reply flag set). Non-zero on success.
int DbusJsonMethodCall(DBusConnection *conn, const char *destination,
                       const char *method, json_t *json);
// New JSON value of the message's first (string) argument, or null.
json_t *DbusJsonGet(DBusMessage *message);
// Sends a method return carrying json's compact text; caller keeps its reference.
// A null json sends an empty JSON object. Non-zero on success.
int DbusJsonMethodReply(DBusConnection *conn, DBusMessage *message, json_t *json);
// New reply value {"result": true|false} from a JSON boolean (json_true()/json_false()).
json_t *DbusJsonMessageBoolean(json_t *value);
// New not-found reply value {"error": 404, "message": "Not Found"}; caller releases.
json_t *Response404(void);
// Byte count of the message's first (ay) argument and a pointer into the
// message (valid while the message lives); 0 and *bytes = null when none.
int DbusArrayGet(DBusMessage *message, uint8_t **bytes);
// Appends an `ay` argument. Non-zero on success.
int DbusArrayAdd(DBusMessage *message, const uint8_t *bytes, int length);
// Serves "DBusSetLogLevel": argument {"level": N}, reply boolean message.
void DbusRespSetLogLevelApp(DBusConnection *conn, DBusMessage *message);
// Logs the member of a message at level 2.
void DbusOutputMethodName(DBusMessage *message);

// ---- Store (SQLite at <root>/var/lib/ornix/store.db) ------------------------
json_t *StoreGetVariable(DBusConnection *conn, const char *section, const char *key);
char *StoreGetVar(DBusConnection *conn, const char *section, const char *key);  // free()
int StoreSetVariable(DBusConnection *conn, const char *section, const char *key,
                     json_t *json);

// ---- MCU (method calls to is.ornix.uart) ------------------------------------
int UartSendCommandStart(DBusConnection *conn, int mode);
int UartSendCommandBye(DBusConnection *conn);
int UartSendCommandByeWithState(DBusConnection *conn, unsigned callState);
int UartSendCommandError(DBusConnection *conn);
int UartSendCommandCall(DBusConnection *conn, uint16_t flat);  // 0: MCU took the call
int UartSendCommandOpenByIDWithSource(DBusConnection *conn, int door, int source);
int UartSendCommandReply(DBusConnection *conn, uint8_t *buffer, int length);
int UartSendCommandPlayAlarmNotification(DBusConnection *conn, int onlyPanel,
                                         const uint8_t *text, int length);
int UartSendCommandReplayAlarmNotification(DBusConnection *conn);
int UartSendCommandStopAlarmNotification(DBusConnection *conn);
int UartSetOfflineAssistantDelimiter(DBusConnection *conn, uint8_t mark);

// ---- Other ------------------------------------------------------------------
// Paths are resolved under the root directory.
int CreateUnixDgramSocket(const char *path, int flags);
int SendToUnixDgramSocket(int fd, const void *data, size_t length,
                          const char *destination, int flags);
void DestroyUnixSocket(int fd);

void SetStartCallTimestamp(void);
void SetEndCallTimestamp(void);
int64_t GetStartCallTimestamp(void);
int64_t GetEndCallTimestamp(void);

struct MediaInfoDir {
  int type;       // PhraseType number
  char dir[256];  // directory text as listed (ends with '/')
};
// Entries from <root>/etc/ornix/media_dirs (lines "<type> <dir>"); the array
// is owned by the library and stays valid until the next call.
int GetMediaInfoDirs(const MediaInfoDir **entries);

// POSIX extended regular expressions; non-zero on a match, *index = first
// matching pattern.
int UtilsCheckMatches(const char *const *patterns, int count, const char *text,
                      int *index);
// UTF-8 -> Windows-1251 with iconv. The result is written into `buffer` and
// also over the start of `text` (NUL-terminated there). Returns the length in
// bytes of the converted text, 0 on failure or empty text.
int UtilsConvertUtf8StrIn1251(char *text, char *buffer, int size);
