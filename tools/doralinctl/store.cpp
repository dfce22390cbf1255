// "store get" and "store set": the daemon's settings in the device store,
// without the bus, for settings prepared while the daemon is stopped. Only
// the keys the daemon reads are written, each with the type and range it
// takes at start-up: a value it would ignore is refused here instead.
#include <climits>
#include <cstring>
#include <iostream>

#include "doralinctl.h"
#include "ornix.h"

namespace {

constexpr const char *kSection = "doralin";

enum class Kind { kInteger, kText, kBoolean, kObject };

struct Key {
  const char *name;
  Kind kind;
  long min = 0, max = 0;  // integer range; text: length in bytes
};

const Key kKeys[] = {
    {"port", Kind::kInteger, 2, 65534},          {"portRegister", Kind::kInteger, 2, 65534},
    {"proxyPort", Kind::kInteger, 2, 65534},     {"domain", Kind::kText, 0, 99},
    {"domainRegister", Kind::kText, 0, 99},      {"username", Kind::kText, 0, 99},
    {"password", Kind::kText, 0, 99},            {"proxyDomain", Kind::kText, 0, 99},
    {"proxyEnable", Kind::kBoolean},             {"transportUdp", Kind::kBoolean},
    {"transportTcp", Kind::kBoolean},            {"transportTls", Kind::kBoolean},
    {"videoEnable", Kind::kBoolean},             {"videoStreamId", Kind::kInteger, 0, 9},
    {"directMode", Kind::kBoolean},              {"directRules", Kind::kObject},
    {"prefixSize", Kind::kInteger, 1, 8},        {"flatNumberSize", Kind::kInteger, 0, 8},
    {"doorHangupDelay", Kind::kInteger, 0, INT_MAX}, {"doorHangupOn", Kind::kBoolean},
    {"dtmf_1", Kind::kText, 1, 1},               {"dtmf_2", Kind::kText, 1, 1},
    {"sos", Kind::kText, 0, 99},                 {"concierge", Kind::kText, 0, 99},
    {"flat0", Kind::kText, 0, 99},               {"assistantEnable", Kind::kBoolean},
    {"assistantOnline", Kind::kBoolean},         {"isPlayAlarm", Kind::kBoolean},
    {"alarmFileName", Kind::kText, 0, 255},      {"textRunningLine", Kind::kText, 0, 99},
    {"onlyPanel", Kind::kBoolean},
};

const Key *FindKey(const std::string &name) {
  for (const Key &k : kKeys)
    if (name == k.name) return &k;
  return nullptr;
}

// What a key takes, for the refusal.
std::string Expected(const Key &k) {
  switch (k.kind) {
    case Kind::kInteger: return "an integer from " + std::to_string(k.min) + " to " + std::to_string(k.max);
    case Kind::kBoolean: return "true or false";
    case Kind::kObject: return "a JSON object";
    case Kind::kText:
      return k.min == k.max ? "one character" : "a text of at most " + std::to_string(k.max) + " bytes";
  }
  return "";
}

// The value to store for `text`, or null when the key does not take it. A
// text key takes the words as they are (or a JSON string's content).
JsonPtr KeyValue(const Key &k, const std::string &text) {
  JsonPtr parsed(json_loads(text.c_str(), JSON_DECODE_ANY, nullptr));
  switch (k.kind) {
    case Kind::kInteger: {
      const json_int_t v = json_integer_value(parsed.get());
      return json_is_integer(parsed.get()) && v >= k.min && v <= k.max ? std::move(parsed) : nullptr;
    }
    case Kind::kBoolean: return json_is_boolean(parsed.get()) ? std::move(parsed) : nullptr;
    case Kind::kObject: return json_is_object(parsed.get()) ? std::move(parsed) : nullptr;
    case Kind::kText: {
      JsonPtr value = json_is_string(parsed.get()) ? std::move(parsed) : JsonPtr(json_string(text.c_str()));
      const size_t length = value ? json_string_length(value.get()) : 0;
      if (!value || length < size_t(k.min) || length > size_t(k.max)) return nullptr;
      return value;
    }
  }
  return nullptr;
}

int StoreGet(const std::string &key, const Options &o) {
  JsonPtr value(StoreGetVariable(nullptr, kSection, key.c_str()));
  if (!value) {
    std::cerr << "doralinctl: store: no value for " << key << "\n";
    return kRefused;
  }
  PrintJson(o, value.get());
  return kOk;
}

int StoreSet(const std::string &name, const std::string &text) {
  const Key *key = FindKey(name);
  if (!key) return UsageError("store set: '" + name + "' is not a setting of the daemon");
  JsonPtr value = KeyValue(*key, text);
  if (!value) return UsageError("store set: " + name + " takes " + Expected(*key));
  if (!StoreSetVariable(nullptr, kSection, name.c_str(), value.get())) {
    std::cerr << "doralinctl: store: cannot write " << name << " to " << RootPath("/var/lib/ornix/store.db") << "\n";
    return kBusError;
  }
  return kOk;
}

}  // namespace

int RunStore(const std::vector<std::string> &w, const Options &o) {
  if (w.size() == 3 && w[1] == "get") return StoreGet(w[2], o);
  if (w.size() == 4 && w[1] == "set") return StoreSet(w[2], w[3]);
  return UsageError("store: expected 'get KEY' or 'set KEY VALUE'");
}
