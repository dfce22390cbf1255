#include "panel_sim.h"

#include <cstdlib>

namespace {

std::optional<std::vector<uint8_t>> FromHex(const char *hex) {
  if (!hex) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
    bytes.push_back(uint8_t(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return bytes;
}

// One record line of the command log; nullopt for a line that is not one.
std::optional<PanelCommand> ParseRecord(const std::string &line) {
  PanelCommand c;
  const char *service = "", *method = "", *bytes = nullptr, *text = nullptr, *answer = nullptr;
  size_t length = 0;
  int noReply = 0;
  json_t *parsed = nullptr, *rec = json_loads(line.c_str(), 0, nullptr);
  const bool ok = json_unpack(rec, "{s?F s?s s?s s?b s?s s?s% s?o s?s}", "t", &c.t, "service", &service, "method",
                              &method, "noReply", &noReply, "bytes", &bytes, "text", &text, &length, "json", &parsed,
                              "answer", &answer) == 0;
  c.service = service;
  c.method = method;
  c.noReply = noReply;
  c.hasBytes = bytes != nullptr;
  c.bytes = FromHex(bytes).value_or(std::vector<uint8_t>{});
  if (text) c.text = std::string(text, length);
  char *dump = parsed ? json_dumps(parsed, JSON_COMPACT | JSON_SORT_KEYS | JSON_ENCODE_ANY) : nullptr;
  c.json = dump ? dump : "";
  c.answer = FromHex(answer);
  free(dump);
  json_decref(rec);
  return ok ? std::optional(c) : std::nullopt;
}

// The replies ("ok ..." / "error ...") in panel-sim's stdout, in order.
std::vector<std::string> Replies(const std::string &out) {
  std::vector<std::string> replies;
  for (const auto &l : SplitLines(out))
    if (l.starts_with("ok ") || l.starts_with("error ")) replies.push_back(l);
  return replies;
}

}  // namespace

bool PanelSim::Start(Millis timeout) {
  std::vector<std::string> argv{PANEL_SIM_BIN, "--log", logPath_};
  argv.insert(argv.end(), args_.begin(), args_.end());
  return process_.Start(argv, {.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_}, .stdinPipe = true}) &&
         WaitFor([&] { return process_.Stdout().find("ready\n") != std::string::npos || !process_.Running(); },
                 timeout) &&
         process_.Running();
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
  if (!process_.WriteStdin(line + "\n") ||
      !WaitFor([&] { return Replies(process_.Stdout()).size() > before; }, timeout))
    return false;
  return Replies(process_.Stdout())[before].starts_with("ok " + line.substr(0, line.find(' ')));
}

bool PanelSim::SendEvent(const std::string &member, const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string line = "signal " + member + (bytes.empty() ? "" : " ");
  for (uint8_t b : bytes) line += {digits[b >> 4], digits[b & 15]};
  return Command(line);
}
