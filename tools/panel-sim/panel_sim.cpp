// panel-sim: stands in for the panel's UART and camera services on a bus.
// It records every command it receives as a JSON line, answers them as told
// (by options, or at run time on standard input) and sends panel events.
#include <dbus/dbus.h>
#include <jansson.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ornix.h"

namespace {

const char *kUsage =
    "Usage: panel-sim [options]\n"
    "Owns " ORNIX_UART_SERVICE " and " ORNIX_CAMERA_SERVICE " on the bus in DBUS_SYSTEM_BUS_ADDRESS\n"
    "(or --address), records every method call to them and answers it.\n"
    "\n"
    "Options:\n"
    "  --log FILE           append one JSON line per received call to FILE (flushed per line)\n"
    "  --call take|refuse   answer to UartSendCommandCall (default take: 00; refuse: 01)\n"
    "  --door ok|fail       answer to UartSendCommandOpenByIDWithSource (default ok: 01)\n"
    "  --alarm ok|fail      answer to the three alarm notification commands (default ok: 01)\n"
    "  --gain N             answer UartSendCommandReply with its own bytes, byte 1 set to N\n"
    "  --reply HEX          answer UartSendCommandReply with these bytes (e.g. 062a21)\n"
    "  --delay MS           wait MS milliseconds before each answer (default 0)\n"
    "  --silent METHOD      record METHOD but never answer it (repeatable)\n"
    "  --no-uart            do not own " ORNIX_UART_SERVICE "\n"
    "  --no-camera          do not own " ORNIX_CAMERA_SERVICE "\n"
    "  --address ADDR       bus address instead of DBUS_SYSTEM_BUS_ADDRESS\n"
    "  --send MEMBER [HEX...]     send one " ORNIX_SIGNAL_IFACE " signal with a byte array and exit\n"
    "  --send-json MEMBER [JSON]  send one signal with a JSON text argument and exit\n"
    "  --help               this text\n"
    "\n"
    "Commands on standard input, one per line (each answered on stdout with\n"
    "\"ok <command>\" or \"error <reason>\"):\n"
    "  signal MEMBER [HEX...]     e.g. \"signal UART_EV_TRYING_CALL 0a00 02\"\n"
    "  signal-json MEMBER [JSON]\n"
    "  call take|refuse, door ok|fail, alarm ok|fail, gain N, reply HEX, delay MS,\n"
    "  silent METHOD, loud METHOD, ping, quit\n"
    "\n"
    "Record: {\"t\": monotonic ms, \"service\", \"method\", \"sender\", \"noReply\",\n"
    "  \"bytes\": hex of an ay argument, \"text\": a string argument, \"json\": that text\n"
    "  parsed, \"answer\": hex of the bytes answered}. \"ready\" is printed once the\n"
    "names are owned.\n";

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Behaviour {
  bool takeCall = true;
  bool doorOk = true;
  bool alarmOk = true;
  int gain = -1;
  bool haveReply = false;
  std::vector<uint8_t> reply;
  int delayMs = 0;
  std::set<std::string> silent;
};

double MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex tokens ("0a00", "02", "0x1f") into bytes; false on a malformed token.
bool ParseHex(const std::vector<std::string> &tokens, std::vector<uint8_t> *bytes) {
  bytes->clear();
  for (std::string t : tokens) {
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.size() % 2 != 0) return false;
    for (size_t i = 0; i < t.size(); i += 2) {
      int hi = HexDigit(t[i]), lo = HexDigit(t[i + 1]);
      if (hi < 0 || lo < 0) return false;
      bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
  }
  return true;
}

bool ParseInt(const std::string &text, int lo, int hi, int *value) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 0);
  if (text.empty() || *end || errno || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

bool SendSignal(DBusConnection *conn, const std::string &member, const std::vector<uint8_t> *bytes,
                const std::string *json) {
  if (!dbus_validate_member(member.c_str(), nullptr)) return false;
  DBusMessagePtr m(dbus_message_new_signal(ORNIX_OBJECT_PATH, ORNIX_SIGNAL_IFACE, member.c_str()));
  if (!m) return false;
  bool ok = true;
  if (bytes) ok = DbusArrayAdd(m.get(), bytes->data(), static_cast<int>(bytes->size())) != 0;
  if (json) {
    const char *text = json->c_str();
    ok = ok && dbus_message_append_args(m.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  }
  ok = ok && dbus_connection_send(conn, m.get(), nullptr);
  if (ok) dbus_connection_flush(conn);
  return ok;
}

std::vector<std::string> Split(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

// Everything after the first `skip` words of the line, trimmed.
std::string RestAfter(const std::string &line, size_t skip) {
  size_t pos = 0;
  for (size_t i = 0; i < skip; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return "";
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return "";
  }
  size_t start = line.find_first_not_of(" \t", pos);
  if (start == std::string::npos) return "";
  size_t end = line.find_last_not_of(" \t\r\n");
  return line.substr(start, end - start + 1);
}

// Applies one behaviour setting (option or command). Empty on success, else the reason.
std::string Configure(Behaviour &b, const std::string &what, const std::string &value) {
  if (what == "call") {
    if (value != "take" && value != "refuse") return "call take|refuse";
    b.takeCall = value == "take";
  } else if (what == "door") {
    if (value != "ok" && value != "fail") return "door ok|fail";
    b.doorOk = value == "ok";
  } else if (what == "alarm") {
    if (value != "ok" && value != "fail") return "alarm ok|fail";
    b.alarmOk = value == "ok";
  } else if (what == "gain") {
    if (!ParseInt(value, 0, 255, &b.gain)) return "gain 0..255";
    b.haveReply = false;
  } else if (what == "reply") {
    if (!ParseHex({value}, &b.reply) || b.reply.empty()) return "reply HEX";
    b.haveReply = true;
  } else if (what == "delay") {
    if (!ParseInt(value, 0, 60000, &b.delayMs)) return "delay 0..60000";
  } else if (what == "silent") {
    if (value.empty()) return "silent METHOD";
    b.silent.insert(value);
  } else if (what == "loud") {
    b.silent.erase(value);
  } else {
    return "unknown setting " + what;
  }
  return "";
}

struct Received {
  std::vector<uint8_t> bytes;
  bool haveBytes = false;
  bool haveText = false;
  std::string text;
};

Received ReadArgs(DBusMessage *m) {
  Received r;
  DBusMessageIter it;
  if (!dbus_message_iter_init(m, &it)) return r;
  int type = dbus_message_iter_get_arg_type(&it);
  if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(&it) == DBUS_TYPE_BYTE) {
    uint8_t *data = nullptr;
    const int n = DbusArrayGet(m, &data);
    r.bytes.assign(data, data + n);
    r.haveBytes = true;
  } else if (type == DBUS_TYPE_STRING) {
    const char *s = nullptr;
    dbus_message_iter_get_basic(&it, &s);
    r.text = s ? s : "";
    r.haveText = true;
  }
  return r;
}

class Sim {
 public:
  Sim(DBusConnection *conn, FILE *log, Behaviour b) : conn_(conn), log_(log), b_(std::move(b)) {}

  void Handle(DBusMessage *m) {
    if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
    const char *dest = dbus_message_get_destination(m);
    const char *member = dbus_message_get_member(m);
    const char *sender = dbus_message_get_sender(m);
    std::string service = dest ? dest : "";
    std::string method = member ? member : "";
    bool noReply = dbus_message_get_no_reply(m);
    Received args = ReadArgs(m);

    bool silent = b_.silent.count(method) > 0;
    std::vector<uint8_t> answer;
    bool answerBytes = false;
    const bool known = Answer(service, method, args, &answer, &answerBytes);
    Record(service, method, sender, noReply, args, answerBytes && !noReply && !silent ? &answer : nullptr, known);
    if (noReply || silent) return;
    if (b_.delayMs > 0) usleep(static_cast<useconds_t>(b_.delayMs) * 1000);
    Reply(m, known, answerBytes ? &answer : nullptr);
  }

  // One command line from stdin. False for "quit".
  bool Command(const std::string &line) {
    std::vector<std::string> w = Split(line);
    if (w.empty()) return true;
    const std::string &cmd = w[0];
    if (cmd == "quit") {
      Say("ok quit");
      return false;
    }
    if (cmd == "ping") {
      Say("ok ping");
      return true;
    }
    if (cmd == "signal") {
      std::vector<uint8_t> bytes;
      if (w.size() < 2) return Say("error signal MEMBER [HEX...]"), true;
      if (!ParseHex(std::vector<std::string>(w.begin() + 2, w.end()), &bytes))
        return Say("error bad hex"), true;
      Say(SendSignal(conn_, w[1], &bytes, nullptr) ? "ok signal " + w[1] : "error signal not sent");
      return true;
    }
    if (cmd == "signal-json") {
      if (w.size() < 2) return Say("error signal-json MEMBER [JSON]"), true;
      std::string json = RestAfter(line, 2);
      bool ok = json.empty() ? SendSignal(conn_, w[1], nullptr, nullptr) : SendSignal(conn_, w[1], nullptr, &json);
      Say(ok ? "ok signal-json " + w[1] : "error signal not sent");
      return true;
    }
    std::string why = Configure(b_, cmd, w.size() > 1 ? w[1] : "");
    Say(why.empty() ? "ok " + cmd : "error " + why);
    return true;
  }

 private:
  // What a call gets as told; false for a method neither service has. UART
  // commands answer with bytes (`*bytes` set), the others with a JSON text.
  bool Answer(const std::string &service, const std::string &method, const Received &args, std::vector<uint8_t> *answer,
              bool *bytes) {
    if (service == ORNIX_CAMERA_SERVICE) return method == "SetMicGain" || method == "ResetMicGain";
    // Otherwise sent to our unique name, or a name we do not serve.
    if (service != ORNIX_UART_SERVICE) return false;
    *bytes = true;
    if (method == "UartSendCommandCall") {
      *answer = {static_cast<uint8_t>(b_.takeCall ? 0 : 1)};
    } else if (method == "UartSendCommandOpenByIDWithSource") {
      *answer = {static_cast<uint8_t>(b_.doorOk ? 1 : 0)};
    } else if (method == "UartSendCommandReply") {
      if (b_.haveReply) {
        *answer = b_.reply;
      } else {
        *answer = args.bytes;
        if (b_.gain >= 0 && answer->size() > 1) (*answer)[1] = static_cast<uint8_t>(b_.gain);
      }
    } else if (method == "UartSendCommandPlayAlarmNotification" ||
               method == "UartSendCommandReplayAlarmNotification" ||
               method == "UartSendCommandStopAlarmNotification") {
      *answer = {static_cast<uint8_t>(b_.alarmOk ? 1 : 0)};
    } else if (method == "UartSendCommandStart" || method == "UartSendCommandBye" ||
               method == "UartSendCommandByeWithState" || method == "UartSendCommandError" ||
               method == "UartSetOfflineAssistantDelimiter") {
      *bytes = false;
    } else {
      return false;
    }
    return true;
  }

  // The method return (`answer` as bytes, else {"result":true}) or, for an
  // unknown method, the error.
  void Reply(DBusMessage *m, bool known, const std::vector<uint8_t> *answer) {
    DBusMessagePtr reply;
    if (!known) {
      reply.reset(dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "panel-sim does not serve this method"));
    } else {
      reply.reset(dbus_message_new_method_return(m));
      if (reply && answer) DbusArrayAdd(reply.get(), answer->data(), static_cast<int>(answer->size()));
      if (reply && !answer) {
        const char *text = "{\"result\":true}";
        dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
      }
    }
    if (reply) {
      dbus_connection_send(conn_, reply.get(), nullptr);
      dbus_connection_flush(conn_);
    }
  }

  void Say(const std::string &text) {
    printf("%s\n", text.c_str());
    fflush(stdout);
  }

  void Record(const std::string &service, const std::string &method, const char *sender, bool noReply,
              const Received &args, const std::vector<uint8_t> *answer, bool known) {
    JsonPtr holder(json_object());
    json_t *rec = holder.get();
    json_object_set_new(rec, "t", json_real(MonotonicMs()));
    json_object_set_new(rec, "service", json_string(service.c_str()));
    json_object_set_new(rec, "method", json_string(method.c_str()));
    json_object_set_new(rec, "sender", json_string(sender ? sender : ""));
    json_object_set_new(rec, "noReply", json_boolean(noReply));
    if (args.haveBytes) json_object_set_new(rec, "bytes", json_string(Hex(args.bytes).c_str()));
    if (args.haveText) {
      json_t *text = json_stringn(args.text.data(), args.text.size());
      if (text) json_object_set_new(rec, "text", text);
      json_t *parsed = json_loads(args.text.c_str(), JSON_DECODE_ANY, nullptr);
      if (parsed) json_object_set_new(rec, "json", parsed);
    }
    if (answer) json_object_set_new(rec, "answer", json_string(Hex(*answer).c_str()));
    if (!known) json_object_set_new(rec, "unknown", json_true());
    char *line = json_dumps(rec, JSON_COMPACT);
    if (!line) return;
    if (log_) {
      fprintf(log_, "%s\n", line);
      fflush(log_);
    }
    free(line);
  }

  DBusConnection *conn_;
  FILE *log_;
  Behaviour b_;
};

DBusConnection *Connect(const std::string &address) {
  dbus_threads_init_default();
  DBusError err;
  dbus_error_init(&err);
  std::string where = address;
  if (where.empty()) {
    const char *env = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    where = env && *env ? env : "unix:path=/var/run/dbus/system_bus_socket";
  }
  DBusConnection *conn = dbus_connection_open_private(where.c_str(), &err);
  if (!conn || !dbus_bus_register(conn, &err)) {
    fprintf(stderr, "panel-sim: bus %s: %s\n", where.c_str(), err.message ? err.message : "no connection");
    dbus_error_free(&err);
    if (conn) {
      dbus_connection_close(conn);
      dbus_connection_unref(conn);
    }
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(conn, FALSE);
  return conn;
}

bool Own(DBusConnection *conn, const char *name) {
  DBusError err;
  dbus_error_init(&err);
  int r = dbus_bus_request_name(conn, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &err);
  if (r == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) return true;
  fprintf(stderr, "panel-sim: cannot own %s: %s\n", name, dbus_error_is_set(&err) ? err.message : "taken");
  dbus_error_free(&err);
  return false;
}

void Close(DBusConnection *conn) {
  dbus_connection_flush(conn);
  dbus_connection_close(conn);
  dbus_connection_unref(conn);
}

// What the command line asks for.
struct Args {
  Behaviour behaviour;
  std::string logPath, address;
  bool uart = true, camera = true;
  bool oneShot = false, oneShotJson = false;
  std::string oneShotMember;
  std::vector<std::string> oneShotArgs;
};

// The command line into `args`: -1 to go on, else the exit status.
int ParseArgs(int argc, char **argv, Args *args) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) {
        fprintf(stderr, "panel-sim: %s needs a value\n", a.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--log") {
      if (!value(&args->logPath)) return 2;
    } else if (a == "--address") {
      if (!value(&args->address)) return 2;
    } else if (a == "--no-uart") {
      args->uart = false;
    } else if (a == "--no-camera") {
      args->camera = false;
    } else if (a == "--send" || a == "--send-json") {
      if (!value(&args->oneShotMember)) return 2;
      args->oneShot = true;
      args->oneShotJson = a == "--send-json";
      for (++i; i < argc; ++i) args->oneShotArgs.push_back(argv[i]);
    } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
      if (!value(&v)) return 2;
      std::string why = Configure(args->behaviour, a.substr(2), v);
      if (!why.empty()) {
        fprintf(stderr, "panel-sim: %s\n%s", why.c_str(), kUsage);
        return 2;
      }
    } else {
      fprintf(stderr, "panel-sim: unknown argument %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  return -1;
}

// --send and --send-json: one signal, then the exit status.
int SendOnce(DBusConnection *conn, const Args &args) {
  bool ok;
  if (args.oneShotJson) {
    std::string json;
    for (auto &s : args.oneShotArgs) json += (json.empty() ? "" : " ") + s;
    ok = SendSignal(conn, args.oneShotMember, nullptr, json.empty() ? nullptr : &json);
  } else {
    std::vector<uint8_t> bytes;
    if (!ParseHex(args.oneShotArgs, &bytes)) {
      fprintf(stderr, "panel-sim: bad hex bytes\n");
      Close(conn);
      return 2;
    }
    ok = SendSignal(conn, args.oneShotMember, &bytes, nullptr);
  }
  Close(conn);
  if (!ok) fprintf(stderr, "panel-sim: signal %s not sent\n", args.oneShotMember.c_str());
  return ok ? 0 : 1;
}

// The record file and the services' names; false after telling why.
bool Open(DBusConnection *conn, const Args &args, FILE **log) {
  if (!args.logPath.empty()) {
    *log = fopen(args.logPath.c_str(), "a");
    if (!*log) {
      fprintf(stderr, "panel-sim: cannot open %s: %s\n", args.logPath.c_str(), strerror(errno));
      return false;
    }
  }
  return (!args.uart || Own(conn, ORNIX_UART_SERVICE)) && (!args.camera || Own(conn, ORNIX_CAMERA_SERVICE));
}

// What standard input has now, line by line; false once "quit" came. At
// its end the bus is still served until a signal stops the simulator.
bool ReadCommands(Sim &sim, std::string *pending, bool *stdinOpen) {
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    if (n == 0 || errno != EINTR) *stdinOpen = false;
    return true;
  }
  pending->append(buf, static_cast<size_t>(n));
  size_t nl;
  bool quit = false;
  while ((nl = pending->find('\n')) != std::string::npos) {
    std::string line = pending->substr(0, nl);
    pending->erase(0, nl + 1);
    if (!sim.Command(line)) quit = true;
  }
  return !quit;
}

// Calls from the bus and commands from standard input, until stopped.
void Serve(DBusConnection *conn, Sim &sim) {
  std::string pending;
  bool stdinOpen = true;
  int busFd = -1;
  dbus_connection_get_unix_fd(conn, &busFd);
  while (!g_stop) {
    dbus_connection_read_write(conn, 0);
    for (int i = 0; i < 256; ++i) {
      DBusMessagePtr m(dbus_connection_pop_message(conn));
      if (!m) break;
      sim.Handle(m.get());
    }
    if (!dbus_connection_get_is_connected(conn)) break;
    if (dbus_connection_get_dispatch_status(conn) == DBUS_DISPATCH_DATA_REMAINS) continue;
    // Wait for the bus or a command line, whichever comes first.
    pollfd p[2] = {{busFd, POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    int ready = poll(p, 2, 100);
    if (ready <= 0 || !(p[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    if (!ReadCommands(sim, &pending, &stdinOpen)) break;
  }
}

}  // namespace

int main(int argc, char **argv) {
  Args args;
  const int status = ParseArgs(argc, argv, &args);
  if (status >= 0) return status;

  DBusConnection *conn = Connect(args.address);
  if (!conn) return 1;
  if (args.oneShot) return SendOnce(conn, args);

  FILE *log = nullptr;
  if (!Open(conn, args, &log)) {
    if (log) fclose(log);
    Close(conn);
    return 1;
  }

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  printf("ready\n");
  fflush(stdout);

  Sim sim(conn, log, args.behaviour);
  Serve(conn, sim);
  if (log) fclose(log);
  Close(conn);
  return 0;
}
