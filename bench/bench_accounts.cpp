// Resident memory and timings of the per-flat account list with 9999 flats of
// five accounts each: start-up load, lookups, and one change (which copies the
// list's top level and rewrites the file).
#include <jansson.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/accounts.h"
#include "context.h"
#include "ornix.h"

namespace {

long RssKb() {
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "VmRSS:", 6) == 0) kb = strtol(line + 6, nullptr, 10);
  fclose(f);
  return kb;
}

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  char dir[] = "/tmp/doralin-bench-accounts.XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string root = dir;
  std::filesystem::create_directories(root + "/oem");
  setenv("DORALIN_ROOT", root.c_str(), 1);
  LogSetLevel(3);
  CallContext.dbus = nullptr;

  const int flats = 9999, perFlat = 5;
  std::string text = "{";
  for (int flat = 1; flat <= flats; flat++) {
    text += (flat > 1 ? ",\"" : "\"") + std::to_string(flat) + "\":[";
    for (int k = 1; k <= perFlat; k++) {
      char acc[32];
      snprintf(acc, sizeof acc, "%s\"sip:%d%02d@pbx.house.local\"", k > 1 ? "," : "", flat, k);
      text += acc;
    }
    text += "]";
  }
  text += "}";
  FILE *f = fopen((root + "/oem/sip_accounts.conf").c_str(), "w");
  if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) return 1;

  long before = RssKb();
  auto t0 = std::chrono::steady_clock::now();
  LoadAccounts();
  double loadMs = MsSince(t0);
  long after = RssKb();

  t0 = std::chrono::steady_clock::now();
  long total = 0;
  const int lookups = 100000;
  for (int i = 0; i < lookups; i++) {
    json_t *list = GetFlatAccounts(1 + (unsigned)(i % flats));
    total += (long)json_array_size(list);
    json_decref(list);
  }
  double lookupUs = MsSince(t0) * 1000.0 / lookups;

  json_t *change = json_loads(R"({"42":["4201","4202"]})", 0, nullptr);
  t0 = std::chrono::steady_clock::now();
  bool ok = SetSipAccounts(change);
  double setMs = MsSince(t0);
  json_decref(change);
  long afterSet = RssKb();

  printf("accounts file: %zu bytes, %d flats x %d accounts\n", text.size(), flats, perFlat);
  printf("RSS before load: %ld kB, after load: %ld kB (list: %ld kB), after one change: %ld kB\n",
         before, after, after - before, afterSet);
  printf("load: %.1f ms; GetFlatAccounts: %.2f us each (%ld accounts seen); "
         "SetSipAccounts of one flat: %.1f ms (%s)\n",
         loadMs, lookupUs, total, setMs, ok ? "ok" : "failed");
  FreeAccounts();
  std::filesystem::remove_all(root);
  return ok ? 0 : 1;
}
