#define LOG_MODULE "package/src/dbus/supervisor"
#include "bus/supervisor.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdint>

namespace {

uint64_t NowUsec() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

}  // namespace

void SupervisorReady() { sd_notify(0, "READY=1"); }

void SupervisorHeartbeat() {
  // Bus loop thread only.
  static uint64_t period = [] {
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
  }();
  static uint64_t lastSent = 0;
  if (period == 0) return;
  const uint64_t now = NowUsec();
  if (lastSent != 0 && now - lastSent < period / 4) return;
  lastSent = now;
  sd_notify(0, "WATCHDOG=1");
}
