// What the status interface shows of the SIP side: the current call's peer
// and the main account's registration with its last failure.
#pragma once

#include <string>
#include <vector>

// Fed by the registration tracker with every library event (code, text).
void SipNoteRegisterEvent(int event, const char *text);

struct SipRegistrationInfo {
  bool registered;
  // "none" (no attempt yet), "registering", "registered", "failed" or
  // "unregistering"
  const char *state;
  std::string lastError;  // text of the last failure, empty when none
};

SipRegistrationInfo SipRegistration();

// The registration events since the last call, in order, as the library
// reported them: state name, status code (0 when none came with it) and
// reason phrase.
struct SipRegistrationChange {
  const char *state;
  int code;
  std::string reason;
  bool operator==(const SipRegistrationChange &o) const {
    return std::string(state) == o.state && code == o.code && reason == o.reason;
  }
};
std::vector<SipRegistrationChange> SipRegistrationChanges();

// The peer address of `currentCall`, empty when there is no call.
std::string SipCurrentPeer();

// What the SIP library refused from the network since start.
struct SipRefusedCounts {
  unsigned long long mediaPackets, mediaOffers, connections, tlsServers;
};
SipRefusedCounts SipRefused();
