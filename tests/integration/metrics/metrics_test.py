#!/usr/bin/python3
"""/metrics end to end: scripts/box.sh in a temporary root (its transport stream to a UDP socket of
this test), the live exposition fetched over the box's HTTPS with the login and passed through
promtool's check, then a real Prometheus on loopback scraping the box every second for 30 s with the
login over the box's own certificate: every series the box exposes is in Prometheus with samples
across the span, no counter ever goes back, and those of a running encoder go up.

Run by ctest: metrics_test.py --source DIR --build DIR."""

import argparse
import base64
import ctypes
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import browser_test  # noqa: E402
from browser_test import free_port, store, wait_for  # noqa: E402

ARGS = None
SCRAPE_S = 30
# Counters that a running encoder with its UDP output moves every second.
MOVING = ['encoder_cpu_seconds_total', 'encoder_stream_frames_captured_total{stream="main"}',
          'encoder_stream_frames_coded_total{stream="main"}', 'encoder_stream_bytes_total{stream="main"}',
          'encoder_audio_frames_coded_total', 'encoder_output_bytes_total{kind="udp",name="UDP 1"}',
          'encoder_output_packets_total{kind="udp",name="UDP 1"}']


def exposition(text):
    """({series as written: value}, {family: type}) of a Prometheus text answer."""
    series, types = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            types[name] = kind
        elif line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            series[key] = float(value)
    return series, types


def series_key(metric):
    """A series of Prometheus's answer as the box named it: (name, sorted labels), without the labels
    Prometheus adds."""
    return metric["__name__"], tuple(sorted((k, v) for k, v in metric.items()
                                            if k not in ("__name__", "job", "instance")))


def die_with_parent():
    """Run in the child: the kernel kills it when this test's process ends, however that ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def parse_key(key):
    """name{a="x",b="y"} -> (name, {a: x, b: y}), the label values unescaped."""
    if "{" not in key:
        return key, {}
    name, rest = key.split("{", 1)
    labels, i = {}, 0
    body = rest[:-1]
    while i < len(body):
        eq = body.index("=", i)
        label = body[i:eq]
        i, value = eq + 2, ""
        while body[i] != '"':
            if body[i] == "\\":
                value += {"n": "\n", "\\": "\\", '"': '"'}[body[i + 1]]
                i += 2
            else:
                value += body[i]
                i += 1
        labels[label] = value
        i += 2  # the closing quote and the comma
    return name, labels


class Metrics(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="metrics-test-")
        os.chmod(cls.dir, 0o755)
        cls.root = os.path.join(cls.dir, "root")
        cls.build = ARGS.build
        subprocess.run(["bash", os.path.join(ARGS.source, "scripts/mkroot.sh"), cls.root, cls.build], check=True,
                       stdout=subprocess.DEVNULL)
        # A socket that takes the datagrams and is never read: the kernel drops what does not fit.
        cls.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.udp.bind(("127.0.0.1", 0))
        store(cls.root, cls.build, {"namez_submit": "Set", "tz": "127.0.0.1", "namec_submit": "Set",
                                    "tc": str(cls.udp.getsockname()[1])})
        with open(os.path.join(cls.root, "mnt", "webrtc.ini"), "w") as f:
            f.write("enable=0\n")
        cls.web_port, cls.https_port = free_port(), free_port()
        cls.base = "https://127.0.0.1:%d" % cls.https_port
        cls.tls = ssl._create_unverified_context()
        cls.auth = "Basic " + base64.b64encode(("%s:%s" % browser_test.FACTORY).encode()).decode()
        env = dict(os.environ, ENCODE_ROOT=cls.root, ENCODE_VIDEO_SOURCE="testsrc", ENCODE_AUDIO_SOURCE="tone",
                   ENCODE_PORT_OFFSET=str(free_port() % 20000 + 10000), BOX_RESTART_PAUSE="1")
        cls.box_log = open(os.path.join(cls.dir, "box.out"), "w")
        cls.box = subprocess.Popen(["bash", os.path.join(ARGS.source, "scripts/box.sh"), "--build", cls.build,
                                    "--port", str(cls.web_port), "--https-port", str(cls.https_port)], env=env,
                                   stdout=cls.box_log, stderr=subprocess.STDOUT, start_new_session=True)
        wait_for("encoder_up 1 at /metrics", lambda: "\nencoder_up 1\n" in cls.metrics(), 60)

    @classmethod
    def tearDownClass(cls):
        for stop in (cls.stop_box, cls.udp.close):
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
    def metrics(cls, headers=None):
        """The answer's text, or "" while the web server does not answer yet."""
        req = urllib.request.Request(cls.base + "/metrics", headers=headers or {"Authorization": cls.auth})
        try:
            with urllib.request.urlopen(req, timeout=10, context=cls.tls) as r:
                cls.content_type = r.headers["Content-Type"]
                return r.read().decode()
        except (urllib.error.URLError, ConnectionError):
            return ""

    def test_1_the_live_exposition_passes_promtool(self):
        text = self.metrics()
        self.assertEqual(self.content_type, "text/plain; version=0.0.4; charset=utf-8")
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True,
                               timeout=60)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""), text)
        series, types = exposition(text)
        for key in MOVING + ['encoder_up', 'encoder_output_state{kind="udp",name="UDP 1",state="ok"}']:
            self.assertIn(key, series, text)
        self.assertEqual(series["encoder_up"], 1)
        self.assertEqual(types["encoder_cpu_seconds_total"], "counter")
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(self.base + "/metrics", timeout=10, context=self.tls)
        self.assertEqual(refused.exception.code, 401)

    def test_2_prometheus_scrapes_every_series(self):
        prom = Prometheus(self.dir, self.https_port)
        self.addCleanup(prom.stop)
        wait_for("Prometheus ready", prom.ready, 60)
        wait_for("a first scrape of the box", lambda: prom.query('up{job="box"} == 1'), 60)
        began = time.time()
        # The span itself is what is judged: Prometheus scrapes on its own clock.
        while time.time() - began < SCRAPE_S:
            self.assertIsNone(prom.process.poll(), prom.log())
            time.sleep(1)
        ended = time.time()
        series, types = exposition(self.metrics())
        window = "[%ds]" % (ended - began + 1)
        samples = {}
        for r in prom.query('{job="box"}' + window, ended):
            samples[series_key(r["metric"])] = [(float(t), float(v)) for t, v in r["values"]]
        missing, thin, back, still = [], [], [], []
        for key in series:
            name, labels = parse_key(key)
            got = samples.get((name, tuple(sorted(labels.items()))))
            if got is None:
                missing.append(key)
                continue
            # Across the span: about one sample a second, from its start to its end (a loaded machine
            # may delay a scrape or two, never a third of them).
            if len(got) < SCRAPE_S * 2 // 3 or got[0][0] > began + 5 or got[-1][0] < ended - 5:
                thin.append((key, len(got), got[0][0] - began, ended - got[-1][0]))
            if types.get(name) == "counter" and any(b[1] < a[1] for a, b in zip(got, got[1:])):
                back.append(key)
            if key in MOVING and not got[-1][1] > got[0][1]:
                still.append(key)
        self.assertEqual(missing, [])
        self.assertEqual(thin, [])
        self.assertEqual(back, [])
        self.assertEqual(still, [])
        self.assertGreater(len(series), 30)
        # Every scrape of the span succeeded, each with the whole exposition.
        self.assertEqual(prom.query('min_over_time(up{job="box"}%s)' % window, ended)[0]["value"][1], "1")
        print("\nPrometheus holds %d series of the box, %d samples over %.0f s" %
              (len(samples), sum(len(v) for v in samples.values()), ended - began))


