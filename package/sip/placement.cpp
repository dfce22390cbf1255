#define LOG_MODULE "package/src/sip/sip"

#include "sip/placement.h"
#include "sip/re_headers.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "context/context.h"
#include "ornix.h"
#include "settings/accounts.h"
#include "sip/bracket.h"
#include "sip/cut_printf.h"
#include "sip/service_call.h"
#include "sip/sip.h"

namespace {

void *Tid() { return reinterpret_cast<void *>(pthread_self()); }

const char *OrNull(const char *text) { return text ? text : "(null)"; }

bool DirectGate() { return CallContext.fromGate && CallContext.enableDirect; }

long long Stamp() { return static_cast<long long>(GetStartCallTimestamp()); }

void CallWithFlatNumber(uint16_t flat) {
  char number[100];
  CUT_PRINTF(number, sizeof number, "%d", flat);
  MakeCallByAddress(number);
}

// The UA for a leg; null when a direct gate parallel leg has no UA to go on.
struct ua *ChooseUa(const char *uri) {
  if (!DirectGate()) return UaDefault();
  SetupNoProxyUa(&CallContext.server);
  const bool proxy = CallContext.server.proxyEnable;
  struct ua *second = CallContext.secondUa;
  if (CallContext.currentCall != nullptr) {
    if (proxy) {
      struct ua *ua = UaDefault();
      LOG(2, "Direct gate parallel leg via main UA callUri=%s ua=%p", uri,
          static_cast<void *>(ua));
      return ua;
    }
    if (second != nullptr) {
      LOG(2, "Direct gate parallel leg via second UA callUri=%s ua=%p", uri,
          static_cast<void *>(second));
      return second;
    }
    LOG(2, "Direct gate parallel leg aborted: second UA missing callUri=%s",
        uri);
    return nullptr;
  }
  if (proxy && second != nullptr) {
    LOG(2, "Direct gate panel leg via no-proxy UA callUri=%s ua=%p", uri,
        static_cast<void *>(second));
    return second;
  }
  struct ua *ua = UaDefault();
  LOG(2, "Direct gate panel leg via main UA callUri=%s ua=%p", uri,
      static_cast<void *>(ua));
  return ua;
}

}  // namespace

void MakeCallByType(int32_t type, uint16_t flat) {
  CallContext.fromGate = false;
  SetCallType(static_cast<CallType>(type));
  SetFlat(flat);
  switch (type) {
    case SOS:
    case CONCIERGE:
      if (flat == CUSTOM_NUMBER_FLAT) {
        MakeCallByAddress(type == SOS ? CallContext.sos : CallContext.concierge);
      } else {
        CallWithFlatNumber(flat);
      }
      return;
    case COMMON: {
      const int count = CountFlatAccounts(flat);
      if (count > 0) {
        JsonPtr numbers(GetFlatAccounts(flat));
        MakeSimpleCallByJsonNumbers(numbers.get(), count);
      } else if (flat == CUSTOM_NUMBER_FLAT && CallContext.flat0[0] != '\0') {
        MakeCallByAddress(CallContext.flat0);
      } else {
        CallWithFlatNumber(flat);
      }
      return;
    }
    default:
      LOG_BOTH(5, "Unknown type of call (%d)", type);
      return;
  }
}

void MakeSimpleCallByJsonNumbers(json_t *numbers, int32_t count) {
  LOG(1, "[direct] MakeSimpleCallByJsonNumbers count=%d fromGate=%d tid=%p",
      count, CallContext.fromGate ? 1 : 0, Tid());
  for (int32_t i = 0; i < count; ++i) {
    json_t *item = json_array_get(numbers, static_cast<size_t>(i));
    const char *text = json_string_value(item);  // null for a non-string
    if (text == nullptr || text[0] == '\0') continue;
    LOG(1, "[direct] MakeSimpleCallByJsonNumbers [%d/%d] number=%s", i + 1,
        count, text);
    MakeCallByAddress(text);
  }
  LOG(1, "[direct] MakeSimpleCallByJsonNumbers done");
}

