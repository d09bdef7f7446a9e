#!/usr/bin/python3
"""The local HLS's latency in Chromium with hls.js, on loopback at the box's defaults (720p30 from the
virtual capture, whose picture carries its capture time as a row of blocks) with WebRTC off, so that
the dashboard plays HLS: how far behind its capture the first frame hls.js shows is (playback start),
and how far behind live the picture then stays while playing (median and 95th percentile over
BENCH_SECONDS, 20). Printed beside the WebRTC figure of bench/webrtc_latency.py, which make bench runs
before it.

Run: bench/hls_latency.py --source DIR --build DIR (make bench runs it)."""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "integration", "web"))
from browser_test import FACTORY, chromium, free_port, wait_for  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

# Every frame the video element shows: how old its capture mark is at its display.
HOOK = """
window.benchFrames = [];
const v = document.getElementById('dash-live');
const c = document.createElement('canvas');
const cb = (now, md) => {
  const bs = window.encoderWhep.markBlock(md.width), w = 32 + 36 * bs, h = 32 + 2 * bs;
  c.width = w; c.height = h;
  const cx = c.getContext('2d', {willReadFrequently: true});
  cx.drawImage(v, 0, 0, w, h, 0, 0, w, h);
  const mark = window.encoderWhep.captureMark(cx.getImageData(0, 0, w, h).data, w, bs);
  if (mark !== null) {
    window.benchFrames.push(window.encoderWhep.sinceMark(mark, performance.timeOrigin + md.expectedDisplayTime));
  }
  v.requestVideoFrameCallback(cb);
};
v.requestVideoFrameCallback(cb);
"""


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def run_box(args, work):
    root = os.path.join(work, "root")
    subprocess.run(["bash", os.path.join(args.source, "scripts/mkroot.sh"), root, args.build], check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(root, "mnt/webrtc.ini"), "w") as f:
        f.write("enable=0\n")
    with open(os.path.join(root, "mnt/hls.ini"), "w") as f:
        f.write("enable=1\nsegment=1\nsegments=6\n")
    web, https = free_port(), free_port()
    env = dict(os.environ, ENCODE_ROOT=root, ENCODE_VIDEO_SOURCE="testsrc", ENCODE_AUDIO_SOURCE="tone",
               ENCODE_PORT_OFFSET=str(free_port() % 20000 + 10000))
    log = open(os.path.join(work, "box.out"), "w")
    box = subprocess.Popen(["bash", os.path.join(args.source, "scripts/box.sh"), "--build", args.build, "--port",
                            str(web), "--https-port", str(https)], env=env, stdout=log, stderr=subprocess.STDOUT,
                           start_new_session=True)
    return root, https, box, log


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    seconds = int(os.environ.get("BENCH_SECONDS", "20"))
    work = tempfile.mkdtemp(prefix="hls-bench-")
    os.chmod(work, 0o755)
    root, https, box, log = run_box(args, work)
    driver = None
    try:
        base = "https://127.0.0.1:%d" % https
        wait_for("the box's playlists", lambda: os.path.exists(os.path.join(root, "dev/shm/hls/index.m3u8")), 60)
        driver = chromium(os.path.join(work, "chromium"))
        driver.get(base + "/login.html")
        wait_for("the login page", lambda: driver.find_elements(By.ID, "password"), 20)
        driver.find_element(By.ID, "password").send_keys(FACTORY[1])
        driver.find_element(By.NAME, "login_submit").click()
        wait_for("the main page", lambda: driver.execute_script("return !!document.getElementById('dash-live')"), 20)
        driver.execute_script(HOOK)
        wait_for("the first frame hls.js shows", lambda: driver.execute_script("return window.benchFrames.length"), 30)
        time.sleep(seconds)
        frames = driver.execute_script("return window.benchFrames")
    finally:
        if driver is not None:
            driver.quit()
        box.send_signal(signal.SIGTERM)
        box.wait(30)
        log.close()
        shutil.rmtree(work, ignore_errors=True)
    if len(frames) < seconds * 10:
        print("hls latency: only %d frames carried a readable capture time" % len(frames))
        return 1
    playing = frames[len(frames) // 4:]  # once hls.js has settled at its distance from the live edge
    print("hls latency, hls.js in Chromium, 720p30 on loopback, 1 s segments, %d frames in %d s: playback starts "
          "%.2f s behind the capture, then %.2f s behind live (median; 95th percentile %.2f s)"
          % (len(frames), seconds, frames[0] / 1000, statistics.median(playing) / 1000,
             percentile(playing, 95) / 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
