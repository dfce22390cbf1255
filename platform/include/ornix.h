// Device services library (libornix): logging, event journal, settings store,
// bus helpers, MCU commands and small utilities. See docs/platform.md for the
// bus protocol towards the UART and camera services and the on-disk layout.
#pragma once

#include <dbus/dbus.h>
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// ---- Holders ----------------------------------------------------------------
// Owners of one reference each: a JSON value (json_decref) and a bus message
// (dbus_message_unref). release() hands the reference on.
struct JsonDeleter {
  void operator()(json_t *json) const { json_decref(json); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

struct DBusMessageDeleter {
  void operator()(DBusMessage *message) const { dbus_message_unref(message); }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageDeleter>;

// ---- Root directory ---------------------------------------------------------
// Every fixed path resolves under $DORALIN_ROOT; without it, paths under
// /etc and /var resolve under the prefix of a program installed with one of
// its own (P/bin, P/sbin and P/etc/baresip/config), else under "/".
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

// Each source file defines LOG_MODULE (e.g. "package/src/sip/sip") first: the
// module's name in the records, kept when a file moves (journal readers
// filter on it).
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
  MORVAT_CALL_ENDED = 702,
  MORVAT_CALL_REFUSED = 703,
};

// Journal records at or after `sinceMs` (ms since the epoch; 0 for all) with
// event code `code` (any when negative): the newest `limit` of them (all when
// limit <= 0), oldest first, as a new JSON array of objects {"time" (ms),
// "level", "code", "source", "line", "text", "detail" (when given), "pid"}.
// Null when the store cannot be read.
json_t *JournalRead(int64_t sinceMs, int code, int limit);

// ---- Bus --------------------------------------------------------------------
// Interfaces and well-known names.
#define ORNIX_METHOD_IFACE "is.ornix.Method"
#define ORNIX_SIGNAL_IFACE "is.ornix.Signal"
#define ORNIX_UART_SERVICE "is.ornix.uart"
#define ORNIX_CAMERA_SERVICE "is.ornix.camera"
#define ORNIX_OBJECT_PATH "/is/ornix"

// Connects to the system bus ($DBUS_SYSTEM_BUS_ADDRESS honoured), owns
// `busName` as primary owner and subscribes to is.ornix.Signal signals.
// Null on any failure. The connection does not end the process when the bus
// goes away.
DBusConnection *DbusConnect(const char *busName);
// Closes and releases a connection from DbusConnect (null is ignored).
void DbusClose(DBusConnection *conn);
// Broadcast signal on is.ornix.Signal, path ORNIX_OBJECT_PATH; `json` may be
// null (no argument); caller keeps its reference. Non-zero on success.
int DbusJsonSignal(DBusConnection *conn, const char *member, json_t *json);
// Method call on is.ornix.Method without waiting for a reply (no-reply flag
// set, so no method return ever lands in the connection's queue); `json` may
// be null (no argument); caller keeps its reference. Non-zero on success.
int DbusJsonMethodCall(DBusConnection *conn, const char *destination,
                       const char *method, json_t *json);
// New JSON value of the message's first argument (a string, or an ay, holding
// JSON text), or null.
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
// `conn` is not needed by the local store and may be null. Each write is one
// transaction; a store that cannot be opened or written gives 0 / null.
// New JSON value of the key, or null when missing or unreadable. A plain-text
// value comes back as a JSON string.
json_t *StoreGetVariable(DBusConnection *conn, const char *section, const char *key);
// The key's value as text (a JSON string value without quotes, any other JSON
// value as its compact JSON text), malloc()ed: release with free(). Null when missing.
char *StoreGetVar(DBusConnection *conn, const char *section, const char *key);
// Stores a copy of `json` (caller keeps its reference). Non-zero on success.
int StoreSetVariable(DBusConnection *conn, const char *section, const char *key,
                     json_t *json);
// Stores plain text, as older firmware kept its keys. Non-zero on success.
int StoreSetVar(DBusConnection *conn, const char *section, const char *key,
                const char *text);
// Removes a key. Non-zero when the store could be written (also when the key
// was not there).
int StoreDeleteVariable(DBusConnection *conn, const char *section, const char *key);

// ---- MCU (method calls to is.ornix.uart) ------------------------------------
// One method per command, named as the function, on is.ornix.Method at
// ORNIX_UART_SERVICE (docs/platform.md). Commands with a result wait at most
// ORNIX_UART_TIMEOUT_MS for the answer; the others are sent without reply.
// A null `conn` fails every command.
#define ORNIX_UART_TIMEOUT_MS 2000
int UartSendCommandStart(DBusConnection *conn, int mode);
int UartSendCommandBye(DBusConnection *conn);
int UartSendCommandByeWithState(DBusConnection *conn, unsigned callState);
int UartSendCommandError(DBusConnection *conn);
int UartSendCommandCall(DBusConnection *conn, uint16_t flat);  // 0: MCU took the call
int UartSendCommandOpenByIDWithSource(DBusConnection *conn, int door, int source);
// Sends `length` bytes; the MCU's answer is copied back into `buffer` (at most
// `length` bytes). Non-zero when an answer came.
int UartSendCommandReply(DBusConnection *conn, uint8_t *buffer, int length);
int UartSendCommandPlayAlarmNotification(DBusConnection *conn, int onlyPanel,
                                         const uint8_t *text, int length);
int UartSendCommandReplayAlarmNotification(DBusConnection *conn);
int UartSendCommandStopAlarmNotification(DBusConnection *conn);
int UartSetOfflineAssistantDelimiter(DBusConnection *conn, uint8_t mark);
// Its marks: an offline phrase starts, the phrase has ended.
constexpr uint8_t UART_PHRASE_STARTS = 0x45;
constexpr uint8_t UART_PHRASE_ENDED = 70;

// ---- Other ------------------------------------------------------------------
// Paths are resolved under the root directory (parent directories are
// created). `flags` of CreateUnixDgramSocket are added to the socket type
// (e.g. SOCK_NONBLOCK); the descriptor is at least 1, -1 on failure. Flags of
// SendToUnixDgramSocket are sendto() flags; result: bytes sent or -1.
int CreateUnixDgramSocket(const char *path, int flags);
int SendToUnixDgramSocket(int fd, const void *data, size_t length,
                          const char *destination, int flags);
// Closes the socket and removes the path it was bound to.
void DestroyUnixSocket(int fd);

// Wall-clock milliseconds since the epoch, kept process-wide.
void SetStartCallTimestamp(void);
void SetEndCallTimestamp(void);
int64_t GetStartCallTimestamp(void);
int64_t GetEndCallTimestamp(void);

struct MediaInfoDir {
  int type;       // PhraseType number
  char dir[256];  // listed directory resolved under the root (ends with '/')
};
// Entries from <root>/etc/ornix/media_dirs (lines "<type> <dir>", '#'
// comments). Each directory is given as the device knows it ("/usr/share/
// ornix/sounds/door/") and returned as RootPath of it, with a '/' added when
// it lacks one; one that would not fit is skipped. The array is owned
// by the library and stays valid for the life of the process. 0 when the file
// is missing.
int GetMediaInfoDirs(const MediaInfoDir **entries);

// POSIX extended regular expressions; non-zero on a match, *index = first
// matching pattern.
int UtilsCheckMatches(const char *const *patterns, int count, const char *text,
                      int *index);
// UTF-8 -> Windows-1251 with iconv. The result (at most size - 1 bytes, whole
// characters only; characters without a 1251 form become '?', invalid bytes
// are skipped) is written NUL-terminated into `buffer` and also over the start
// of `text`. Returns its length in bytes, 0 on failure or empty text.
int UtilsConvertUtf8StrIn1251(char *text, char *buffer, int size);

// ---- SIP library config -----------------------------------------------------
// Checks the text of a SIP library config file (etc/baresip/config): unknown
// keys are warnings (error false, once per key), values out of range or of the
// wrong form errors naming the key. Each problem is one line to `report`.
// Returns the number of errors, -1 when the file cannot be read.
typedef void (*SipConfigReport)(void *arg, bool error, const std::string &line);
int SipConfigCheck(const char *path, SipConfigReport report, void *arg);
