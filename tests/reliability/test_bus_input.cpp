// Hostile bus input against the running daemon: every method and panel signal
// with malformed arguments.
#include "sip/re_headers.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ornix.h"
#include "registered_daemon.h"

namespace {

// The methods of is.ornix.Method as the interface file (served as the
// introspection data) names them.
std::vector<std::string> Methods() {
  const std::string xml = ReadFile(DORALIN_SOURCE_DIR "/packaging/is.ornix.doralin.xml"), tag = "<method name=\"";
  const size_t end = xml.find("</interface>", xml.find("\"is.ornix.Method\""));
  std::vector<std::string> out;
  for (size_t at = xml.find(tag); at < end; at = xml.find(tag, at + 1))
    out.push_back(xml.substr(at + tag.size(), xml.find('"', at + tag.size()) - at - tag.size()));
  return out;
}
const std::vector<std::string> kMethods = Methods();

// REBOOT and UDHCPC_BOUND end the process by design; they are left out.
const char *const kSignals[] = {
    "NotificationForcedStop", "NotificationForcedPlay", "UART_EV_DIAL", "UART_EV_SOS", "UART_EV_CONCIERGE",
    "UART_EV_TRYING_CALL", "UART_EV_TRYING_FLAT0", "UART_EV_TRYING_SOS", "UART_EV_TRYING_CONCIERGE",
    "UART_EV_DIAL_GATE", "UART_EV_BYE", "UART_EV_ANSWER", "UART_EV_OPEN", "UART_EV_OPEN_HANDSET",
    "UART_EV_ADD_KEY", "UART_EV_RFID_OPEN", "UART_EV_RFID_ANY_KEY_OPEN", "UART_EV_RFID_OPEN_ENC",
    "UART_EV_RFID_NOT_OPEN", "UART_EV_RFID_NOT_OPEN_ENCRYPTION", "UART_EV_KEY_REQUEST_FLAT",
    "UART_EV_PASS_OPEN", "UART_EV_PASS_NOT_OPEN", "UART_EV_TAMPER_ALARM", "UART_EV_NOTIFY_FLAT",
    "UART_EV_ALARM_NOTIFICATION_FLATS"};

// Argument kinds: none, an int32, an ay of `text`, `text` twice, `text`.
enum Kind { NONE, INT32, BYTES, TWO, TEXT };
struct Input {
  Kind kind;
  std::string text;
};

DBusMessage *Build(const char *method, const Input &in) {
  DBusMessage *m = dbus_message_new_method_call("is.ornix.doralin", ORNIX_OBJECT_PATH, ORNIX_METHOD_IFACE, method);
  const char *p = in.text.c_str();
  const dbus_int32_t n = -7;
  if (in.kind == INT32) dbus_message_append_args(m, DBUS_TYPE_INT32, &n, DBUS_TYPE_INVALID);
  if (in.kind == BYTES) DbusArrayAdd(m, reinterpret_cast<const uint8_t *>(p), int(in.text.size()));
  for (int i = in.kind == TWO ? 2 : in.kind == TEXT; i > 0; i--)
    dbus_message_append_args(m, DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID);
  return m;
}

// Copies of `root` with one leaf under `v` (depth-first) at a time swapped for
// a value of another type, or an integer out of range.
void Mutations(json_t *root, json_t *v, std::vector<Input> &out) {
  auto visit = [&](json_t *child, auto set) {
    if (json_is_object(child) || json_is_array(child)) return Mutations(root, child, out);
    for (json_t *bad : {json_array(), json_string("x"), json_true(), json_integer(-1), json_integer(LLONG_MAX),
                        json_real(1e308)}) {
      // Same-kind values may be valid settings.
      const bool spoils = json_is_integer(bad) ||
                          (json_is_boolean(bad) ? !json_is_boolean(child) : json_typeof(bad) != json_typeof(child));
      json_t *keep = json_incref(child);
      set(bad);
      char *text = spoils ? json_dumps(root, JSON_COMPACT) : nullptr;
      if (text) out.push_back({TEXT, text});
      free(text);
      set(keep);
    }
  };
  json_t *child; const char *key; size_t i;
  json_object_foreach(v, key, child) visit(child, [&](json_t *x) { json_object_set_new(v, key, x); });
  json_array_foreach(v, i, child) visit(child, [&](json_t *x) { json_array_set_new(v, i, x); });
}

std::string Reply(const BusReply &r) {
  return r.ok ? r.text.value_or("") + std::string(r.bytes.begin(), r.bytes.end()) : "<" + r.error + ">";
}

// Every Get* reply and the accounts file.
std::string Snapshot(Daemon &d) {
  std::string s = ReadFile(d.Path("/oem/sip_accounts.conf"));
  for (const std::string &m : kMethods) s += m.starts_with("Get") ? "\n" + m + " " + Reply(d.Call(m)) : "";
  return s;
}

}  // namespace

