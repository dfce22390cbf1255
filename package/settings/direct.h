// Direct dialing: the per-house rules ("directRules" in the store) that name
// the SIP server and the video use of a gate call.
#pragma once

#include <cstddef>

// Finds the server for apartment `apartment` of house `house`. `server` must
// come zero-filled; it receives the server text (cut to `size`). `*video` is
// the house's video flag. True when a server was found.
bool GetDirectServer(unsigned house, unsigned apartment, char *server, size_t size, bool *video);
