#!/usr/bin/python3
"""Soak: the box left running with every output on while clients come and go, to see whether anything
grows. Two encoders run side by side in two temporary roots (the RTSP hand-off and the RTMP publisher
exclude each other in one run):
  A: TS over UDP, the TCP slots with tags, the hand-off FIFOs read by rtsp_server, recording to "USB";
  B: TS over HTTP, RTMP to nginx with the RTMP module.
Every minute a UDP reader, a slot reader, an RTSP player and an HTTP player each come for 20 s and go;
nginx is restarted at a third and at two thirds of the run. Every 10 s the RSS, open descriptors and
threads of both encoders and of rtsp_server are sampled. At the start and at the end the audio-minus-
video PTS difference of A's transport stream is measured, and at the end 30 s of it are decoded.

Prints a table and a verdict: RSS flat (under 1 MiB growth after the first 5 minutes), descriptors and
threads flat, drift under one frame, no decode error.

    make soak                       (SOAK_MINUTES, default 60)
    bench/soak.py --build DIR --source DIR [--minutes N]
"""

import argparse
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

VIDEO_PID, AUDIO_PID = 0x64, 0x66
FRAME_S = 1 / 30
NGINX_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def lay_root(args, name):
    root = os.path.join(args.dir, name)
    subprocess.run(["bash", os.path.join(args.source, "scripts/mkroot.sh"), root, args.build], check=True,
                   stdout=subprocess.DEVNULL)
    return root


def write(root, path, text):
    full = root + path
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w") as f:
        f.write(text)


def sample(pid):
    """(RSS in KiB, open descriptors, threads) of a process, or None when it is gone."""
    try:
        fields = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.split()
        return int(fields["VmRSS"][0]), len(os.listdir("/proc/%d/fd" % pid)), int(fields["Threads"][0])
    except (OSError, KeyError):
        return None


def pts_of(packet):
    """The PTS (90 kHz) of a TS packet that starts a PES, or None."""
    if packet[0] != 0x47 or not packet[1] & 0x40:
        return None
    at = 4
    if packet[3] & 0x20:
        at += 1 + packet[4]
    pes = packet[at:]
    if len(pes) < 14 or pes[:3] != b"\x00\x00\x01" or not pes[7] & 0x80:
        return None
    p = pes[9:14]
    return ((p[0] >> 1) & 7) << 30 | p[1] << 22 | (p[2] >> 1) << 15 | p[3] << 7 | p[4] >> 1


def capture_udp(port, seconds):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind(("127.0.0.1", port))
    sock.settimeout(0.5)
    data = bytearray()
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        try:
            data += sock.recv(65536)
        except socket.timeout:
            pass
    sock.close()
    return bytes(data)


def av_offset(ts):
    """Mean of (audio PTS - latest video PTS before it) over the capture, in seconds."""
    video = None
    diffs = []
    for at in range(0, len(ts) - 187, 188):
        packet = ts[at:at + 188]
        pid = (packet[1] & 0x1F) << 8 | packet[2]
        pts = pts_of(packet) if pid in (VIDEO_PID, AUDIO_PID) else None
        if pts is None:
            continue
        if pid == VIDEO_PID:
            video = pts
        elif video is not None:
            diffs.append(((pts - video) % (1 << 33)) if pts >= video else -((video - pts) % (1 << 33)))
    return sum(diffs) / len(diffs) / 90000 if diffs else None


def from_first_idr(ts):
    """The capture from the PAT before its first video unit that carries an SPS, so that a decoder
    starts clean."""
    for at in range(0, len(ts) - 187, 188):
        packet = ts[at:at + 188]
        pid = (packet[1] & 0x1F) << 8 | packet[2]
        if pid == VIDEO_PID and packet[1] & 0x40 and b"\x00\x00\x00\x01\x67" in packet:
            start = at
            for back in range(at - 188, max(at - 4 * 188, 0) - 1, -188):
                if ts[back + 1] & 0x1F == 0 and ts[back + 2] == 0:
                    start = back
                    break
            return ts[start:]
    return b""


