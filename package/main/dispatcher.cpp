#define LOG_MODULE "package/main/dispatcher"
#include "dispatcher.h"

#include "ornix.h"

void BaresipEventHandler(struct ua *, enum ua_event, struct call *, const char *, void *) {}
void IncomingCallHandler(struct call *) {}
void OutgoingCallHandler(struct call *) {}
void ProgressCallHandler(struct call *) {}
bool IsServiceCall(struct call *) { return false; }
uint16_t GetCallFlat(struct call *) { return 0; }
