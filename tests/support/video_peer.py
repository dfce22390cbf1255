#!/usr/bin/python3
"""Media peers of the video tests, on 127.0.0.1.

camera PORT [--1080p] [--gop=N] [--high|--mjpeg] [--fps=F] [--digest=USER:PASS]
PATH...: an RTSP camera serving H.264 (320x240, or 1920x1080 at 4 Mbit/s; an
IDR every 25 frames, or every N; Constrained Baseline, or High), or Motion
JPEG; 25 frames a second, or F; asking for Digest credentials, or none; at
each mount PATH, one stream shared by its clients;
prints "describe PATH", "teardown PATH", "closed" as clients come and go and
"idr=MS" as it sends an IDR.
callee VPORT APORT: decodes the H.264 RTP at VPORT, counts the datagrams at
APORT, prints "frames=N audio=M keys=K" on change (K: pictures decodable by
themselves), "key=MS" at each of these, and "first=MS" at a frame after a
pause of the video; stdin
"dtmf K" sends key K (RFC 4733, PT 101) to the audio's sender, "pli" a
picture loss indication, "fir" a full intra request, from VPORT+1 to the
video sender's RTCP port.
hostile PORT: a camera that is not to be trusted, on any path. Its first
connection answers DESCRIBE with a 2 GB Content-Length and sends 400 MB of
body; the next offers two H.264 streams and, after PLAY, sends frames with an
SPS of no real level (profile-level-id 42e0ff) on the first, ten 10 MB access
units among them, and an endless fragment (300 MB) on the second; it prints
"play", then "flood done" when all is sent, then sends small frames until the
client leaves. hostile PORT headers: every reply's header lines never end.
MS: the wall clock in milliseconds, as sipp stamps its message log.
"""
import socket
import struct
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstNet", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstNet, GstRtsp, GstRtspServer  # noqa: E402

CAMERA = ("( videotestsrc is-live=true pattern=ball ! video/x-raw,width=%d,height=%d,framerate=%d/1 ! "
          "x264enc threads=1 tune=zerolatency speed-preset=ultrafast %s ! "
          "rtph264pay name=pay0 pt=96 config-interval=-1 )")
MJPEG = ("( videotestsrc is-live=true pattern=ball ! video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1 ! "
         "jpegenc ! rtpjpegpay name=pay0 pt=26 )%s")


def say(text):
    print(text, flush=True)


def camera(port, paths):
    opts = {}
    while paths and paths[0].startswith("--"):
        key, _, value = paths.pop(0)[2:].partition("=")
        opts[key] = value
    size = (1920, 1080) if "1080p" in opts else (320, 240)
    extra = "key-int-max=%s" % opts.get("gop", "25") + (" bitrate=4000" if "1080p" in opts else "")
    if "high" in opts:
        extra += " dct8x8=true ! video/x-h264,profile=high"
    codec = MJPEG if "mjpeg" in opts else CAMERA
    launch = codec % (size + (int(opts.get("fps", "25")), extra if codec == CAMERA else ""))
    server = GstRtspServer.RTSPServer(address="127.0.0.1", service=str(port))
    if "digest" in opts:
        auth, token = GstRtspServer.RTSPAuth(), GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        auth.add_digest(*opts["digest"].split(":", 1), token)
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        server.set_auth(auth)

    def keyframe(_pad, info):
        if not info.get_buffer().has_flags(Gst.BufferFlags.DELTA_UNIT):
            say("idr=%.3f" % (time.time() * 1000))
        return Gst.PadProbeReturn.OK

    def configured(_factory, media):
        pad = media.get_element().get_by_name("pay0").get_static_pad("sink")
        pad.add_probe(Gst.PadProbeType.BUFFER, keyframe)

    for path in paths:
        factory = GstRtspServer.RTSPMediaFactory(shared=True)
        factory.set_launch(launch)
        factory.add_role_from_structure(
            Gst.Structure.new_from_string("user, media.factory.access=(boolean)true, "
                                          "media.factory.construct=(boolean)true"))
        factory.connect("media-configure", configured)
        server.get_mount_points().add_factory(path, factory)

    def connected(_server, client):
        for request in ("describe", "teardown"):
            client.connect(request + "-request", lambda _c, ctx, r=request: say(r + " " + ctx.uri.abspath))
        client.connect("closed", lambda _c: say("closed"))

    server.connect("client-connected", connected)
    if not server.attach(None):
        sys.exit("camera: cannot listen on %d" % port)


def rtp(channel, seq, ts, payload, marker=False):  # interleaved on the RTSP connection
    packet = struct.pack("!BBHII", 0x80, 96 | marker << 7, seq & 0xFFFF, ts & 0xFFFFFFFF, 0x5EED + channel)
    return struct.pack("!cBH", b"$", channel, len(packet) + len(payload)) + packet + payload


