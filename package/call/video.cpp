#define LOG_MODULE "package/main/video"
#include "call/video.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "call/dispatcher.h"
#include "context/context.h"
#include "ornix.h"
#include "sip/calls.h"

bool videoStarted = false;

namespace {

char videoUrl[64];
char videoTransport[128];

// Fills videoTransport from the call's remote media address and returns it.
const char *GetVideoTransport(struct call *call) {
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof(sin));
  SipRemoteAddress(call, &sin);
  int port = ntohs(sin.sin_port);
  char address[16] = "";
  if (!inet_ntop(AF_INET, &sin.sin_addr, address, sizeof(address)))
    snprintf(address, sizeof(address), "0.0.0.0");
  LOG(1, "Baresip endpoint: %s:%d", address, port);
  snprintf(videoTransport, sizeof(videoTransport),
           "RTP/AVP/UDP;unicast;client_port=%d-12345;address=%s", port,
           address);
  return videoTransport;
}

}  // namespace

void VideoStart(struct call *call) {
  if (!CallContext.videoEnabled || CallContext.fromGate || videoStarted)
    return;
  if (!call) {
    LOG(5, "VideoStart: call not found");
    LogWriteMorvat(3, LOG_MODULE, __LINE__, 0, "VideoStart: call not found");
    return;
  }
  if (!SipCallHasVideo(call)) return;  // declined by the peer: no video to speak of
  const char *transport = GetVideoTransport(call);
  snprintf(videoUrl, sizeof(videoUrl), "rtsp://127.0.0.1:554/ch%u/trackID=0",
           (unsigned)CallContext.videoStreamId);
  LOG(1, "VideoStart: url=%s, transport=%s", videoUrl, transport);
  if (strstr(transport, "client_port=0-")) {
    LOG_BOTH(4, "VideoStart: port is 0, RTP not ready yet, skipping video start");
    return;
  }
  char text[sizeof videoUrl + sizeof videoTransport + 32];  // never cut
  snprintf(text, sizeof(text), "url=%s streamId=%u transport=%s", videoUrl,
           (unsigned)CallContext.videoStreamId, transport);
  LOG(2, "Video start flat=%u call=%p %s", CallContext.flat, (void *)call,
      text);
  LOG(1, "VideoStart: baresip already manages RTSP session, skipping manual RTSP setup");
  videoStarted = true;
}

void VideoStop() {
  LOG(2, "Video stop flat=%u call=%p url=%s streamId=%u", CallContext.flat,
      (void *)CallContext.currentCall, videoUrl,
      (unsigned)CallContext.videoStreamId);
  LOG(1, "VideoStop: baresip manages RTSP session, skipping manual teardown");
  videoStarted = false;
}
