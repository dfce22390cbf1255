// SIP engine: what the call core and the panel events ask of one call.
// Everything outside sip/ reaches the SIP library's calls through these.
#pragma once

#include <netinet/in.h>

#include <cstdint>

struct call;

// Ends `call` with `scode` and `reason` (0 and null: a plain hang-up) on
// its own UA, else on the UA of the current call. The library reports the
// close to the event handler before this returns. Nothing for a null call.
void SipHangup(struct call *call, uint16_t scode, const char *reason);
// Sends the DTMF key `key` on `call`, then the key release that ends it.
void SipSendDigit(struct call *call, char key);
// Whether `call` is still one of the library's calls (on any UA).
bool SipCallExists(const struct call *call);
// The call's remote RTP address; all zero without a call or address.
void SipRemoteAddress(const struct call *call, struct sockaddr_in *out);
// Whether the call's media streams exist yet.
bool SipCallHasMedia(const struct call *call);
// Whether the peer took the call's video (its answer has a video port).
bool SipCallHasVideo(const struct call *call);
// The library's status code of the call, 0 without a call.
uint16_t SipStatusCode(const struct call *call);
// The call's local and peer addresses; null without a call or address.
const char *SipLocalUri(const struct call *call);
const char *SipPeerUri(const struct call *call);
// The library's name of a user-agent event code.
const char *SipEventName(int event);
