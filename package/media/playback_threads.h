// Book-keeping shared by the phrase and notification playback threads.
#pragma once

#include "context/context.h"

// Counts a running playback thread for its whole body, so that shutdown and
// tests can wait for every thread to end before tearing anything down.
struct PlaybackThreadScope {
  PlaybackThreadScope();
  ~PlaybackThreadScope();
  PlaybackThreadScope(const PlaybackThreadScope &) = delete;
  PlaybackThreadScope &operator=(const PlaybackThreadScope &) = delete;
};

// Sleeps up to `ms`; returns early when the threads are asked to end, or when
// `hold` is given and the call state leaves it. False when asked to end.
bool PlaybackPause(int ms, const CallState *hold = nullptr);

// True once WaitPlaybackThreads has asked every playback thread to end.
bool PlaybackEnding();
