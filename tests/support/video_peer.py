#!/usr/bin/python3
"""Media peers of the video tests, on 127.0.0.1.

camera PORT PATH...: an RTSP camera serving H.264 at each mount PATH, one
stream shared by its clients; prints "describe PATH", "teardown PATH", "closed"
as clients come and go and "idr=MS" as it sends an IDR.
callee VPORT APORT: decodes the H.264 RTP at VPORT, counts the datagrams at
APORT, prints "frames=N audio=M" on change and "first=MS" at a frame after a
pause of the video; stdin "dtmf K" sends key K (RFC 4733, PT 101) to the
audio's sender.
MS: the wall clock in milliseconds, as sipp stamps its message log.
"""
import socket
import struct
import sys
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

CAMERA = ("( videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=25/1 ! "
          "x264enc threads=1 tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "  # an IDR a second
          "rtph264pay name=pay0 pt=96 config-interval=-1 )")


def say(text):
    print(text, flush=True)


def camera(port, paths):
    server = GstRtspServer.RTSPServer(address="127.0.0.1", service=str(port))

    def keyframe(_pad, info):
        if not info.get_buffer().has_flags(Gst.BufferFlags.DELTA_UNIT):
            say("idr=%.3f" % (time.time() * 1000))
        return Gst.PadProbeReturn.OK

    def configured(_factory, media):
        pad = media.get_element().get_by_name("pay0").get_static_pad("sink")
        pad.add_probe(Gst.PadProbeType.BUFFER, keyframe)

    for path in paths:
        factory = GstRtspServer.RTSPMediaFactory(shared=True)
        factory.set_launch(CAMERA)
        factory.connect("media-configure", configured)
        server.get_mount_points().add_factory(path, factory)

    def connected(_server, client):
        for request in ("describe", "teardown"):
            client.connect(request + "-request", lambda _c, ctx, r=request: say(r + " " + ctx.uri.abspath))
        client.connect("closed", lambda _c: say("closed"))

    server.connect("client-connected", connected)
    if not server.attach(None):
        sys.exit("camera: cannot listen on %d" % port)


def callee(vport, aport):
    pipeline = Gst.parse_launch(
        'udpsrc address=127.0.0.1 port=%d caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=H264" '
        '! rtph264depay ! avdec_h264 ! fakesink name=sink signal-handoffs=true sync=false' % vport)
    audio = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    audio.bind(("127.0.0.1", aport))
    got = {"frames": 0, "audio": 0, "peer": None, "shown": "", "last": 0}

    def frame(*_):  # on the streaming thread
        now = time.time()
        if now - got["last"] > 0.5:
            say("first=%.3f" % (now * 1000))
        got["last"] = now
        got["frames"] += 1

    def datagram(*_):
        _, got["peer"] = audio.recvfrom(2048)
        got["audio"] += 1
        return True

    def show():
        now = "frames=%d audio=%d" % (got["frames"], got["audio"])
        if now != got["shown"]:
            say(now)
            got["shown"] = now
        return True

    def command(*_):
        words = sys.stdin.readline().split()
        if not words:
            loop.quit()
        elif words[0] == "dtmf" and got["peer"]:
            # Three updates, then three end packets, as handsets send.
            for i in range(6):
                rtp = struct.pack("!BBHII", 0x80, 101 | (0x80 if i == 0 else 0), 4000 + i, 160000, 0x1234)
                event = struct.pack("!BBH", "0123456789*#".index(words[1]), (0x80 if i >= 3 else 0) | 10, 160 * (i + 1))
                audio.sendto(rtp + event, got["peer"])
        return True

    pipeline.get_by_name("sink").connect("handoff", frame)
    GLib.io_add_watch(audio.fileno(), GLib.IO_IN, datagram)
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, command)
    GLib.timeout_add(50, show)
    pipeline.set_state(Gst.State.PLAYING)


if __name__ == "__main__":
    Gst.init(None)
    if sys.argv[1] == "camera":
        camera(int(sys.argv[2]), sys.argv[3:])
    else:
        callee(int(sys.argv[2]), int(sys.argv[3]))
    say("ready")
    loop = GLib.MainLoop()
    loop.run()
