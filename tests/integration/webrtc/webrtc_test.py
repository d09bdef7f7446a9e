#!/usr/bin/python3
"""The live picture end to end: scripts/box.sh in a temporary root (the encoder on the virtual capture,
whose picture carries its capture time, webrtc_server beside it, lighttpd with the WHEP program),
Debian's headless Chromium as the viewers, the test's own WHIP receiver (tests/webrtc/whip_receiver)
as the endpoint the box publishes to, the transport stream to a UDP socket of this test and RTMP to
nginx through a relay of this test, whose arrival times show whether the encoder's other outputs
ever paused.

The dashboard plays the main stream with its sound and shows its latency; a WHEP client of the test's
own (a script run in a page of the box, so that the same-origin rule holds) takes four viewers, a
fifth is refused, bad requests are refused one line each; a browser killed without DELETE is freed;
the WHIP receiver killed and started again gets pictures again.

Run by ctest: webrtc_test.py --source DIR --build DIR."""

import argparse
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import browser_test  # noqa: E402  (the box's start, the store's buttons, the browser and its login)
from browser_test import chromium, free_port, store, wait_for  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402

ARGS = None
SO_TIMESTAMPNS = 35

# The test's own WHEP client, run in a page of the box: `n` viewers (of the main stream, or of the
# stream whose path is given), each an RTCPeerConnection that offers to receive the given kinds; their
# answers' statuses and lines go to window.viewers.
CLIENT = """
window.viewers = window.viewers || [];
const done = arguments[arguments.length - 1];
async function one(kinds, path) {
  const pc = new RTCPeerConnection();
  kinds.forEach(k => pc.addTransceiver(k, {direction: "recvonly"}));
  await pc.setLocalDescription(await pc.createOffer());
  await new Promise(r => { pc.onicegatheringstatechange = () => pc.iceGatheringState === "complete" && r();
                           setTimeout(r, 2000); });
  const res = await fetch(path, {method: "POST", headers: {"Content-Type": "application/sdp"},
                                         body: pc.localDescription.sdp});
  const text = await res.text();
  const v = {pc: pc, status: res.status, line: text.split("\\n")[0], location: res.headers.get("Location")};
  if (res.status === 201) {
    await pc.setRemoteDescription({type: "answer", sdp: text});
    const answered = performance.now();
    for (let frames = 0; frames === 0 && performance.now() - answered < 5000;) {
      await new Promise(r => setTimeout(r, 20));
      (await pc.getStats()).forEach(x => { if (x.type === "inbound-rtp" && x.kind === "video") frames = x.framesDecoded; });
    }
    v.firstFrameMs = performance.now() - answered;
  }
  window.viewers.push(v);
  return v.status;
}
const path = arguments.length > 3 ? arguments[2] : "/whep/main";
Promise.all([...Array(arguments[0])].map(() => one(arguments[1], path))).then(done, e => done(String(e)));
"""

# Frames decoded and audio packets of each viewer so far.
COUNTS = """
const done = arguments[arguments.length - 1];
Promise.all(window.viewers.filter(v => v.status === 201 && !v.closed).map(v => v.pc.getStats().then(s => {
  let frames = 0, audio = 0;
  s.forEach(x => { if (x.type === "inbound-rtp") { if (x.kind === "video") frames = x.framesDecoded;
                                                     else audio = x.packetsReceived; } });
  return [frames, audio];
}))).then(done);
"""

REQUEST = """
const done = arguments[arguments.length - 1];
fetch(arguments[0], {method: arguments[1], headers: {"Content-Type": arguments[2]}, body: arguments[3]})
  .then(r => r.text().then(t => done([r.status, t]))).catch(e => done([0, String(e)]));
"""


