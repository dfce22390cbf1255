// Life of the doralin process: start-up order, options, termination signals,
// the registration retries, the SIP loop on the main thread and the stop.
#pragma once

// The process entry (main calls it). 0 without a bus connection, 1 after the
// SIP loop has ended and the stop sequence has run.
int DoralinMain(int argc, char **argv);

