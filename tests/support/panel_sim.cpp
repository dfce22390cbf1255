#include "panel_sim.h"

#include <cstdlib>

namespace {

std::optional<std::vector<uint8_t>> FromHex(json_t *hex) {
  std::string s = json_string_value(hex) ? json_string_value(hex) : "";
  if (!hex || s.size() % 2) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < s.size(); i += 2) bytes.push_back(uint8_t(std::stoi(s.substr(i, 2), nullptr, 16)));
  return bytes;
}

// One record line of the command log; nullopt for a line that is not one.
std::optional<PanelCommand> ParseRecord(const std::string &line) {
  json_t *rec = json_loads(line.c_str(), 0, nullptr);
  if (!json_is_object(rec)) {
    json_decref(rec);
    return std::nullopt;
  }
  PanelCommand c;
  auto text = [&](const char *key) {
    const char *s = json_string_value(json_object_get(rec, key));
    return std::string(s ? s : "");
  };
  c.t = json_number_value(json_object_get(rec, "t"));
  c.service = text("service");
  c.method = text("method");
  c.noReply = json_is_true(json_object_get(rec, "noReply"));
  auto bytes = FromHex(json_object_get(rec, "bytes"));
  c.hasBytes = bytes.has_value();
  c.bytes = bytes.value_or(std::vector<uint8_t>{});
  if (json_t *t = json_object_get(rec, "text")) c.text = std::string(json_string_value(t), json_string_length(t));
  if (json_t *j = json_object_get(rec, "json")) {
    char *dump = json_dumps(j, JSON_COMPACT | JSON_SORT_KEYS | JSON_ENCODE_ANY);
    c.json = dump ? dump : "";
    free(dump);
  }
  c.answer = FromHex(json_object_get(rec, "answer"));
  json_decref(rec);
  return c;
}

// The replies ("ok ..." / "error ...") in panel-sim's stdout, in order.
std::vector<std::string> Replies(const std::string &out) {
  std::vector<std::string> replies;
  for (const auto &l : SplitLines(out))
    if (l.rfind("ok ", 0) == 0 || l.rfind("error ", 0) == 0) replies.push_back(l);
  return replies;
}

}  // namespace

PanelSim::PanelSim(const std::string &busAddress, std::vector<std::string> args)
    : address_(busAddress), args_(std::move(args)), logPath_(dir_.Path("commands.jsonl")) {}

bool PanelSim::Start(Millis timeout) {
  std::vector<std::string> argv{PANEL_SIM_BIN, "--log", logPath_};
  argv.insert(argv.end(), args_.begin(), args_.end());
  ProcessOptions options;
  options.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
  options.stdinPipe = true;
  return process_.Start(argv, options) &&
         WaitFor([&] { return process_.Stdout().find("ready\n") != std::string::npos || !process_.Running(); },
                 timeout) &&
         process_.Running();
}

bool PanelSim::Stop() {
  if (process_.pid() <= 0 || process_.Exited()) return true;
  process_.CloseStdin();
  return process_.Stop(Millis(3000));
}

std::vector<PanelCommand> PanelSim::Commands(const std::string &method) const {
  std::vector<PanelCommand> out;
  std::string text = ReadFile(logPath_);
  // Only whole lines: the last one may still be being written.
  for (const auto &line : SplitLines(text.substr(0, text.rfind('\n') + 1)))
    if (auto c = ParseRecord(line); c && (method.empty() || c->method == method)) out.push_back(std::move(*c));
  return out;
}

std::optional<PanelCommand> PanelSim::WaitForCommand(const std::string &method, Millis timeout, int nth) const {
  std::optional<PanelCommand> found;
  WaitFor(
      [&] {
        auto all = Commands(method);
        if (int(all.size()) >= nth) found = all[size_t(nth - 1)];
        return found.has_value();
      },
      timeout);
  return found;
}

bool PanelSim::Command(const std::string &line, Millis timeout) {
  // Replies come in order, one per command: wait for the next one.
  size_t before = Replies(process_.Stdout()).size();
  if (!process_.Running() || !process_.WriteStdin(line + "\n") ||
      !WaitFor([&] { return Replies(process_.Stdout()).size() > before; }, timeout))
    return false;
  return Replies(process_.Stdout())[before].rfind("ok " + line.substr(0, line.find(' ')), 0) == 0;
}

bool PanelSim::SendEvent(const std::string &member, const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string line = "signal " + member + (bytes.empty() ? "" : " ");
  for (uint8_t b : bytes) line += {digits[b >> 4], digits[b & 15]};
  return Command(line);
}

bool PanelSim::SendJsonEvent(const std::string &member, const std::string &json) {
  return Command("signal-json " + member + " " + json);
}
