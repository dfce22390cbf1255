// Life of the doralin process: start-up order, options, termination signals,
// the registration retries, the SIP loop on the main thread and the stop.
#pragma once

// The process entry (main calls it). 0 without a bus connection, 1 after the
// SIP loop has ended and the stop sequence has run.
int DoralinMain(int argc, char **argv);

// Signal handling, log name and level, bus connection, settings load.
// False only when the bus connection fails.
bool InitProcess();

// "--debug" sets log level 2, "--trace" level 1; the later one wins.
void ParseOptions(int argc, char **argv);

// Stop sequence for SIGINT/SIGTERM, the registration give-up (15) and the
// forced restart (2): logs the signal and ends the process with `signum`.
// The installed signal handler only records the signal; an ordinary thread
// then runs this.
void SignalHandler(int signum);

// Unregisters, waits 3 s, closes the SIP stack (by force when exitProcess)
// and, when exitProcess, ends the process with `status`. Calls are
// serialised: a second caller waits until the first returns (or exits).
// While the SIP loop runs, the close runs on the loop thread and, when
// exitProcess, the main thread exits once the loop has returned.
void BaresipTerminate(int status, bool exitProcess);

// exit(status) for whichever thread comes first; a later caller waits for
// the process to end.
[[noreturn]] void ExitProcess(int status);