class Prometheus:
    """Debian's prometheus on a free loopback port with its own data directory, scraping the box's
    /metrics over HTTPS with the login every second."""

    def __init__(self, work, box_port):
        self.port = free_port()
        self.dir = os.path.join(work, "prometheus")
        os.makedirs(os.path.join(self.dir, "data"))
        conf = os.path.join(self.dir, "prometheus.yml")
        with open(conf, "w") as f:
            json.dump({"global": {"scrape_interval": "1s", "scrape_timeout": "1s", "evaluation_interval": "1s"},
                       "scrape_configs": [{"job_name": "box", "scheme": "https", "metrics_path": "/metrics",
                                           "basic_auth": {"username": browser_test.FACTORY[0],
                                                          "password": browser_test.FACTORY[1]},
                                           # The box's own certificate is self-signed for its name.
                                           "tls_config": {"insecure_skip_verify": True},
                                           "static_configs": [{"targets": ["127.0.0.1:%d" % box_port]}]}]}, f)
        self.log_file = open(os.path.join(self.dir, "prometheus.log"), "w")
        self.process = subprocess.Popen(["prometheus", "--config.file=" + conf,
                                         "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
                                         "--web.listen-address=127.0.0.1:%d" % self.port],
                                        stdout=self.log_file, stderr=subprocess.STDOUT,
                                        preexec_fn=die_with_parent)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(30)
        self.log_file.close()

    def log(self):
        with open(os.path.join(self.dir, "prometheus.log"), errors="replace") as f:
            return f.read()[-3000:]

    def get(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=10) as r:
            return r.read().decode()

    def ready(self):
        try:
            return self.get("/-/ready") != ""
        except (urllib.error.URLError, ConnectionError):
            return False

    def query(self, expr, at=None):
        """The result list of an instant query."""
        params = {"query": expr}
        if at is not None:
            params["time"] = "%.3f" % at
        answer = json.loads(self.get("/api/v1/query?" + urllib.parse.urlencode(params)))
        assert answer["status"] == "success", answer
        return answer["data"]["result"]


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
