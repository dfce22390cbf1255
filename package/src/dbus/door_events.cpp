#define LOG_MODULE "package/src/dbus/door_events"
#include "dbus/door_events.h"

#include "ornix.h"

void UartEvBye() {}
void UartEvOpenHandset() {}
void UartEvOpen(const uint8_t *, int) {}
void PlayPanelEventPhrase(const uint8_t *, int, PhraseType, const char *) {}
void UartEvFlatNotify(const uint8_t *, int) {}
