// doralinctl: command-line client of the doralin daemon.
//
// Every method of the daemon takes at most one JSON text as a D-Bus string
// argument and answers with one JSON text; "GetSipRegisterStatus" answers with
// a single byte. Exit status: 0 done, 1 refused by the daemon (false result or
// not-found answer; "not registered" for register-status), 2 usage error,
// 3 bus error (no connection, no daemon, call denied, no reply, bad reply).
// The "store" and "journal" commands read the device store directly, without
// the bus, so they work while the daemon is stopped.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "doralinctl.h"

namespace {

const char kUsageText[] =
    "Usage: doralinctl [OPTIONS] COMMAND [ARGS]   (options anywhere on the line)\n"
    "\n"
    "Talks to the doralin daemon (bus name is.ornix.doralin) on the system bus.\n"
    "\n"
    "Options:\n"
    "  -a, --address ADDR   connect to the bus at ADDR (e.g. unix:path=/tmp/bus)\n"
    "                       instead of the system bus ($DBUS_SYSTEM_BUS_ADDRESS)\n"
    "      --session        use the session bus\n"
    "  -t, --timeout MS     reply timeout in milliseconds (default 5000)\n"
    "  -c, --compact        print replies as compact JSON\n"
    "      --dest NAME      bus name of the daemon (default is.ornix.doralin)\n"
    "  -h, --help           show this text\n"
    "  -V, --version        show the version\n"
    "\n"
    "Commands (JSON may be given as '-' to read it from standard input):\n"
    "  status                    call state, flat, peer, registration, refusals, uptime\n"
    "  watch                     print the call state, then every change, until\n"
    "                            interrupted\n"
    "  get GROUP                 show settings; GROUP is one of\n"
    "                            sip gate sos concierge flat0 dtmf door assistant\n"
    "  set GROUP JSON            change settings with a JSON object\n"
    "  set sos|concierge|flat0 ADDRESS\n"
    "                            set a service room address\n"
    "  set dtmf DIGIT1 [DIGIT2]  set the door-opening DTMF keys\n"
    "  set door SECONDS [on|off] set the hang-up delay after a door opening\n"
    "  reset dtmf|assistant      return DTMF keys or assistant flags to defaults\n"
    "  settings dump             every setting and the accounts as one JSON document\n"
    "  settings restore FILE     apply such a document through the daemon's methods\n"
    "  accounts [FLAT]           show all per-flat SIP accounts, or one flat's\n"
    "  accounts set FLAT [ACCOUNT...]\n"
    "                            replace one flat's accounts (none: empty list)\n"
    "  accounts load JSON        merge an object {\"FLAT\": [ACCOUNT...], ...}\n"
    "  accounts delete FLAT|all  remove one flat's accounts, or every flat's\n"
    "  register-status           'registered' (exit 0) or 'not registered' (exit 1)\n"
    "  hangup                    end the active call\n"
    "  alarm play [FILE] [--text TEXT] [--only-panel]\n"
    "                            start an alarm notification\n"
    "  alarm stop                stop the alarm notification\n"
    "  alarm status              show the alarm file and whether it plays\n"
    "  notification status       show the forced notification being played\n"
    "  assistant reload          re-read the assistant phrase directories\n"
    "  log-level LEVEL           set the daemon's log level (1 trace .. 5 error)\n"
    "  call METHOD [JSON]        call any method of is.ornix.Method\n"
    "\n"
    "Offline commands (the device store under $DORALIN_ROOT):\n"
    "  journal [--since TIME] [--code N] [--limit N]\n"
    "                            the event journal, oldest first; TIME is\n"
    "                            'YYYY-MM-DD[ HH:MM[:SS]]' or -N[smhd] (ago)\n"
    "  store get KEY             print a stored setting (exit 1 when missing)\n"
    "  store set KEY VALUE       store a setting of section doralin; the daemon\n"
    "                            reads it at its next start\n"
    "  config check [FILE]       check the SIP library's config (default\n"
    "                            etc/baresip/config): exit 1 on a refused value\n"
    "\n"
    "Exit status: 0 done, 1 refused by the daemon, 2 usage error, 3 bus error.\n";

enum LongOnly { kSession = 256, kDest, kText, kOnlyPanel, kSince, kCode, kLimit };

const option kLongOptions[] = {
    {"address", required_argument, nullptr, 'a'}, {"session", no_argument, nullptr, kSession},
    {"timeout", required_argument, nullptr, 't'}, {"compact", no_argument, nullptr, 'c'},
    {"dest", required_argument, nullptr, kDest},   {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},        {"text", required_argument, nullptr, kText},
    {"only-panel", no_argument, nullptr, kOnlyPanel}, {"since", required_argument, nullptr, kSince},
    {"code", required_argument, nullptr, kCode},   {"limit", required_argument, nullptr, kLimit},
    {nullptr, 0, nullptr, 0}};

// One option into `o`; false after a usage error has been printed (in *status).
bool TakeOption(int c, const char *arg, Options *o, int *status) {
  long ms;
  switch (c) {
    case 'a':
      if (*arg == '\0') {
        *status = UsageError("--address needs an address");
        return false;
      }
      o->address = arg;
      break;
    case kSession: o->session = true; break;
    case 't':
      if (!ParseInt(arg, 1, INT_MAX, &ms)) {
        *status = UsageError("--timeout needs a positive number of milliseconds");
        return false;
      }
      o->timeoutMs = int(ms);
      break;
    case 'c': o->compact = true; break;
    case kDest:
      if (!dbus_validate_bus_name(arg, nullptr)) {
        *status = UsageError("--dest needs a valid bus name");
        return false;
      }
      o->destination = arg;
      break;
    case kText: o->text = arg; break;
    case kOnlyPanel: o->onlyPanel = true; break;
    case kSince: o->since = arg; break;
    case kCode: o->code = arg; break;
    case kLimit: o->limit = arg; break;
    default: return false;
  }
  return true;
}

// Options that belong to one command are refused with any other.
bool CommandOptionsFit(const std::vector<std::string> &w, const Options &o, int *status) {
  const bool alarmPlay = w.size() >= 2 && w[0] == "alarm" && w[1] == "play";
  if ((o.text || o.onlyPanel) && !alarmPlay) {
    *status = UsageError("--text and --only-panel belong to 'alarm play'");
    return false;
  }
  if ((o.since || o.code || o.limit) && w[0] != "journal") {
    *status = UsageError("--since, --code and --limit belong to 'journal'");
    return false;
  }
  return true;
}

// The same check the daemon makes at start-up: warnings and errors on
// stderr, one line each; exit 1 when a value would be refused.
int RunConfigCheck(const std::vector<std::string> &w) {
  if (w.size() < 2 || w[1] != "check" || w.size() > 3) return UsageError("usage: config check [FILE]");
  const std::string path = w.size() == 3 ? w[2] : RootPath("/etc/baresip/config");
  const int errors = SipConfigCheck(
      path.c_str(), [](void *, bool error, const std::string &line) {
        std::cerr << (error ? "error: " : "warning: ") << line << "\n";
      }, nullptr);
  if (errors != 0) return kRefused;
  std::cout << path << ": ok\n";
  return kOk;
}

}  // namespace

