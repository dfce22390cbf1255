// Resident memory and timings of the per-flat account list with 9999 flats of
// five accounts each: start-up load, lookups, and one change (the file is
// rewritten flat by flat, the list changed in place).
#include <jansson.h>

#include "settings/accounts.h"
#include "context/context.h"
#include "figures.h"
#include "ornix.h"

int main() {
  TempDir root("bench-accounts");
  ScopedEnv env("DORALIN_ROOT", root.path());
  LogSetLevel(3);
  const int flats = 9999, perFlat = 5;
  std::string text = "{";
  for (int flat = 1; flat <= flats; flat++) {
    text += (flat > 1 ? ",\"" : "\"") + std::to_string(flat) + "\":[";
    for (int k = 1; k <= perFlat; k++)
      text += (k > 1 ? ",\"sip:" : "\"sip:") + std::to_string(flat * 100 + k) + "@pbx.house.local\"";
    text += "]";
  }
  if (!root.Write("oem/sip_accounts.conf", text + "}")) return 1;

  const long before = StatusKb(0, "VmRSS:");
  double t0 = MonotonicMs();
  LoadAccounts();
  const double loadMs = MonotonicMs() - t0;
  const long loaded = StatusKb(0, "VmRSS:");
  std::vector<double> lookups;
  size_t seen = 0;
  for (int i = 0; i < 100000; i++) {
    t0 = MonotonicMs();
    json_t *list = GetFlatAccounts(1 + unsigned(i % flats));
    lookups.push_back((MonotonicMs() - t0) * 1000.0);
    seen += json_array_size(list);
    json_decref(list);
  }
  json_t *change = json_loads(R"({"42":["4201","4202"]})", 0, nullptr);
  // The peak of the change alone: the kernel's high-water mark starts again here.
  FILE *refs = fopen("/proc/self/clear_refs", "w");
  const bool peakReset = refs && fputs("5", refs) >= 0 && fclose(refs) == 0;
  const long beforeChange = StatusKb(0, "VmRSS:");
  t0 = MonotonicMs();
  const bool ok = SetSipAccounts(change);
  const double setMs = MonotonicMs() - t0;
  const long changePeak = StatusKb(0, "VmHWM:");
  json_decref(change);

  printf("# accounts file: %zu bytes, %d flats x %d accounts, %zu accounts looked up\n",
         text.size() + 1, flats, perFlat, seen);
  Figure("accounts_load", {loadMs}, "ms");
  Figure("accounts_list_rss", {double(loaded - before)}, "KiB");
  Figure("get_flat_accounts", lookups, "us");
  Figure("set_sip_accounts_one_flat", {setMs}, "ms");
  Figure("rss_after_one_change", {double(StatusKb(0, "VmRSS:"))}, "KiB");
  if (peakReset) Figure("one_change_rss_peak", {double(changePeak - beforeChange)}, "KiB");
  FreeAccounts();
  return ok ? 0 : 1;
}
