// The control-bus loop: takes messages off the daemon's bus connection one per
// turn, serves the method and signal tables, watches its own progress and
// restarts the process after a settings change that needs a fresh one.
#pragma once

// How the loop stops the process. Start-up sits above the bus loop and hands
// both operations over before the loop starts.
struct BusStopOperations {
  // Closes the SIP stack and, with `exitProcess`, ends the process with
  // `status` ("REBOOT", "UDHCPC_BOUND").
  void (*terminate)(int status, bool exitProcess);
  // The stop sequence of a received signal (the forced restart's is 2).
  void (*signal)(int signum);
};
extern BusStopOperations busStop;

// Thread bodies (pthread start routines, argument unused).
void *BusLoop(void *);
void *BusWatchdog(void *);
