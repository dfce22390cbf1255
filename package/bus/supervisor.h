// The service manager's side of the daemon: systemd's notify protocol
// (Type=notify, WatchdogSec). Without NOTIFY_SOCKET in the environment
// nothing is sent. This is in addition to the bus watchdog thread, which
// still ends a process whose bus loop has stalled.
#pragma once

// Start-up is complete: "READY=1".
void SupervisorReady();

// The bus loop turned: "WATCHDOG=1", at most four times per watchdog period.
void SupervisorHeartbeat();
