#define LOG_MODULE "package/main/closing"
#include "closing.h"

#include "ornix.h"

struct call *rejectedCall = nullptr;
const char *closeReason = nullptr;
struct call *closingCall = nullptr;

void CloseCallHandler(struct call *) {}
void AllCallsDone() {}
