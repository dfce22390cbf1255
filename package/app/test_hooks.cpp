#define LOG_MODULE "package/app/test_hooks"
// Linked into the test variant of the daemon (doralin-test) only: fills the
// context's hooks before main runs.
#include <jansson.h>
#include <unistd.h>

#include <string>

#include "context/context.h"
#include "ornix.h"

namespace {

// Holds the end of a phrase while <root>/tmp/hold-phrase-end exists (5 s at
// most), so that tests can land a call in it.
void HoldPhraseEnd() {
  const std::string flag = RootPath("/tmp/hold-phrase-end");
  if (access(flag.c_str(), F_OK) != 0) return;
  LOG(2, "Test hook: holding the end of the phrase");
  for (int i = 0; i < 250 && access(flag.c_str(), F_OK) == 0; ++i) usleep(20000);
}

// Holds the bus loop for {"seconds": N}, so that tests can exercise the
// watchdog.
bool StallLoop(json_t *arg) {
  json_t *seconds = json_object_get(arg, "seconds");
  if (!json_is_integer(seconds) || json_integer_value(seconds) < 0 ||
      json_integer_value(seconds) > 600)
    return false;
  LOG(2, "Test hook: holding the bus loop for %d s", int(json_integer_value(seconds)));
  sleep(unsigned(json_integer_value(seconds)));
  return true;
}

[[maybe_unused]] const bool installed = (testHooks = TestHooks{HoldPhraseEnd, "DoralinTestStall", StallLoop}, true);

}  // namespace
