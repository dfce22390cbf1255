#define LOG_MODULE "package/src/dbus/door_events"
#include "panel/door_events.h"

#include <pthread.h>

#include "context/context.h"
#include "context/threads.h"
#include "ornix.h"
#include "panel/call_events.h"
#include "sip/bracket.h"
#include "sip/calls.h"

namespace {

// The MCU's key events: byte 9 tells what the door did with the key.
constexpr int KEY_RESULT_BYTE = 9;
constexpr uint8_t KEY_OPENED_BIT = 1;     // a key-open event plays only with it
constexpr uint8_t KEY_REFUSED_VALUE = 3;  // a key-not-open event plays only for it
// Its flat notice: the flat in bytes 7-8 (little-endian), the map, the source
// and the notice's type bits.
constexpr int NOTICE_LENGTH = 12;
constexpr int NOTICE_FLAT_BYTE = 7, NOTICE_MAP_BYTE = 9, NOTICE_SOURCE_BYTE = 10, NOTICE_TYPE_BYTE = 11;
constexpr uint8_t NOTICE_INFORM_BIT = 1, NOTICE_DEBTOR_BIT = 2;

// Which phrase an event plays, or 0 when its payload says to play none.
int PhraseToPlay(const uint8_t *data, int length, PhraseType type) {
  switch (type) {
    case AT_KEY_OPEN:
      // Byte 9 decides; a shorter payload carries no decision.
      if (length <= KEY_RESULT_BYTE || !data) {
        LOG(2, "Key open event: payload of %d bytes has no byte 9, nothing played", length);
        return 0;
      }
      return (data[KEY_RESULT_BYTE] & KEY_OPENED_BIT) ? AT_KEY_OPEN : 0;
    case AT_KEY_NOT_OPEN:
      if (length > KEY_RESULT_BYTE && data && data[KEY_RESULT_BYTE] != KEY_REFUSED_VALUE) return 0;
      return AT_KEY_NOT_OPEN;
    case AT_ANY_KEY_OPEN:
    case AT_ADD_KEY:
      return AT_KEY_OPEN;
    default:
      return type;
  }
}

}  // namespace

void UartEvBye() {
  LOG(2, "UART_EV_BYE state=%d", static_cast<int>(CallContext.state));
  if (!HangupActiveCall())
    LOG(1, "State is %d on BYE event! Unprocessed condition", static_cast<int>(CallContext.state));
}

void UartEvOpenHandset() {
  LOG(1, "UART_EV_OPEN_HANDSET");
  LOG_BOTH(3, "[%lld] Open from handset!", static_cast<long long>(GetStartCallTimestamp()));
  SipThreadBracket bracket;
  if (struct call *call = CallContext.currentCall) SipSendDigit(call, CallContext.dtmf_1[0]);
}

void UartEvOpen(const uint8_t *data, int length) {
  LOG(2, "%s", "UART_EV_OPEN");
  if (length != 1 || !data || data[0] != 1) return;
  // The claim is made by PlayPanelEventPhrase, which undoes it when it does not
  // play: a claim made here first would stay behind whenever it returns early.
  PlayPanelEventPhrase(data, length, AT_OPEN, "UART_EV_OPEN");
}

void PlayPanelEventPhrase(const uint8_t *data, int length, PhraseType type, const char *member) {
  if (CallContext.assistant.isPlayAlarm && type != AT_ALARM_NOTIFICATION) {
    LOG(1, "Play Alarm Notification");
    return;
  }
  LOG(2, "%s", member);
  int play = PhraseToPlay(data, length, type);
  if (play == 0) return;
  bool keyEvent = type == AT_KEY_OPEN || type == AT_KEY_NOT_OPEN || type == AT_ANY_KEY_OPEN ||
                  type == AT_ADD_KEY;
  bool needsAssistant = keyEvent || (type != AT_ALARM_NOTIFICATION && type != AT_KEY_REQUEST_FLAT);
  if (needsAssistant && !CallContext.assistant.assistantEnable) return;
  PhraseType phrase = static_cast<PhraseType>(play);
  // From the claim to the playing state with the SIP loop held off: an
  // incoming call accepted in between would be overwritten unseen.
  SipThreadBracket bracket;
  CallState before = CallContext.state;
  uint8_t activeBefore = CallContext.assistant.activePhraseType;
  if (!ClaimPhrasePlayback(phrase)) return;
  if (IsPhrasePlaying()) {
    // The running phrase is not interrupted; the claim is taken back so that
    // no dialing state is left behind without a call once that phrase ends.
    SetState(before, StateLog::Unlogged);
    CallContext.assistant.activePhraseType = activeBefore;
    return;
  }
  if (phrase == AT_ALARM_NOTIFICATION) {
    SetState(NOTIFICATION_ESTABLISHED);
  } else {
    SetState(ASSISTANT_ESTABLISHED);
    UartSetOfflineAssistantDelimiter(CallContext.dbus, UART_PHRASE_STARTS);
  }
  StartDetached(PhrasePlaybackThread, &notificationThread);
}

void UartEvFlatNotify(const uint8_t *data, int length) {
  if (!data || length < NOTICE_LENGTH) {
    LOG(1, "UART_EV_NOTIFY_FLAT: invalid data length %d", length);
    return;
  }
  unsigned flat = static_cast<unsigned>(data[NOTICE_FLAT_BYTE] | (data[NOTICE_FLAT_BYTE + 1] << 8));
  uint8_t type = data[NOTICE_TYPE_BYTE];
  LOG(1, "Flat notify: flat=%u, type=%d, map=%d, source=%d", flat, type, data[NOTICE_MAP_BYTE],
      data[NOTICE_SOURCE_BYTE]);
  const PhraseSet *sets = CallContext.assistant.phrases;
  LOG(1, "Audio files count: inform=%u, debtor=%u, key_open=%u", sets[AT_INFORM_FLAT].count,
      sets[AT_DEBTOR_FLAT].count, sets[AT_KEY_OPEN].count);
  if ((type & NOTICE_DEBTOR_BIT) && sets[AT_DEBTOR_FLAT].count > 0) {
    LOG(1, "UartEvFlatNotify: triggering AT_DEBTOR_FLAT");
    PlayPanelEventPhrase(data, length, AT_DEBTOR_FLAT, "UART_EV_NOTIFY_FLAT");
  } else if ((type & NOTICE_INFORM_BIT) && sets[AT_INFORM_FLAT].count > 0) {
    LOG(1, "UartEvFlatNotify: triggering AT_INFORM_FLAT");
    PlayPanelEventPhrase(data, length, AT_INFORM_FLAT, "UART_EV_NOTIFY_FLAT");
  }
}
