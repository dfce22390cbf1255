#define LOG_MODULE "package/main/video"
#include "video.h"

#include "ornix.h"

char videoUrl[64];
bool videoStarted = false;
char videoTransport[128];

void VideoStart(struct call *) {}
void VideoStop() {}
const char *GetVideoTransport(struct call *) { return videoTransport; }