int UsageError(const std::string &text) {
  std::cerr << "doralinctl: " << text << "\n"
            << "Try 'doralinctl --help'.\n";
  return kUsage;
}

bool ParseInt(const std::string &text, long min, long max, long *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseJsonArgument(const std::string &text, JsonPtr *out, std::string *why) {
  std::string source = text;
  if (text == "-") {
    source.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      *why = "cannot read JSON from standard input";
      return false;
    }
  }
  json_error_t err;
  json_t *j = json_loadb(source.data(), source.size(), JSON_DECODE_ANY, &err);
  if (!j) {
    *why = std::string("invalid JSON argument: ") + err.text;
    return false;
  }
  out->reset(j);
  return true;
}

void PrintJson(const Options &o, json_t *value) {
  char *out = json_dumps(value, JSON_ENCODE_ANY | (o.compact ? JSON_COMPACT : JSON_INDENT(2)));
  std::cout << (out ? out : "") << std::endl;
  free(out);
}

int main(int argc, char **argv) {
  Options o;
  opterr = 0;  // the messages below say more
  int c, status = kOk;
  while ((c = getopt_long(argc, argv, ":a:t:chV", kLongOptions, nullptr)) != -1) {
    if (c == 'h') {
      std::cout << kUsageText;
      return kOk;
    }
    if (c == 'V') {
      std::cout << "doralinctl " << DORALIN_VERSION << "\n";
      return kOk;
    }
    if (c == ':') return UsageError(std::string(argv[optind - 1]) + " needs a value");
    if (c == '?') return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    if (!TakeOption(c, optarg, &o, &status)) return status;
  }
  std::vector<std::string> words(argv + optind, argv + argc);
  if (words.empty()) return UsageError("missing command");
  if (!CommandOptionsFit(words, o, &status)) return status;
  const std::string &cmd = words[0];
  if (cmd == "store") return RunStore(words, o);
  if (cmd == "journal") return RunJournal(words, o);
  if (cmd == "config") return RunConfigCheck(words);
  if (cmd == "status") return RunStatus(words, o);
  if (cmd == "watch") return RunWatch(words, o);
  if (cmd == "settings") return RunSettings(words, o);
  return RunMethodCommand(words, o);
}
