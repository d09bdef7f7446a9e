#!/usr/bin/python3
"""HLS end to end: scripts/box.sh in a temporary root with HLS on (both streams, AAC), served by the
web server at /hls/ behind the login and pushed to nginx with WebDAV on loopback; the transport stream
to a UDP socket of this test as well.

For 60 s the test reloads the playlists as a player does and fetches every new segment: each begins
with the PAT and a key frame, lasts its target within 10 %, the media sequence never has a hole, the
continuity counters run on from one segment into the next, and ffmpeg decodes them laid end to end
without a word. Halfway through the ingest is stopped for 10 s: the box's own segments and the UDP
stream never pause, the push comes back, every segment the ingest has is the box's own byte for
byte, and its playlist marks the stretch it missed. At the stop only the playlists are left, ended.

Run by ctest: hls_test.py --source DIR --build DIR."""

import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "webrtc"))
import browser_test  # noqa: E402
from browser_test import free_port, store, wait_for  # noqa: E402
from webrtc_test import TsArrivals  # noqa: E402

ARGS = None
TARGET_S = 1
RELOADS_S = 60
OUTAGE_AT_S = 20
OUTAGE_S = 10


def playlist(text):
    """(media sequence, discontinuity sequence, ended, [(name, duration, marked)])."""
    seq = int(re.search(r"#EXT-X-MEDIA-SEQUENCE:(\d+)", text).group(1))
    dseq = re.search(r"#EXT-X-DISCONTINUITY-SEQUENCE:(\d+)", text)
    entries, duration, marked = [], None, False
    for line in text.splitlines():
        if line == "#EXT-X-DISCONTINUITY":
            marked = True
        elif line.startswith("#EXTINF:"):
            duration = float(line[8:].split(",")[0])
        elif line and not line.startswith("#"):
            entries.append((line, duration, marked))
            marked = False
    return seq, int(dseq.group(1)) if dseq else 0, "#EXT-X-ENDLIST" in text, entries


def packets(data):
    return [data[i:i + 188] for i in range(0, len(data) - 187, 188)]


def pid(p):
    return ((p[1] & 0x1F) << 8) | p[2]


def continuity(p):
    """The packet's counter, or None when it carries no payload (the counter does not move)."""
    return p[3] & 0x0F if p[3] & 0x10 else None


def begins_with_key_frame(data):
    """PAT, PMT, then a video PES whose unit begins with an SPS."""
    ps = packets(data)
    if len(ps) < 3 or pid(ps[0]) != 0 or pid(ps[2]) != 0x64 or not ps[2][1] & 0x40:
        return False
    p = ps[2]
    at = 4 + (1 + p[4] if p[3] & 0x20 else 0)
    es = at + 9 + p[at + 8]
    return p[es:es + 5] == b"\x00\x00\x00\x01\x67"


