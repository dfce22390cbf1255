// Video session of the current call: the camera stream address, the RTP
// transport towards the peer and the started flag.
#pragma once

struct call;

extern bool videoStarted;

void VideoStart(struct call *call);
void VideoStop();
