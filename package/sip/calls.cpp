#include "sip/calls.h"

#include <cstring>

#include "sip/re_headers.h"
#include "sip/bracket.h"
#include "sip/sip.h"

void SipHangup(struct call *call, uint16_t scode, const char *reason) {
  if (call == nullptr) return;  // the library would pick the UA's own call
  SipThreadBracket bracket;
  struct ua *ua = call_get_ua(call);
  ua_hangup(ua ? ua : CurrentUa(), call, scode, reason);
}

void SipSendDigit(struct call *call, char key) {
  SipThreadBracket bracket;
  call_send_digit(call, key);
  call_send_digit(call, KEYCODE_REL);
}

bool SipCallExists(const struct call *call) {
  SipThreadBracket bracket;
  for (struct le *u = list_head(uag_list()); u; u = u->next) {
    for (struct le *c = list_head(ua_calls(static_cast<struct ua *>(u->data))); c; c = c->next)
      if (c->data == call) return true;
  }
  return false;
}

void SipRemoteAddress(const struct call *call, struct sockaddr_in *out) {
  memset(out, 0, sizeof *out);
  if (call) call_get_raddress(out, sizeof *out, call);
}

bool SipCallHasMedia(const struct call *call) { return call && call_has_audio(call); }

bool SipCallHasVideo(const struct call *call) { return call && call_has_video(call); }

uint16_t SipStatusCode(const struct call *call) { return call ? call_scode(call) : 0; }

const char *SipLocalUri(const struct call *call) { return call ? call_localuri(call) : nullptr; }

const char *SipPeerUri(const struct call *call) { return call ? call_peeruri(call) : nullptr; }

const char *SipEventName(int event) { return uag_event_str(static_cast<enum ua_event>(event)); }
