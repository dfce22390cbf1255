// Process-wide thread helpers that every layer may use: starting a detached
// thread and relaying the stop signals to an ordinary thread.
#pragma once

#include <pthread.h>

// Runs `body(nullptr)` on a new detached thread with default attributes; its
// handle goes to `*handle` when given. False when no thread could be started.
bool StartDetached(void *(*body)(void *), pthread_t *handle = nullptr);

// SIGINT and SIGTERM then only write their number (one byte) into the pipe
// `fds`, for an ordinary thread or the SIP loop to read and serve. The pipe is
// opened here (pipe2 with `flags`, O_CLOEXEC added) unless fds[0] is open
// already; the latest call decides which pipe the signals go to. False, with
// the handlers left as they were, when no pipe could be opened.
bool RelayStopSignals(int fds[2], int flags);