class Nginx:
    def __init__(self, dir):
        self.dir = dir
        self.port = free_port()
        os.makedirs(os.path.join(dir, "rec"), exist_ok=True)
        with open(os.path.join(dir, "nginx.conf"), "w") as f:
            f.write("load_module %s;\ndaemon off;\nmaster_process off;\npid %s/nginx.pid;\n"
                    "error_log %s/error.log info;\nevents { worker_connections 64; }\n"
                    "rtmp { server { listen 127.0.0.1:%d; application live { live on; } } }\n"
                    % (NGINX_MODULE, dir, dir, self.port))
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["/usr/sbin/nginx", "-p", self.dir + "/", "-c", self.dir + "/nginx.conf",
                                      "-e", self.dir + "/error.log"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def restart(self):
        self.proc.send_signal(signal.SIGQUIT)
        self.proc.wait(10)
        self.start()

    def stop(self):
        self.proc.send_signal(signal.SIGQUIT)
        self.proc.wait(10)


class Soak:
    def __init__(self, args):
        self.args = args
        self.procs = []
        self.samples = []  # (minute, clients connected, {name: (rss, fds, threads)})
        self.udp_port = free_port()
        self.offset_a = free_port() % 10000 + 20000
        self.offset_b = self.offset_a + 300

    def start(self):
        args = self.args
        self.nginx = Nginx(os.path.join(args.dir, "nginx"))
        a = lay_root(args, "a")
        for f, v in (("tcp.ini", "1"), ("rtsp.ini", "1"), ("tsf.ini", "1"), ("fn", "export f=soak\n")):
            write(a, "/mnt/" + f, v)
        os.makedirs(a + "/mnt/usb/record", exist_ok=True)
        b = lay_root(args, "b")
        for f, v in (("httpts.ini", "1"), ("rtsp.ini", "1"), ("rtsporrtmp.ini", "1")):
            write(b, "/mnt/" + f, v)
        write(b, "/mnt/autorun.sh", "#!/bin/sh\nurl=rtmp://127.0.0.1:%d/live/soak\n" % self.nginx.port)
        encode = os.path.join(args.build, "encode/app/encode")
        options = ["-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000", "-y", "3",
                   "-f", "30", "-i", "30", "-b", "4000000"]
        self.rtsp = self.spawn("rtsp_server", a, self.offset_a, [os.path.join(args.build, "rtsp/rtsp_server"),
                                                                 "--address", "127.0.0.1"])
        self.enc_a = self.spawn("encode A", a, self.offset_a,
                                [encode, "-z", "127.0.0.1", "-c", str(self.udp_port)] + options)
        self.enc_b = self.spawn("encode B", b, self.offset_b, [encode] + options)

    def spawn(self, name, root, offset, argv):
        env = dict(os.environ, ENCODE_ROOT=root, ENCODE_PORT_OFFSET=str(offset), ENCODE_VIDEO_SOURCE="testsrc",
                   ENCODE_AUDIO_SOURCE="tone", ENCODE_BIND_ADDRESS="127.0.0.1")
        log = open(os.path.join(self.args.dir, name.replace(" ", "_") + ".log"), "w")
        p = subprocess.Popen(argv, env=env, stdout=log, stderr=subprocess.STDOUT)
        self.procs.append((name, p))
        return p

    def churn(self):
        """One round of clients, 20 s each, side by side."""
        a, b = self.offset_a, self.offset_b
        jobs = [
            ["timeout", "25", "ffmpeg", "-nostdin", "-v", "quiet", "-rtsp_transport", "tcp", "-i",
             "rtsp://127.0.0.1:%d/live" % (8554 + a), "-t", "20", "-f", "null", "-"],
            ["timeout", "25", "curl", "-s", "-o", "/dev/null", "--max-time", "20", "http://127.0.0.1:%d/" % (10000 + b)],
            ["timeout", "20", "bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/%d; cat <&3 > /dev/null" % (8888 + a)],
        ]
        procs = [subprocess.Popen(j, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for j in jobs]
        capture_udp(self.udp_port, 20)  # the UDP reader of this round
        for p in procs:
            p.wait()

    def sample_all(self, minute, busy):
        row = {}
        for name, p in (("encode A", self.enc_a), ("encode B", self.enc_b), ("rtsp_server", self.rtsp)):
            row[name] = sample(p.pid)
        self.samples.append((minute, busy, row))

    def run(self):
        minutes = self.args.minutes
        start = time.monotonic()
        time.sleep(5)
        capture = capture_udp(self.udp_port, 10)
        self.offset_start = av_offset(capture)
        restarts = {int(minutes / 3), int(2 * minutes / 3)}
        churner = None
        next_sample = start
        next_round = start
        while time.monotonic() - start < minutes * 60:
            now = time.monotonic()
            minute = (now - start) / 60
            if now >= next_sample:
                self.sample_all(minute, churner is not None and churner.is_alive())
                next_sample += 10
            if now >= next_round and (churner is None or not churner.is_alive()):
                if int(minute) in restarts:
                    restarts.discard(int(minute))
                    self.nginx.restart()
                churner = threading.Thread(target=self.churn)
                churner.start()
                next_round += 60
            time.sleep(0.5)
        if churner:
            churner.join()
        self.sample_all((time.monotonic() - start) / 60, False)
        capture = capture_udp(self.udp_port, 30)
        self.offset_end = av_offset(capture)
        clip = os.path.join(self.args.dir, "end.ts")
        with open(clip, "wb") as f:
            f.write(from_first_idr(capture))
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", clip, "-f", "null", "-"], capture_output=True,
                           text=True)
        self.decode_errors = [l for l in r.stderr.splitlines() if l.strip()]

    def stop(self):
        for name, p in reversed(self.procs):
            p.send_signal(signal.SIGTERM)
        for name, p in self.procs:
            try:
                p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()
        self.nginx.stop()

    def report(self):
        """The table shows the samples taken between rounds of clients (a client's session has its
        own descriptors and threads while it lasts); growth is judged on them too."""
        names = ("encode A", "encode B", "rtsp_server")
        idle = [(minute, row) for minute, busy, row in self.samples if not busy]
        print("%6s " % "minute" + " ".join("%-28s" % n for n in names))
        print("%6s " % "" + " ".join("%-28s" % "RSS MiB / fds / threads" for _ in names))
        shown = -1
        for minute, row in idle:
            if int(minute) == shown and (minute, row) != idle[-1]:
                continue
            shown = int(minute)
            cells = []
            for n in names:
                s = row.get(n)
                cells.append("%-28s" % ("gone" if s is None else "%.1f / %d / %d" % (s[0] / 1024, s[1], s[2])))
            print("%6.1f " % minute + " ".join(cells))
        ok = True
        settled = [row for minute, row in idle if minute >= 5] or [idle[-1][1]]
        for n in names:
            values = [row[n] for row in settled if row.get(n)]
            if len(values) < len(settled):
                print("%s: ended during the run" % n)
                ok = False
                continue
            growth = (values[-1][0] - values[0][0]) / 1024
            fds = max(v[1] for v in values) - min(v[1] for v in values)
            threads = max(v[2] for v in values) - min(v[2] for v in values)
            # A thread pool may keep one idle worker for a while after a round: one more thread in a
            # sample is not growth; more than one, or more at the end than at minute 5, is.
            more_threads = values[-1][2] - values[0][2]
            flat = growth < 1.0 and fds == 0 and threads <= 1 and more_threads <= 0
            ok = ok and flat
            print("%s: RSS %+.2f MiB from minute 5 to the end, descriptors vary by %d, threads by %d, %+d at the "
                  "end (between rounds of clients) -> %s" % (n, growth, fds, threads, more_threads,
                                                             "flat" if flat else "GROWS"))
        if self.offset_start is None or self.offset_end is None:
            print("audio-minus-video PTS: not measured (no audio or video PES)")
            ok = False
        else:
            drift = self.offset_end - self.offset_start
            print("audio-minus-video PTS: %.1f ms at the start, %.1f ms at the end: drift %.1f ms (one frame %.1f ms)"
                  % (self.offset_start * 1000, self.offset_end * 1000, drift * 1000, FRAME_S * 1000))
            ok = ok and abs(drift) < FRAME_S
        print("decode of the last 30 s: %s" % ("clean" if not self.decode_errors else
                                                 "%d error lines, first: %s" % (len(self.decode_errors),
                                                                                self.decode_errors[0])))
        ok = ok and not self.decode_errors
        print("verdict: %s" % ("PASS" if ok else "FAIL"))
        return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("--minutes", type=float, default=float(os.environ.get("SOAK_MINUTES", "60")))
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.dir = tempfile.mkdtemp(prefix="soak-")
    soak = Soak(args)
    ok = False
    try:
        soak.start()
        soak.run()
    finally:
        soak.stop()
    ok = soak.report()
    print("logs: %s" % args.dir)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