def hostile_stream(conn):
    sps, pps = b"\x67\x42\xe0\xff\xda", b"\x68\xce\x3c\x80"  # level_idc 255: no such level
    seq, ts, fragment = [0, 0], 0, b"\xaa" * 1400

    def packet(channel, payload, marker):
        seq[channel // 2] += 1
        return rtp(channel, seq[channel // 2], ts, payload, marker)

    say("play")
    for n in range(1575):  # the flood (three seconds at 25 frames a second), then a minute at most
        ts += 3600
        nals = [sps, pps, b"\x65\x88" + fragment] if n % 25 == 0 else [b"\x41\x9a" + fragment[:200]]
        packets = [packet(0, nal, i == len(nals) - 1) for i, nal in enumerate(nals)]
        if n < 75:  # 4 MB of a unit that never ends on the second stream: 300 MB
            packets += [packet(2, (b"\x5c\x81" if n + i == 0 else b"\x5c\x01") + fragment, False) for i in range(3000)]
        if 25 <= n < 35:  # a 10 MB slice in FU-A fragments
            ts += 3600
            count = (10 << 20) // 1400
            packets += [packet(0, bytes([0x5C, (i == 0) << 7 | (i == count - 1) << 6 | 1]) + fragment, i == count - 1)
                        for i in range(count)]
        conn.sendall(b"".join(packets))
        if n == 74:
            say("flood done")
        time.sleep(0.04)


def hostile_client(conn, number, headers):
    sdp = "".join("m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\n"
                  "a=control:trackID=%d\r\n" % track for track in (0, 1))
    answers = {"DESCRIBE": "Content-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%s" % (len(sdp), sdp),
               "SETUP": "Session: 7\r\nTransport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n\r\n",
               "PLAY": "Session: 7\r\nRange: npt=0-\r\n\r\n"}
    data, setups = b"", 0
    try:
        while True:
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    raise OSError
                data += chunk
            head, data = data.split(b"\r\n\r\n", 1)
            method = head.split(b" ", 1)[0].decode()
            cseq = head.lower().split(b"cseq:", 1)[-1].split(b"\r\n", 1)[0].strip().decode()
            conn.sendall(("RTSP/1.0 200 OK\r\nCSeq: %s\r\n" % cseq).encode())
            if headers:
                for _ in range(1 << 16):  # header lines, 320 MB at most
                    conn.sendall((b"X-Padding: " + b"p" * 64 + b"\r\n") * 64)
            elif method == "DESCRIBE" and number == 1:
                conn.sendall(b"Content-Length: 2000000000\r\n\r\n")
                for _ in range(400):  # 400 MB of body
                    conn.sendall(b"v=0\r\n" * 209715)
            elif method == "SETUP":
                conn.sendall((answers[method] % (2 * setups, 2 * setups + 1)).encode())
                setups += 1
            else:
                conn.sendall(answers.get(method, "\r\n").encode())
                if method == "PLAY":
                    hostile_stream(conn)
    except OSError:
        conn.close()
        say("closed")


def hostile(port, headers):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)

    def accept():
        for number in range(1, 100):
            conn, _ = server.accept()
            threading.Thread(target=hostile_client, args=(conn, number, headers), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()


def callee(vport, aport):
    pipeline = Gst.parse_launch(
        'udpsrc name=rx address=127.0.0.1 port=%d caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=H264" '
        '! rtph264depay wait-for-keyframe=true ! avdec_h264 name=dec ! fakesink name=sink signal-handoffs=true '
        'sync=false' % vport)
    audio = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    audio.bind(("127.0.0.1", aport))
    rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rtcp.bind(("127.0.0.1", vport + 1))
    got = {"frames": 0, "audio": 0, "keys": 0, "peer": None, "sender": None, "shown": "", "last": 0}

    def received(_pad, info):  # the last call's sender, from its RTP
        meta = GstNet.buffer_get_net_address_meta(info.get_buffer())
        if meta:
            got["sender"] = (meta.addr.get_address().to_string(), meta.addr.get_port())
        return Gst.PadProbeReturn.OK

    def access_unit(_pad, info):
        if not info.get_buffer().has_flags(Gst.BufferFlags.DELTA_UNIT):
            got["keys"] += 1
            say("key=%.3f" % (time.time() * 1000))
        return Gst.PadProbeReturn.OK

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
        now = "frames=%d audio=%d keys=%d" % (got["frames"], got["audio"], got["keys"])
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
        elif words[0] in ("pli", "fir") and got["sender"]:
            host, port = got["sender"]
            if words[0] == "pli":  # RFC 4585: PSFB, FMT 1, no FCI
                rtcp.sendto(struct.pack("!BBHII", 0x81, 206, 2, 0x1234, 0), (host, port + 1))
            else:  # RFC 5104: PSFB, FMT 4, one FCI entry (SSRC, sequence number)
                rtcp.sendto(struct.pack("!BBHIIII", 0x84, 206, 4, 0x1234, 0, 0, 1 << 24), (host, port + 1))
        return True

    pipeline.get_by_name("sink").connect("handoff", frame)

    pipeline.get_by_name("rx").get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, received)
    pipeline.get_by_name("dec").get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, access_unit)
    GLib.io_add_watch(audio.fileno(), GLib.IO_IN, datagram)
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, command)
    GLib.timeout_add(50, show)
    pipeline.set_state(Gst.State.PLAYING)


if __name__ == "__main__":
    Gst.init(None)
    if sys.argv[1] == "camera":
        camera(int(sys.argv[2]), sys.argv[3:])
    elif sys.argv[1] == "hostile":
        hostile(int(sys.argv[2]), sys.argv[3:] == ["headers"])
    else:
        callee(int(sys.argv[2]), int(sys.argv[3]))
    say("ready")
    loop = GLib.MainLoop()
    loop.run()
