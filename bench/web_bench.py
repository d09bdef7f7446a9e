#!/usr/bin/python3
"""The web side's limits, measured on loopback against the server as scripts/web-server.sh runs it over
a temporary root, each beside a peer of the same run:

  guessing   after 10 failed logins, 16 clients guess as fast as they can for 10 s: guesses the
             box looked at per second, beside the refusals it answered per second;
  half-open  2,000 connections from 127.0.0.1 that send nothing: how long the login page takes for
             127.0.0.2, beside the same fetch with no such connections;
  TLS        lighttpd with the box's TLS settings and certificate sending a file over HTTPS, beside
             the same server over plain HTTP: CPU per GB, per new connection, and what that makes per
             HTTP TS client at the factory 4 Mbit/s.

    make bench (after the other benchmarks)      bench/web_bench.py --build DIR [--source DIR]
"""

import argparse
import os
import resource
import shutil
import socket
import ssl
import statistics
import subprocess
import tempfile
import threading
import time
import urllib.parse
import http.client

TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


class Box:
    """The web server of the pages over a factory root."""

    def __init__(self, source, build):
        self.source, self.build = source, build
        self.dir = tempfile.mkdtemp(prefix="web-bench-")
        os.chmod(self.dir, 0o755)  # the web server's user reaches the root below it
        self.root = os.path.join(self.dir, "root")
        subprocess.run(["bash", os.path.join(source, "scripts/mkroot.sh"), self.root, build], check=True,
                       stdout=subprocess.DEVNULL)
        self.port, self.https_port = free_port(), free_port()
        self.env = dict(os.environ, ENCODE_ROOT=self.root)
        self.args = ["--port", str(self.port), "--https-port", str(self.https_port), "--build", build]
        subprocess.run(["bash", os.path.join(source, "scripts/web-server.sh"), "start"] + self.args, env=self.env,
                       check=True, stdout=subprocess.DEVNULL)
        self.context = ssl.create_default_context(cafile=os.path.join(self.root, "mnt/web/cert.pem"))

    def close(self):
        subprocess.run(["bash", os.path.join(self.source, "scripts/web-server.sh"), "stop"] + self.args,
                       env=self.env, stdout=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)

    def request(self, method, path, body=None, source="127.0.0.1"):
        c = http.client.HTTPSConnection("127.0.0.1", self.https_port, context=self.context, timeout=30,
                                        source_address=(source, 0))
        try:
            headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
            c.request(method, path, body=body, headers=headers)
            r = c.getresponse()
            r.read()
            return r.status
        finally:
            c.close()


def guessing(box):
    login = urllib.parse.urlencode({"login_submit": "1", "user": "admin", "password": "wrong"})
    threads = [threading.Thread(target=box.request, args=("POST", "/cgi-bin/login.cgi", login)) for _ in range(10)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    counts = {}
    lock = threading.Lock()
    until = time.monotonic() + 10

    def guess():
        while time.monotonic() < until:
            try:
                status = box.request("POST", "/cgi-bin/login.cgi", login)
            except OSError:
                status = "reset"  # over the guard's 16 connections of one address
            with lock:
                counts[status] = counts.get(status, 0) + 1

    threads = [threading.Thread(target=guess) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    looked, refused = counts.get(401, 0) / 10, counts.get(429, 0) / 10
    print("guessing: %.1f guesses looked at per second (answered 401), %.1f refusals per second (429) from 16 "
          "clients (%d connections over the cap reset); ratio %.0fx"
          % (looked, refused, counts.get("reset", 0), refused / max(looked, 0.1)))


def half_open(box):
    def fetch_times():
        times = []
        for _ in range(5):
            start = time.monotonic()
            status = box.request("GET", "/login.html", source="127.0.0.2")
            times.append(time.monotonic() - start)
            assert status == 200, status
        return statistics.median(times)

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    quiet = fetch_times()
    held = []
    for _ in range(2000):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", box.https_port))
        held.append(s)
    time.sleep(0.5)  # the guard has seen every one of them
    busy = fetch_times()
    for s in held:
        s.close()
    print("half-open: the login page for another address in %.3f s (median of 5) under 2,000 half-open "
          "connections, %.3f s without; ratio %.1fx" % (busy, quiet, busy / quiet))


def tls_cost(box):
    site = os.path.join(box.dir, "site")
    os.makedirs(site)
    size = 256 << 20
    with open(os.path.join(site, "big.ts"), "wb") as f:
        f.write(os.urandom(1 << 20) * (size >> 20))
    results = {}
    for scheme in ("http", "https"):
        port = free_port()
        conf = os.path.join(box.dir, scheme + ".conf")
        with open(conf, "w") as f:
            f.write('server.modules = ("mod_openssl")\nserver.document-root = "%s"\nserver.bind = "127.0.0.1"\n'
                    'server.port = %d\nserver.pid-file = "%s/%s.pid"\n' % (site, port, box.dir, scheme))
            if scheme == "https":
                f.write('ssl.engine = "enable"\nssl.pemfile = "%s/mnt/web/cert.pem"\nssl.privkey = '
                        '"%s/mnt/web/key.pem"\nssl.openssl.ssl-conf-cmd = ("MinProtocol" => "TLSv1.2")\n'
                        % (box.root, box.root))
        server = subprocess.Popen(["lighttpd", "-D", "-f", conf])
        try:
            url = "%s://127.0.0.1:%d/big.ts" % (scheme, port)
            for _ in range(50):
                if subprocess.run(["curl", "-sk", "-o", "/dev/null", url + "x"]).returncode == 0:
                    break
                time.sleep(0.1)
            before = cpu_seconds(server.pid)
            for _ in range(4):
                subprocess.run(["curl", "-sk", "--http1.1", "-o", "/dev/null", url], check=True)
            per_gb = (cpu_seconds(server.pid) - before) / (4 * size / 1e9)
            before = cpu_seconds(server.pid)
            # A new connection and a full handshake for each: no keep-alive, no session resumption.
            one = ["-sk", "--http1.1", "--no-sessionid", "-H", "Connection: close", "-o", "/dev/null",
                   url.replace("big.ts", "none")]
            subprocess.run(["curl"] + one + sum([["--next"] + one for _ in range(199)], []))
            per_connection = (cpu_seconds(server.pid) - before) / 200
            results[scheme] = (per_gb, per_connection)
        finally:
            server.terminate()
            server.wait()
    (plain_gb, plain_conn), (tls_gb, tls_conn) = results["http"], results["https"]
    rate = 4e6 / 8 / 1e9  # GB/s of the factory bit rate
    print("TLS: %.2f s of CPU per GB over HTTPS, %.2f s over HTTP (ratio %.1fx); %.2f ms per new connection "
          "over HTTPS, %.2f ms over HTTP" % (tls_gb, plain_gb, tls_gb / max(plain_gb, 1e-3), tls_conn * 1e3,
                                             plain_conn * 1e3))
    print("TLS: one HTTP TS client at 4 Mbit/s would cost %.3f %% of a core more over HTTPS" %
          ((tls_gb - plain_gb) * rate * 100))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    args = parser.parse_args()
    box = Box(args.source, os.path.abspath(args.build))
    try:
        guessing(box)
        half_open(box)
        tls_cost(box)
    finally:
        box.close()


if __name__ == "__main__":
    main()
