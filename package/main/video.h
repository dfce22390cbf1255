// Video session of the current call: the camera stream address, the RTP
// transport towards the peer and the started flag.
#pragma once

struct call;

extern char videoUrl[64];
extern bool videoStarted;
extern char videoTransport[128];

void VideoStart(struct call *call);
void VideoStop();
// Fills videoTransport from the call's remote media address and returns it.
const char *GetVideoTransport(struct call *call);
