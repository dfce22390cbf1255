#include "panel_sim.h"

#include <cstdlib>

namespace {

std::string Compact(json_t *json) {
  char *text = json_dumps(json, JSON_COMPACT | JSON_SORT_KEYS | JSON_ENCODE_ANY);
  std::string out = text ? text : "";
  free(text);
  return out;
}

bool FromHex(const char *hex, std::vector<uint8_t> *bytes) {
  bytes->clear();
  std::string s = hex ? hex : "";
  if (s.size() % 2) return false;
  for (size_t i = 0; i < s.size(); i += 2) bytes->push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return true;
}

int CountLines(const std::string &text, const std::string &prefix) {
  int n = 0;
  for (const auto &l : SplitLines(text))
    if (l.rfind(prefix, 0) == 0) ++n;
  return n;
}

}  // namespace

std::optional<PanelCommand> ParsePanelRecord(const std::string &line) {
  json_t *rec = json_loads(line.c_str(), 0, nullptr);
  if (!json_is_object(rec)) {
    json_decref(rec);
    return std::nullopt;
  }
  PanelCommand c;
  c.line = line;
  c.t = json_number_value(json_object_get(rec, "t"));
  if (const char *s = json_string_value(json_object_get(rec, "service"))) c.service = s;
  if (const char *s = json_string_value(json_object_get(rec, "method"))) c.method = s;
  if (const char *s = json_string_value(json_object_get(rec, "sender"))) c.sender = s;
  c.noReply = json_is_true(json_object_get(rec, "noReply"));
  if (json_t *b = json_object_get(rec, "bytes")) c.hasBytes = FromHex(json_string_value(b), &c.bytes);
  if (json_t *t = json_object_get(rec, "text")) c.text = std::string(json_string_value(t), json_string_length(t));
  if (json_t *j = json_object_get(rec, "json")) c.json = Compact(j);
  if (json_t *a = json_object_get(rec, "answer")) {
    std::vector<uint8_t> bytes;
    if (FromHex(json_string_value(a), &bytes)) c.answer = bytes;
  }
  json_decref(rec);
  return c;
}

PanelSim::PanelSim(const std::string &busAddress, std::vector<std::string> args)
    : address_(busAddress), args_(std::move(args)), logPath_(dir_.Path("commands.jsonl")) {}

PanelSim::~PanelSim() { Stop(); }

bool PanelSim::Start(Millis timeout) {
  std::vector<std::string> argv{PANEL_SIM_BIN, "--log", logPath_};
  argv.insert(argv.end(), args_.begin(), args_.end());
  ProcessOptions options;
  options.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
  options.stdinPipe = true;
  if (!process_.Start(argv, options)) return false;
  bool ready = WaitFor([&] { return process_.Stdout().find("ready\n") != std::string::npos || !process_.Running(); },
                       timeout);
  return ready && process_.Running();
}

bool PanelSim::Stop() {
  if (process_.pid() <= 0 || process_.Exited()) return true;
  process_.CloseStdin();
  return process_.Stop(Millis(3000));
}

std::vector<PanelCommand> PanelSim::Commands() const {
  std::vector<PanelCommand> out;
  std::string text = ReadFile(logPath_);
  // Only whole lines: the last one may still be being written.
  size_t end = text.rfind('\n');
  if (end == std::string::npos) return out;
  for (const auto &line : SplitLines(text.substr(0, end + 1)))
    if (auto c = ParsePanelRecord(line)) out.push_back(std::move(*c));
  return out;
}

std::vector<PanelCommand> PanelSim::Commands(const std::string &method) const {
  std::vector<PanelCommand> out;
  for (auto &c : Commands())
    if (c.method == method) out.push_back(std::move(c));
  return out;
}

int PanelSim::Count(const std::string &method) const { return static_cast<int>(Commands(method).size()); }

std::optional<PanelCommand> PanelSim::WaitForCommand(const std::string &method, Millis timeout, int nth) const {
  std::optional<PanelCommand> found;
  WaitFor(
      [&] {
        int seen = 0;
        for (auto &c : Commands()) {
          if (!method.empty() && c.method != method) continue;
          if (++seen == nth) {
            found = std::move(c);
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool PanelSim::Command(const std::string &line, Millis timeout) {
  if (!process_.Running()) return false;
  std::string word = line.substr(0, line.find(' '));
  // Replies come in order, one per command: wait for the next one.
  int before = CountLines(process_.Stdout(), "ok ") + CountLines(process_.Stdout(), "error ");
  if (!process_.WriteStdin(line + "\n")) return false;
  bool answered = WaitFor(
      [&] {
        std::string out = process_.Stdout();
        return CountLines(out, "ok ") + CountLines(out, "error ") > before;
      },
      timeout);
  if (!answered) return false;
  auto lines = SplitLines(process_.Stdout());
  int seen = 0;
  for (const auto &l : lines) {
    if (l.rfind("ok ", 0) != 0 && l.rfind("error ", 0) != 0) continue;
    if (++seen == before + 1) return l.rfind("ok " + word, 0) == 0;
  }
  return false;
}

bool PanelSim::SendEvent(const std::string &member, const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string line = "signal " + member;
  if (!bytes.empty()) line += ' ';
  for (uint8_t b : bytes) {
    line += digits[b >> 4];
    line += digits[b & 15];
  }
  return Command(line);
}

bool PanelSim::SendJsonEvent(const std::string &member, const std::string &json) {
  return Command("signal-json " + member + " " + json);
}