class Ingest:
    """nginx taking PUT and DELETE into a folder (WebDAV), on a port that stays the same across its
    restart."""

    def __init__(self, work):
        self.work = work
        self.port = free_port()
        self.dir = os.path.join(work, "dav", "ingest")
        os.makedirs(os.path.join(work, "body"), exist_ok=True)
        os.makedirs(self.dir, exist_ok=True)
        self.conf = os.path.join(work, "ingest.conf")
        with open(self.conf, "w") as f:
            f.write("daemon off;\nmaster_process off;\npid %s/ingest.pid;\nerror_log %s/ingest.log info;\n"
                    "events { worker_connections 64; }\n"
                    "http { access_log %s/ingest-access.log; client_body_temp_path %s/body;\n"
                    "  server { listen 127.0.0.1:%d; client_max_body_size 64m;\n"
                    "    location /ingest/ { root %s/dav; dav_methods PUT DELETE; create_full_put_path on; } } }\n"
                    % (work, work, work, work, self.port, work))
        self.start()

    def start(self):
        self.nginx = subprocess.Popen(["/usr/sbin/nginx", "-c", self.conf, "-p", self.work],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.nginx.kill()
        self.nginx.wait()

    def url(self):
        return "http://127.0.0.1:%d/ingest" % self.port

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()


class Reloader(threading.Thread):
    """A player's reloads of one media playlist through the web server, every half second, fetching
    each segment the first time it is listed."""

    def __init__(self, test, name):
        super().__init__(daemon=True)
        self.test, self.name = test, name
        self.views = []     # (media sequence, entries) of every reload
        self.segments = {}  # name -> bytes
        self.durations = {}
        self.errors = []
        self.running = True

    def run(self):
        while self.running:
            try:
                seq, _, _, entries = playlist(self.test.get("/hls/%s.m3u8" % self.name).decode())
                self.views.append((seq, entries))
                for name, duration, _ in entries:
                    if name not in self.segments:
                        self.segments[name] = self.test.get("/hls/" + name)
                        self.durations[name] = duration
            except (urllib.error.URLError, OSError, AttributeError, ValueError) as e:
                self.errors.append(repr(e))
            time.sleep(0.5)


class Hls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="hls-test-")
        os.chmod(cls.dir, 0o755)
        cls.root = os.path.join(cls.dir, "root")
        cls.build = ARGS.build
        subprocess.run(["bash", os.path.join(ARGS.source, "scripts/mkroot.sh"), cls.root, cls.build], check=True,
                       stdout=subprocess.DEVNULL)
        cls.udp = TsArrivals()
        cls.ingest = Ingest(cls.dir)
        store(cls.root, cls.build, {"namez_submit": "Set", "tz": "127.0.0.1", "namec_submit": "Set",
                                    "tc": str(cls.udp.port)})
        store(cls.root, cls.build, {"sbnt_submit": "Apply", "sbnt": "male"}, "stream2")
        mnt = os.path.join(cls.root, "mnt")
        # The second stream's key frames once a second too (it is coded at the capture's 30 frames a
        # second), so that both variants keep the target.
        with open(os.path.join(mnt, "kavex_rs.ini")) as f:
            rs = f.read().split()
        rs[5] = rs[6] = "30"
        with open(os.path.join(mnt, "kavex_rs.ini"), "w") as f:
            f.write(" ".join(rs))
        with open(os.path.join(mnt, "webrtc.ini"), "w") as f:
            f.write("enable=0\n")
        with open(os.path.join(mnt, "hls.ini"), "w") as f:
            f.write("enable=1\nsegment=%d\nsegments=6\npublic=0\npush_url=%s\n" % (TARGET_S, cls.ingest.url()))
        cls.web_port, cls.https_port = free_port(), free_port()
        # Plain HTTP is sent on to HTTPS with the box's own certificate, which a test on loopback takes.
        cls.base = "https://127.0.0.1:%d" % cls.https_port
        cls.tls = ssl._create_unverified_context()
        cls.auth = "Basic " + base64.b64encode(("%s:%s" % browser_test.FACTORY).encode()).decode()
        env = dict(os.environ, ENCODE_ROOT=cls.root, ENCODE_VIDEO_SOURCE="testsrc", ENCODE_AUDIO_SOURCE="tone",
                   ENCODE_PORT_OFFSET=str(free_port() % 20000 + 10000), BOX_RESTART_PAUSE="1")
        cls.box_log = open(os.path.join(cls.dir, "box.out"), "w")
        cls.box = subprocess.Popen(["bash", os.path.join(ARGS.source, "scripts/box.sh"), "--build", cls.build,
                                    "--port", str(cls.web_port), "--https-port", str(cls.https_port)], env=env,
                                   stdout=cls.box_log, stderr=subprocess.STDOUT, start_new_session=True)
        cls.hls = os.path.join(cls.root, "dev/shm/hls")
        wait_for("the master playlist", lambda: os.path.exists(os.path.join(cls.hls, "index.m3u8")), 60)

    @classmethod
    def tearDownClass(cls):
        for stop in (cls.stop_box, cls.udp.close, cls.ingest.stop):
            try:
                stop()
            except Exception:  # one failed stop must not keep the others from running
                pass
        if os.environ.get("KEEP_TEST_DIR") is None:
            shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def stop_box(cls):
        if cls.box.poll() is None:
            cls.box.send_signal(signal.SIGTERM)
            cls.box.wait(30)
        cls.box_log.close()

    @classmethod
    def get(cls, path):
        req = urllib.request.Request(cls.base + path, headers={"Authorization": cls.auth})
        with urllib.request.urlopen(req, timeout=10, context=cls.tls) as r:
            return r.read()

    def log(self):
        with open(os.path.join(self.root, "tmp/encode.log"), errors="replace") as f:
            return f.read()

    # --- The cases, in order: each leaves the box as the next expects it ---

    def test_1_players_read_both_variants_through_the_web_server(self):
        probe = subprocess.run(["ffprobe", "-v", "error", "-headers", "Authorization: %s\r\n" % self.auth,
                                "-show_entries", "stream=codec_name,width", "-of", "csv=p=0",
                                self.base + "/hls/main.m3u8"], capture_output=True, text=True, timeout=60)
        # ffprobe lists the program's streams once more.
        self.assertEqual(sorted(set(probe.stdout.split())), ["aac", "h264,1280"], probe.stderr)
        master = self.get("/hls/index.m3u8").decode()
        self.assertRegex(master, r'#EXT-X-STREAM-INF:BANDWIDTH=\d+,AVERAGE-BANDWIDTH=\d+,RESOLUTION=1280x720,'
                                 r'CODECS="avc1\.[0-9a-f]{6},mp4a\.40\.2"\nmain\.m3u8')
        self.assertRegex(master, r'RESOLUTION=640x480,CODECS="avc1\.[0-9a-f]{6},mp4a\.40\.2"\nsecond\.m3u8')
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(self.base + "/hls/main.m3u8", timeout=10, context=self.tls)
        self.assertIn(refused.exception.code, (401, 403))

    def test_2_sixty_seconds_of_reloads_with_the_ingest_away_for_ten(self):
        readers = [Reloader(self, "main"), Reloader(self, "second")]
        for r in readers:
            r.start()
        began = time.time()
        written = {}  # segment -> when its file was written (the box's own clock, from the tmpfs)
        outage = None
        while time.time() - began < RELOADS_S:
            for name in os.listdir(self.hls):
                if name.startswith("main_") and name not in written:
                    try:
                        written[name] = os.stat(os.path.join(self.hls, name)).st_mtime
                    except FileNotFoundError:
                        pass
            if outage is None and time.time() - began > OUTAGE_AT_S:
                outage = time.time()
                self.ingest.stop()
            if outage is not None and self.ingest.nginx.poll() is not None and time.time() - outage > OUTAGE_S:
                self.ingest.start()
            time.sleep(0.2)
        for r in readers:
            r.running = False
            r.join()
        for r in readers:
            with self.subTest(variant=r.name):
                self.check_variant(r)
        self.check_pauses(readers[0], written, began)
        self.check_ingest(readers)

    def check_variant(self, r):
        self.assertEqual(len(r.errors), 0, r.errors[:3])
        # One name, one place in the sequence, in every reload; the sequence only moves on.
        place = {}
        for seq, entries in r.views:
            for i, (name, _, _) in enumerate(entries):
                self.assertEqual(place.setdefault(name, seq + i), seq + i, name)
        order = sorted(r.segments, key=lambda n: place[n])
        self.assertEqual([place[n] for n in order], list(range(place[order[0]], place[order[0]] + len(order))))
        self.assertGreater(len(order), RELOADS_S * 0.8 / TARGET_S)
        last = {}  # of the elementary streams: PAT and PMT are sent with their counter at 0, always
        for name in order:
            data = r.segments[name]
            self.assertTrue(begins_with_key_frame(data), name)
            self.assertLess(abs(r.durations[name] - TARGET_S), TARGET_S * 0.1, name)
            for p in packets(data):
                cc = continuity(p)
                if cc is not None and pid(p) not in (0, 10):
                    if pid(p) in last:
                        self.assertEqual(cc, (last[pid(p)] + 1) % 16, "%s pid %d" % (name, pid(p)))
                    last[pid(p)] = cc
        joined = os.path.join(self.dir, r.name + "-joined.ts")
        with open(joined, "wb") as f:
            for name in order:
                f.write(r.segments[name])
        # Every frame through at its own time (90 kHz): ffmpeg's default, a time base of the frame rate,
        # rounds two frames a few milliseconds apart onto one tick and says so, whereas the pictures
        # carry their capture times, which a loaded machine spreads unevenly.
        decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", joined, "-fps_mode", "passthrough",
                                  "-enc_time_base", "-1", "-f", "null", "-"], capture_output=True, text=True,
                                 timeout=120)
        self.assertEqual(decoded.stderr, "")

    def check_pauses(self, main, written, began):
        # Each segment was written its own duration after the one before: the box's HLS never waited.
        names = sorted(written, key=lambda n: int(n[5:-3]))
        late = [(b, written[b] - written[a] - main.durations.get(b, TARGET_S))
                for a, b in zip(names, names[1:]) if b in main.durations]
        self.assertTrue(late)
        self.assertLess(max(abs(x) for _, x in late), 0.2, late)
        # The push's shortest bounded wait is half a second, so a pipeline held by it pauses the UDP
        # output for that long at least; a loaded 2-core machine alone has spread one gap to 0.21 s.
        self.assertLess(self.udp.longest_pause(began), 0.4)

    def check_ingest(self, readers):
        wait_for("the push back after the outage", lambda: "takes the segments again" in self.log(), 30)
        for r in readers:
            with open(os.path.join(self.ingest.dir, r.name + ".m3u8")) as f:
                _, _, _, entries = playlist(f.read())
            self.assertGreater(len(entries), 2)
            numbers = [int(re.search(r"_(\d+)\.ts", n).group(1)) for n, _, _ in entries]
            for (a, b), (_, _, marked) in zip(zip(numbers, numbers[1:]), entries[1:]):
                self.assertTrue(b == a + 1 or marked, "%d then %d unmarked" % (a, b))
            for name in os.listdir(self.ingest.dir):
                if name.startswith(r.name + "_") and name in r.segments:
                    self.assertEqual(hashlib.sha256(self.ingest.read(name)).digest(),
                                     hashlib.sha256(r.segments[name]).digest(), name)
        with open(os.path.join(self.ingest.dir, "index.m3u8")) as f:
            self.assertIn("second.m3u8", f.read())
        self.assertEqual(self.log().count("the local HLS goes on"), 1)

    def test_3_at_the_stop_only_the_ended_playlists_are_left(self):
        self.stop_box()
        self.assertEqual(sorted(os.listdir(self.hls)), ["index.m3u8", "main.m3u8", "second.m3u8"])
        for name in ("main.m3u8", "second.m3u8"):
            with open(os.path.join(self.hls, name)) as f:
                self.assertTrue(playlist(f.read())[2], name)
            with open(os.path.join(self.ingest.dir, name)) as f:
                self.assertTrue(playlist(f.read())[2], "ingest " + name)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