bool MakeCallByAddress(const char *address) {
  if (address == nullptr) address = "";
  LOG(1,
      "[direct] MakeCallByAddress enter address=%s fromGate=%d enableDirect=%d "
      "tid=%p",
      address, CallContext.fromGate ? 1 : 0, CallContext.enableDirect ? 1 : 0,
      Tid());
  ServiceAddress parsed;
  parsed.port = static_cast<int32_t>(CallContext.server.port);
  parsed.number[0] = '\0';
  CUT_PRINTF(parsed.server, sizeof parsed.server, "%s", CallContext.server.domain);
  ParseServiceAddress(&parsed, address);
  LOG(1, "[direct] MakeCallByAddress parsed number=%s server=%s port=%d",
      parsed.number, parsed.server, parsed.port);

  const bool video = CallContext.videoEnabled;
  char description[192];
  CUT_PRINTF(description, sizeof description,
           "uri=sip:%s@%s:%d useVideo=%d videoEnabled=%d directVideo=%d",
           parsed.number, parsed.server, parsed.port, video ? 1 : 0,
           CallContext.videoEnabled ? 1 : 0, CallContext.directVideo ? 1 : 0);
  LOG(2, "Connect to SIP server %s", description);

  const bool started = CallConnect(parsed.number, parsed.server, parsed.port, video);
  LOG(1, "[direct] MakeCallByAddress <- CallConnect res=%d", started ? 0 : 1);
  if (!started) {
    LOG(2, "SIP connect failed %s", description);
    LOG(2, "Call ended unsuccessfully scode=0 flat=%u", CallContext.flat);
    if (!(DirectGate() && CallContext.currentCall != nullptr)) {
      SetState(IDLE, StateLog::Unlogged);
      SetCallType(NONE, StateLog::Unlogged);
    }
  }
  return started;
}

