// Streams a WAV file's samples to the local streamer, paced at real time,
// while the call stays in a given state.
#pragma once

#include "context/context.h"

// Destination of the audio datagrams (resolved under the root directory).
constexpr const char *STREAMER_SOCKET_PATH = "/tmp/streamer.sock";

// Plays `path` through CallContext.assistantSocket while CallContext.state
// equals `holdState`. False when nothing was played because of the socket,
// the file or its header; true otherwise (played, stopped, failed on the way,
// or the state was not `holdState` to begin with).
bool PlayWavFile(const char *path, CallState holdState);

// Ends the running playback after the datagram in flight. Any thread.
void StopPlayback();