class TsArrivals:
    """The kernel's receive times of the datagrams on a loopback port: the longest pause among them."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.times = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            try:
                _, anc, _, _ = self.sock.recvmsg(65536, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            for level, kind, data in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    s, ns = struct.unpack("qq", data[:16])
                    with self.lock:
                        self.times.append(s + ns / 1e9)

    def longest_pause(self, since=0):
        with self.lock:
            t = [x for x in self.times if x >= since]
        return max((b - a for a, b in zip(t, t[1:])), default=float("inf"))

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class RtmpRelay:
    """nginx with the RTMP module as the ingest, behind a relay of this test that notes when the
    encoder's bytes arrive: the longest pause of the RTMP output."""

    def __init__(self, work):
        self.ingest = free_port()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write("load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\n"
                    "pid %s/nginx.pid;\nerror_log %s/nginx.log info;\nevents { worker_connections 64; }\n"
                    "rtmp { server { listen 127.0.0.1:%d; application live { live on; } } }\n"
                    % (work, work, self.ingest))
        self.nginx = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", work], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.times = []
        self.lock = threading.Lock()
        self.running = True
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while self.running:
            try:
                encoder, _ = self.listener.accept()
            except socket.timeout:
                continue
            ingest = socket.create_connection(("127.0.0.1", self.ingest), timeout=5)
            threading.Thread(target=self.pump, args=(encoder, ingest, True), daemon=True).start()
            threading.Thread(target=self.pump, args=(ingest, encoder, False), daemon=True).start()

    def pump(self, src, dst, noted):
        src.settimeout(None)
        try:
            while self.running:
                data = src.recv(65536)
                if not data:
                    break
                if noted:
                    with self.lock:
                        self.times.append(time.monotonic())
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def longest_pause(self, since):
        with self.lock:
            t = [x for x in self.times if x >= since]
        return max((b - a for a, b in zip(t, t[1:])), default=float("inf"))

    def close(self):
        self.running = False
        self.listener.close()
        self.nginx.kill()
        self.nginx.wait()


