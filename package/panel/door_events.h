// Panel events about the door, keys, codes and flat notifications.
#pragma once

#include <cstdint>

#include "media/assistant.h"

// "UART_EV_BYE": the user hung up at the panel or the handset.
void UartEvBye();
// "UART_EV_OPEN_HANDSET": the handset asks to open the door during a call.
void UartEvOpenHandset();
// "UART_EV_OPEN": a one-byte payload 1 plays the AT_OPEN phrase.
void UartEvOpen(const uint8_t *data, int length);
// Key, code, tamper and alarm events; `member` is the signal name for the log.
void PlayPanelEventPhrase(const uint8_t *data, int length, PhraseType type,
                          const char *member = nullptr);
// "UART_EV_NOTIFY_FLAT": debtor / information phrase for the dialled flat.
void UartEvFlatNotify(const uint8_t *data, int length);