void MakeGateCall(const char *server, int32_t port, int32_t house) {
  LOG(1,
      "[direct] MakeGateCall enter server=%s portIn=%d house=%d flat=%u "
      "enableDirect=%d fromGate=%d tid=%p",
      OrNull(server), port, house, CallContext.flat,
      CallContext.enableDirect ? 1 : 0, CallContext.fromGate ? 1 : 0, Tid());
  const int32_t dialPort = CallContext.enableDirect ? 5060 : port;
  LOG(1, "[direct] MakeGateCall dial port=%d", dialPort);

  char user[32];
  if (CallContext.enableDirect) {
    if (CallContext.flat == CUSTOM_NUMBER_FLAT && CallContext.flat0[0] != '\0') {
      CUT_PRINTF(user, sizeof user, "%s", CallContext.flat0);
    } else {
      CUT_PRINTF(user, sizeof user, "%u", CallContext.flat);
    }
    LOG_BOTH(3, "[%lld] Calling to %u flat...", Stamp(), CallContext.flat);
  } else {
    char format[16];
    if (CallContext.flatNumberSize == 0) {
      CUT_PRINTF(format, sizeof format, "%%0%uu%%u", CallContext.prefixSize);
    } else {
      CUT_PRINTF(format, sizeof format, "%%0%uu%%0%uu", CallContext.prefixSize,
               CallContext.flatNumberSize);
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    CUT_PRINTF(user, sizeof user, format, static_cast<unsigned>(house),
             static_cast<unsigned>(CallContext.flat));
#pragma GCC diagnostic pop
    LOG_BOTH(3, "[%lld] Calling to %u house %u flat...", Stamp(),
             static_cast<unsigned>(house), CallContext.flat);
  }

  const bool panelLeg = CallContext.fromGate && CallContext.enableDirect;
  const char *label = panelLeg ? "connect_panel" : "connect";
  const bool video = panelLeg ? CallContext.directVideo : CallContext.videoEnabled;
  char description[192];
  CUT_PRINTF(description, sizeof description,
           "uri=sip:%s@%s:%d useVideo=%d videoEnabled=%d directVideo=%d", user,
           OrNull(server), dialPort, video ? 1 : 0,
           CallContext.videoEnabled ? 1 : 0, CallContext.directVideo ? 1 : 0);
  LOG(2, "Connect %s %s", label, description);

  if (CallConnect(user, server, dialPort, video)) {
    LOG(1, "[direct] MakeGateCall CallConnect ok");
    return;
  }
  LOG(1, "[direct] MakeGateCall CallConnect failed -> IDLE");
  LOG(2, "SIP connect failed %s", description);
  LOG(2, "Call ended unsuccessfully scode=0 flat=%u", CallContext.flat);
  SetState(IDLE);
  SetCallType(NONE);
}

bool CallConnect(const char *number, const char *server, int32_t port,
                 bool video) {
  if (number == nullptr) number = "";
  LOG(1, "[direct] CallConnect enter number=%s server=%s port=%d useVideo=%d "
         "tid=%p",
      number, OrNull(server), port, video ? 1 : 0, Tid());
  char uri[256];
  if (server != nullptr && port != 0) {
    CUT_PRINTF(uri, sizeof uri, "sip:%s@%s:%d", number, server, port);
  } else {
    CUT_PRINTF(uri, sizeof uri, "sip:%s", number);
  }
  LOG(1, "[direct] CallConnect uri=%s", uri);
  if (CallContext.flat != CUSTOM_NUMBER_FLAT) {
    LOG_BOTH(3, "[%lld] SIP handset call started for apartment %u", Stamp(),
             CallContext.flat);
  }
  LOG_BOTH(3, "[%lld] Calling %s through account", Stamp(), uri);

  int err;
  {
    // One bracket for the choice and the connect, so the UA list cannot
    // change in between.
    SipThreadBracket bracket;
    struct ua *ua = ChooseUa(uri);
    LOG(1, "[direct] CallConnect ua=%p", static_cast<void *>(ua));
    if (ua == nullptr) {
      LOG(1, "[direct] CallConnect abort: no UA");
      return false;
    }
    LOG(1, "[direct] CallConnect re_thread_enter...");
    LOG(1, "[direct] CallConnect useVideo=%d -> ua_connect", video ? 1 : 0);
    if (video) {
      LOG(1, "[direct] CallConnect ua_connect VIDMODE_ON");
      err = ua_connect(ua, nullptr, nullptr, uri, VIDMODE_ON);
    } else {
      LOG(1, "[direct] CallConnect ua_connect VIDMODE_OFF");
      err = ua_connect(ua, nullptr, nullptr, uri, VIDMODE_OFF);
    }
    LOG(1, "[direct] CallConnect ua_connect returned err=%d", err);
  }
  LOG(1, "[direct] CallConnect after re_thread_leave err=%d tid=%p", err, Tid());
  return err == 0;
}

bool SetCustomCallHeader(struct call *call, const char *name, const char *value) {
  if (call == nullptr || name == nullptr) return false;
  SipThreadBracket bracket;
  const struct list *current = call_get_custom_hdrs(call);
  if ((current == nullptr || list_isempty(current)) && (value == nullptr || value[0] == '\0')) {
    LOG_BOTH(4, "Attempt to set %s call header with value %s", name,
             value ? value : "(null)");
    return false;
  }
  // The call keeps its own list; extend a copy and hand it back whole.
  struct list hdrs;
  list_init(&hdrs);
  struct le *le;
  int err = 0;
  LIST_FOREACH(current, le) {
    const struct sip_hdr *hdr = static_cast<const struct sip_hdr *>(le->data);
    char *n = nullptr;
    err = pl_strdup(&n, &hdr->name);
    if (!err) err = custom_hdrs_add(&hdrs, n, "%r", &hdr->val);
    mem_deref(n);
    if (err) break;
  }
  if (!err) err = custom_hdrs_add(&hdrs, name, "%s", value ? value : "");
  if (!err) err = call_set_custom_hdrs(call, &hdrs);
  list_flush(&hdrs);
  if (err) {
    LOG_BOTH(5, "Error setting custom call header %s: %d", name, err);
    return false;
  }
  return true;
}

bool GetCustomCallHeader(struct call *call, const char *name, std::string *value) {
  if (call == nullptr || name == nullptr) return false;
  SipThreadBracket bracket;
  const struct list *hdrs = call_get_custom_hdrs(call);
  struct le *le;
  LIST_FOREACH(hdrs, le) {
    const struct sip_hdr *hdr = static_cast<const struct sip_hdr *>(le->data);
    if (pl_strcasecmp(&hdr->name, name) == 0) {
      value->assign(hdr->val.p ? hdr->val.p : "", hdr->val.l);
      return true;
    }
  }
  return false;
}