class LivePicture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="webrtc-test-")
        os.chmod(cls.dir, 0o755)
        cls.root = os.path.join(cls.dir, "root")
        cls.build = ARGS.build
        subprocess.run(["bash", os.path.join(ARGS.source, "scripts/mkroot.sh"), cls.root, cls.build], check=True,
                       stdout=subprocess.DEVNULL)
        cls.udp = TsArrivals()
        cls.rtmp = RtmpRelay(cls.dir)
        cls.whip_port = free_port()
        cls.start_receiver()
        cls.web_port = free_port()
        cls.https_port = free_port()
        cls.base = "https://127.0.0.1:%d" % cls.https_port
        store(cls.root, cls.build, {"namez_submit": "Set", "tz": "127.0.0.1", "namec_submit": "Set",
                                    "tc": str(cls.udp.port), "codec_submit": "Apply", "ctrlez": "afemale",
                                    "audioen": "male"})
        store(cls.root, cls.build, {"rtmpurl_submit": "Set",
                                    "rtmpurl": "rtmp://127.0.0.1:%d/live/key" % cls.rtmp.port})
        store(cls.root, cls.build, {"sbnt_submit": "Apply", "sbnt": "male"}, "stream2")
        store(cls.root, cls.build, {"whip_submit": "Set", "whip_enable": "female",
                                    "whip_url": "http://127.0.0.1:%d/whip" % cls.whip_port})
        cls.start_box()
        cls.browsers = []
        cls.driver = cls.browser()

    @classmethod
    def tearDownClass(cls):
        stops = [b.quit for b in cls.browsers] + [cls.stop_box, cls.receiver.kill, cls.receiver.stdout.close,
                                                  cls.udp.close, cls.rtmp.close]
        for stop in stops:
            try:
                stop()
            except Exception:  # one failed stop must not keep the others from running
                pass
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def start_receiver(cls):
        cls.receiver = subprocess.Popen([os.path.join(cls.build, "tests/webrtc/whip_receiver"), str(cls.whip_port)],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        cls.received = [0]
        def read(proc, counts):
            for line in proc.stdout:
                m = re.search(r"frames=(\d+)", line)
                if m:
                    counts[0] = int(m.group(1))
        threading.Thread(target=read, args=(cls.receiver, cls.received), daemon=True).start()

    @classmethod
    def start_box(cls):
        env = dict(os.environ, ENCODE_ROOT=cls.root, ENCODE_VIDEO_SOURCE="testsrc", ENCODE_AUDIO_SOURCE="tone",
                   ENCODE_PORT_OFFSET=str(free_port() % 20000 + 10000), BOX_RESTART_PAUSE="1")
        cls.box_log = open(os.path.join(cls.dir, "box.out"), "w")
        cls.box = subprocess.Popen(["bash", os.path.join(ARGS.source, "scripts/box.sh"), "--build", cls.build,
                                    "--port", str(cls.web_port), "--https-port", str(cls.https_port)], env=env,
                                   stdout=cls.box_log, stderr=subprocess.STDOUT, start_new_session=True)
        wait_for("the encoder's first datagrams", lambda: cls.udp.longest_pause() < 1, 60)
        wait_for("the encoder's RTMP", lambda: cls.rtmp.longest_pause(0) < 1, 30)

    @classmethod
    def stop_box(cls):
        cls.box.send_signal(signal.SIGTERM)
        cls.box.wait(30)
        cls.box_log.close()

    @classmethod
    def browser(cls):
        """A Chromium of its own (its own profile directory), logged in through the login page."""
        profile = os.path.join(cls.dir, "chromium-%d" % len(cls.browsers))
        d = chromium(profile)
        d.set_script_timeout(30)
        cls.browsers.append(d)
        d.get(cls.base + "/login.html")
        d.find_element(By.ID, "password").send_keys(browser_test.FACTORY[1])
        d.find_element(By.NAME, "login_submit").click()
        wait_for("the main page after the login", lambda: d.current_url == cls.base + "/", 20)
        d.profile = profile
        return d

    def status(self):
        import json
        with open(os.path.join(self.root, "tmp/webrtc.status")) as f:
            return json.load(f)

    def viewers(self):
        try:
            return len(self.status().get("viewers", []))
        except (OSError, ValueError):
            return -1

    def counts(self, d):
        return d.execute_async_script(COUNTS)

    # --- The cases, in order: each leaves the box as the next expects it ---

    def test_1_dashboard_plays_the_main_stream_with_its_sound(self):
        d = self.driver
        js = d.execute_script
        wait_for("the live picture", lambda: js("return document.getElementById('dash-live').videoWidth") > 0, 20)
        self.assertEqual(js("return document.getElementById('dash-live').videoWidth"), 1280)
        frames = lambda: js("return document.getElementById('dash-live').getVideoPlaybackQuality().totalVideoFrames")
        first = frames()
        time.sleep(5)
        self.assertGreater(frames() - first, 100, "the dashboard's frames did not advance for 5 s")
        stats = d.execute_async_script("""const done = arguments[0];
            document.getElementById('dash-live').whepPeer.getStats().then(s => { let a = 0;
              s.forEach(x => { if (x.type === 'inbound-rtp' && x.kind === 'audio') a = x.packetsReceived; });
              done(a); });""")
        self.assertGreater(stats, 100, "no audio packets")
        line = wait_for("the latency figure",
                        lambda: re.search(r"latency (\d+) ms", js("return document.getElementById('dash-latency').textContent")), 10)
        print("dashboard latency, capture to display: %s ms" % line.group(1), file=sys.stderr)
        self.assertLess(int(line.group(1)), 1000)

    def test_2_four_viewers_a_fifth_refused_bad_requests_refused(self):
        d = self.driver
        d.get(self.base + "/timing.html")  # the dashboard's viewer ends with its page
        wait_for("the dashboard's viewer gone", lambda: self.viewers() == 0, 15)
        since, rtmp_since = time.time(), time.monotonic()
        self.assertEqual(d.execute_async_script(CLIENT, 4, ["video", "audio"]), [201] * 4)
        first = d.execute_script("return window.viewers.map(v => Math.round(v.firstFrameMs))")
        print("first picture after the answer: %s ms" % first, file=sys.stderr)
        self.assertLess(max(first), 1500)
        wait_for("pictures on all four", lambda: all(f > 30 for f, _ in self.counts(d)) and len(self.counts(d)) == 4, 20)
        self.assertTrue(all(a > 0 for _, a in self.counts(d)))
        self.assertEqual(d.execute_async_script(CLIENT, 1, ["video", "audio"]), [503])
        self.assertEqual(d.execute_script("return window.viewers[4].line"), "refused: all 4 viewers are in use")

        location = d.execute_script("return window.viewers[0].location")
        req = lambda *a: d.execute_async_script(REQUEST, *a)
        self.assertEqual(req(location, "DELETE", "text/plain", "")[0], 200)
        d.execute_script("window.viewers[0].closed = true; window.viewers[0].pc.close();")
        wait_for("the place freed", lambda: self.viewers() == 3, 5)
        audio_only = d.execute_async_script(CLIENT, 1, ["audio"])
        cases = [
            (location, "DELETE", "text/plain", "", 404, "refused: no such session"),
            ("/whep/main/0123456789abcdef", "DELETE", "text/plain", "", 404, "refused: no such session"),
            ("/whep/main", "POST", "application/sdp", "hello", 400, "refused: the body is no SDP offer"),
            ("/whep/main", "POST", "application/sdp", "v=0\r\n" + "a=x\r\n" * 15000, 413, "refused:"),
            ("/whep/main", "POST", "text/plain", "v=0\r\n", 415, "refused:"),
            ("/whep/main", "PATCH", "application/trickle-ice-sdpfrag", "a=candidate", 405, "refused:"),
        ]
        for path, method, ctype, body, code, line in cases:
            got, text = req(path, method, ctype, body)
            self.assertEqual(got, code, (method, path, text))
            self.assertTrue(text.startswith(line) and text.count("\n") <= 1, (method, path, text))
        self.assertEqual(audio_only, [400])
        self.assertEqual(d.execute_script("return window.viewers[5].line"), "refused: the offer has no video")
        # The second stream (on in this store) to a viewer of its own, which then leaves.
        self.assertEqual(d.execute_async_script(CLIENT, 1, ["video"], "/whep/second"), [201])
        second = lambda: d.execute_async_script(
            """const done = arguments[0]; window.viewers[6].pc.getStats().then(s => { let f = [0, 0];
               s.forEach(x => { if (x.type === 'inbound-rtp') f = [x.framesDecoded, x.frameWidth]; }); done(f); });""")
        wait_for("the second stream's pictures", lambda: second()[0] > 30, 20)
        self.assertEqual(second()[1], 640)
        self.assertEqual(req(d.execute_script("return window.viewers[6].location"), "DELETE", "text/plain", "")[0], 200)
        d.execute_script("window.viewers[6].closed = true; window.viewers[6].pc.close();")
        before = self.counts(d)
        time.sleep(2)
        self.assertTrue(all(b[0] > a[0] + 30 for a, b in zip(before, self.counts(d))),
                        "a bad request disturbed the viewers")
        pause, rtmp = self.udp.longest_pause(since), self.rtmp.longest_pause(rtmp_since)
        print("longest pauses with four viewers and the bad requests: UDP %.3f s, RTMP %.3f s" % (pause, rtmp),
              file=sys.stderr)
        self.assertLess(pause, 0.2)
        self.assertLess(rtmp, 0.2)

    def test_3_a_viewer_killed_without_delete_is_freed(self):
        other = self.browser()  # its dashboard is the fourth viewer
        wait_for("its dashboard's pictures", lambda: other.execute_script(
            "return document.getElementById('dash-live').getVideoPlaybackQuality().totalVideoFrames") > 10, 20)
        # The status is written once a second, so it may not list the new viewer yet.
        wait_for("four viewers in the status", lambda: self.viewers() == 4, 5)
        killed = time.monotonic()
        subprocess.run(["pkill", "-KILL", "-f", "user-data-dir=" + other.profile])
        wait_for("the killed viewer freed", lambda: self.viewers() == 3, 15)
        freed = time.monotonic() - killed
        print("a killed viewer was freed after %.1f s" % freed, file=sys.stderr)
        self.assertLess(freed, 11)
        self.browsers.remove(other)

    def test_4_whip_out_reaches_the_receiver_and_comes_back_after_its_restart(self):
        wait_for("pictures at the WHIP receiver", lambda: self.received[0] > 30, 30)
        self.assertEqual(self.status()["whip"]["state"], "ok")
        self.receiver.kill()
        self.receiver.wait()
        self.receiver.stdout.close()
        restarted = time.monotonic()
        self.start_receiver()
        wait_for("pictures at the restarted receiver", lambda: self.received[0] > 30, 40)
        back = time.monotonic() - restarted
        print("WHIP back %.1f s after the receiver's restart" % back, file=sys.stderr)
        self.assertGreaterEqual(self.status()["whip"]["reconnects"], 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    ARGS, rest = parser.parse_known_args()
    browser_test.ARGS = ARGS
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