TEST(BusInput, MalformedMethodsAndSignalsChangeNothing) {
  Sipp busy;
  SippRun uas("callee.xml", 0, {"-set", "busy", "1"});
  uas.timeout = Millis(120000);
  uas.calls = 1000;
  ASSERT_TRUE(busy.Start(uas));
  RegisteredDaemon registered;
  Daemon &d = registered.d;
  d.config.args = {"--trace"};
  d.config.store = {{"port", std::to_string(busy.port())}, {"sip_sos_addr", "\"sos-9\""}, {"doorHangupDelay", "4"}};
  d.config.files = {{"/oem/sip_accounts.conf", R"({"12":["1201","1202"],"30":[],"7":["701"]})"}};
  ASSERT_TRUE(registered.Start());
  const std::string before = Snapshot(d);
  EXPECT_NE(before.find("GetSos {\"sosRoom\":\"sos-9\"}"), std::string::npos);  // the legacy key
  // One flat's accounts; its own number when it has none; the whole list for a text.
  for (auto [arg, reply] : {std::pair{R"({"flat":5})", R"({"5":["5"]})"}, {R"({"flat":30})", R"({"30":["30"]})"},
                            {R"({"flat":"12"})", R"({"12":["1201","1202"],"30":[],"7":["701"]})"}})
    EXPECT_EQ(d.Text("GetSipAccounts", arg), reply);
  EXPECT_NE(d.Text("GetSipAccounts", R"({"flat":70000})").find("\"error\":404"), std::string::npos);  // no such flat

  const std::vector<Input> generic = {
      {NONE, ""}, {INT32, ""}, {BYTES, "{\"flat\":1}"}, {TWO, "[]"}, {TEXT, "not json {"},
      {TEXT, std::string(10000, '[')}, {TEXT, "\"" + std::string(1 << 20, 'x') + "\""},
      {TEXT, R"({"flat":"\ud800","level":"\u0000"})"}, {BYTES, "{\"a\":\"\xff\xfe\"}"},
      {TEXT, R"({"flat":1e999})"}, {TEXT, R"({"flat":-99999999999999999999})"}, {TEXT, "[1,2]"}, {TEXT, "17"},
      {TEXT, "null"}};
  ASSERT_GE(kMethods.size(), 20u);
  for (const std::string &m : kMethods) {
    std::vector<Input> all = generic;
    // Set* get their own settings back with one field spoiled at a time; the
    // rest a template of the arguments other methods read.
    const bool set = m.starts_with("Set");
    json_t *tpl = json_loads(set ? Reply(d.Call("Get" + m.substr(3))).c_str()
                                 : R"({"flat":0,"level":0,"name":0,"onlyPanel":"no"})", 0, nullptr);
    Mutations(tpl, tpl, all);
    json_decref(tpl);
    for (const Input &in : all) {
      BusReply r = d.Bus()->Call(Build(m.c_str(), in), 10000);
      // Served: the interface names no method the daemon lacks.
      ASSERT_TRUE(r.ok && (in.kind != NONE || r.text.value_or("").find("\"error\":404") == std::string::npos))
          << m << " " << in.text.substr(0, 80) << ": " << r.error;
      // Requests without a readable JSON argument set nothing.
      json_t *arg = in.kind == TEXT || in.kind == TWO ? json_loads(in.text.c_str(), JSON_DECODE_ANY, nullptr) : nullptr;
      if (!arg && (set || m == "DeleteSipAccounts" || m == "PlayAlarmNotification")) {
        EXPECT_EQ(Reply(r), R"({"result":false})") << m << " " << in.text.substr(0, 80);
      }
      json_decref(arg);
    }
  }

  std::mt19937 rng(20261206);
  for (const char *s : kSignals)
    for (size_t n : {0, 1, 2, 3, 4, 4096, 37}) {
      std::vector<uint8_t> payload(n);
      for (uint8_t &b : payload) b = uint8_t(rng());
      ASSERT_TRUE(d.Signal(s, payload));
    }
  for (const char *s : {"UART_EV_DIAL", "UART_EV_TRYING_CALL", "NotificationForcedPlay"})
    ASSERT_TRUE(d.Signal(s) && d.Signal(s, std::string("{}")));
  ASSERT_TRUE(d.Signal("NoSuchSignal", std::vector<uint8_t>{1, 2}));
  EXPECT_TRUE(d.Call("GetDtmf", std::nullopt, 30000).ok);  // served after every signal
  // IDLE: a hang-up request is granted there and ends nothing (retried while
  // a phrase plays, where it is refused without effect).
  auto ends = [&] { return d.CountLog("User bye") + d.CountLog("UART bye"); };
  const int endsBefore = ends();
  EXPECT_TRUE(WaitFor(
      [&] { return Reply(d.Call("HangupActiveCall")) == R"({"result":true})" && ends() == endsBefore; },
      Millis(20000), Millis(300)));
  EXPECT_EQ(Snapshot(d), before);
  d.Terminate();
  EXPECT_NE(d.WaitExit(20000), -1);
  EXPECT_EQ(d.SanitizerReports(), std::vector<std::string>{});
}
