#define LOG_MODULE "package/main/talk"
#include "talk.h"

#include "ornix.h"

void EstablishCallHandler(struct call *) {}
void RtpEstablishedHandler(struct call *) {}
void DtmfStartHandler(struct call *, const char *) {}
void HangupCallback(union sigval) {}
int DoorHangupTimersPending() { return 0; }
void DoorHangupForgetCall(struct call *) {}
