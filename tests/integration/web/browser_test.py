#!/usr/bin/python3
"""The operator's pages in a real browser (Debian's Chromium through its driver, headless) against the
box as it runs itself: scripts/box.sh in a temporary root, with lighttpd, the CGIs, rtsp_server and
encode on a noisy picture, its transport stream to a UDP socket of this test, the pages over HTTPS
with the box's own certificate. What a person sees: the login page, the stored values in the fields, a
dashboard that moves, a bit rate changed and the box restarted with it, the factory-password notice
and a new login after the change, what another site tries: a form that posts to the box and a
frame around the settings page, both refused, and an API token made, used and revoked.

Run by ctest: browser_test.py --source DIR --build DIR."""

import argparse
import base64
import glob
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ARGS = None
FACTORY = ("admin", "changeme")
NEW_PASSWORD = "Br0wser-test"
VIDEO_PID = 0x64


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, seconds):
    until = time.monotonic() + seconds
    last = None
    while time.monotonic() < until:
        last = predicate()
        if last:
            return last
        time.sleep(0.2)
    raise AssertionError("%s: not within %d s (last: %r)" % (what, seconds, last))


def wait_for_page(driver, what, url, seconds):
    """The browser at `url`; where it is instead when it does not get there."""
    try:
        wait_for(what, lambda: driver.current_url == url, seconds)
    except AssertionError as e:
        raise AssertionError("%s; the browser is at %s showing %r" % (e, driver.current_url,
                                                                  driver.find_element(By.TAG_NAME, "body").text[:300]))


def chromium(profile):
    """Debian's Chromium, headless, with a profile directory of its own."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-first-run", "--window-size=1280,2000", "--user-data-dir=" + profile):
        options.add_argument(flag)
    # The box's certificate is its own: an operator accepts it once, as here.
    options.accept_insecure_certs = True
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def store(root, build, fields, program="settings"):
    """One press of a settings page's buttons through its program itself, as make demo does."""
    body = urllib.parse.urlencode(fields).encode()
    login = base64.b64encode(("%s:%s" % FACTORY).encode()).decode()
    env = {"PATH": os.environ["PATH"], "ENCODE_ROOT": root, "REQUEST_METHOD": "POST",
           "CONTENT_TYPE": "application/x-www-form-urlencoded", "CONTENT_LENGTH": str(len(body)),
           "HTTP_HOST": "localhost", "REMOTE_ADDR": "127.0.0.1", "HTTP_AUTHORIZATION": "Basic " + login}
    subprocess.run([os.path.join(build, "web/%s/%s_cgi" % (program, program))], input=body, env=env, check=True,
                   stdout=subprocess.DEVNULL)


class UdpMeter:
    """Counts the video PID's TS payload bytes arriving on a loopback port, with their times."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.arrivals = []  # (time, video payload bytes)
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            video = 0
            for at in range(0, len(data) - 187, 188):
                if data[at] == 0x47 and ((data[at + 1] & 0x1F) << 8 | data[at + 2]) == VIDEO_PID:
                    video += 184
            with self.lock:
                self.arrivals.append((time.monotonic(), video))

    def kbps(self, seconds):
        """The video's rate over the last `seconds`, in kbit/s."""
        now = time.monotonic()
        with self.lock:
            total = sum(b for t, b in self.arrivals if t >= now - seconds)
        return total * 8 / 1000 / seconds

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class Pages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="browser-test-")
        os.chmod(cls.dir, 0o755)  # the web server's user reaches the root below it
        cls.root = os.path.join(cls.dir, "root")
        cls.build = ARGS.build
        subprocess.run(["bash", os.path.join(ARGS.source, "scripts/mkroot.sh"), cls.root, cls.build], check=True,
                       stdout=subprocess.DEVNULL)
        # Camera-like noise, so that the encoder fills the bit rate it is given.
        cls.noisy = os.path.join(cls.dir, "noisy.nv12")
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
                        "-vf", "noise=alls=20:allf=t+u", "-frames:v", "30", "-pix_fmt", "nv12", "-f", "rawvideo",
                        cls.noisy], check=True)
        cls.udp = UdpMeter()
        cls.web_port = free_port()
        cls.https_port = free_port()
        cls.base = "https://127.0.0.1:%d" % cls.https_port
        cls.store({"namez_submit": "Set", "tz": "127.0.0.1", "namec_submit": "Set", "tc": str(cls.udp.port)})
        with open(os.path.join(cls.root, "mnt/hls.ini"), "w") as f:  # the live picture's other way
            f.write("enable=1\n")
        cls.start_box()
        cls.start_foreign_site()
        cls.driver = cls.start_browser()
        cls.password = FACTORY[1]
        cls.login(cls.password)

    @classmethod
    def tearDownClass(cls):
        for stop in (lambda: cls.driver.quit(), cls.stop_box, lambda: cls.foreign.terminate(), cls.udp.close):
            try:
                stop()
            except Exception:  # one failed stop must not keep the others from running
                pass
        shutil.rmtree(cls.dir, ignore_errors=True)

    # --- The box and its peers ---

    @classmethod
    def store(cls, fields):
        store(cls.root, cls.build, fields)

    @classmethod
    def start_box(cls):
        env = dict(os.environ, ENCODE_ROOT=cls.root, ENCODE_VIDEO_SOURCE="file:" + cls.noisy,
                   ENCODE_AUDIO_SOURCE="tone", ENCODE_PORT_OFFSET=str(free_port() % 20000 + 10000),
                   BOX_RESTART_PAUSE="1")
        cls.box_log = open(os.path.join(cls.dir, "box.out"), "w")
        cls.box = subprocess.Popen(["bash", os.path.join(ARGS.source, "scripts/box.sh"), "--build", cls.build,
                                    "--port", str(cls.web_port), "--https-port", str(cls.https_port)], env=env,
                                   stdout=cls.box_log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        wait_for("the encoder's first datagrams", lambda: cls.udp.kbps(1) > 0, 60)

    @classmethod
    def stop_box(cls):
        cls.box.send_signal(signal.SIGTERM)
        cls.box.wait(30)
        cls.box_log.close()

    @classmethod
    def start_foreign_site(cls):
        """Another site on another port: a page that posts a changed bit rate to the box when opened, and
        one that shows the box's settings page in a frame."""
        site = os.path.join(cls.dir, "foreign")
        os.makedirs(site)
        with open(os.path.join(site, "post.html"), "w") as f:
            f.write('<form id="f" method="post" action="%s/cgi-bin/settings.cgi">'
                    '<input name="bitrate" value="123456"><input name="name3_submit" value="Set"></form>'
                    '<script>document.getElementById("f").submit();</script>' % cls.base)
        with open(os.path.join(site, "frame.html"), "w") as f:
            f.write('<p>Win a prize: click below</p><iframe id="box" src="%s/" width="1200" height="900"></iframe>'
                    % cls.base)
        cls.foreign_port = free_port()
        conf = os.path.join(cls.dir, "foreign.conf")
        with open(conf, "w") as f:
            f.write('server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %d\n'
                    'mimetype.assign = (".html" => "text/html")\n' % (site, cls.foreign_port))
        cls.foreign = subprocess.Popen(["lighttpd", "-D", "-f", conf])

    @classmethod
    def start_browser(cls):
        return chromium(os.path.join(cls.dir, "chromium"))

    @classmethod
    def login(cls, password):
        """The login page, as a person uses it: the browser holds the session from then on."""
        cls.driver.get(cls.base + "/login.html")
        cls.driver.find_element(By.ID, "password").send_keys(password)
        cls.driver.find_element(By.NAME, "login_submit").click()
        wait_for_page(cls.driver, "the main page after the login", cls.base + "/", 20)

    @classmethod
    def fetch(cls, url):
        """An answer without a login, taking the box's own certificate; its status and final address."""
        context = ssl.create_default_context(cafile=os.path.join(cls.root, "mnt/web/cert.pem"))
        opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context))
        try:
            with opener.open(url, timeout=10) as r:
                return r.status, r.geturl()
        except urllib.error.HTTPError as refused:
            return refused.code, refused.geturl()

    # --- Helpers ---

    def script(self):
        with open(os.path.join(self.root, "mnt/autorun.sh")) as f:
            return f.read()

    def stored(self, key):
        return re.search(r"^%s=(.*)$" % key, self.script(), re.M).group(1)

    def open_main_page(self):
        """The main page with its fields filled, through the login page when the session has ended."""
        def shown():
            if self.driver.current_url == self.base + "/login.html":
                return "login"
            try:
                fields = self.driver.find_elements(By.ID, "bitrate")
                return "filled" if fields and fields[0].get_attribute("value") != "" else None
            except StaleElementReferenceException:
                return None
        self.driver.get(self.base + "/")
        if wait_for("the fields filled, or the login page", shown, 20) == "login":
            self.login(self.password)
            wait_for("the fields filled", lambda: shown() == "filled", 20)

    def value(self, field_id):
        return self.driver.find_element(By.ID, field_id).get_attribute("value")

    def js(self, code, *args):
        return self.driver.execute_script(code, *args)

    def udp_row(self):
        return self.js("var li = document.querySelector('#dash-outputs li[data-kind=udp]');"
                       "return li ? [li.dataset.state, li.textContent] : null;")

    # --- The cases, in the order a person meets them ---

    def test_1_the_pages_need_the_login(self):
        self.assertEqual(self.fetch(self.base + "/"), (200, self.base + "/login.html"))
        self.assertEqual(self.fetch("http://127.0.0.1:%d/timing.html" % self.web_port), (200, self.base + "/login.html"))
        for path in ("/cgi-bin/status.cgi", "/cgi-bin/settings.cgi?get=1"):
            self.assertEqual(self.fetch(self.base + path)[0], 401, path)
        # A page's scripts hold no setting and come without the login: a page whose session ends while it
        # loads still runs them, and they take the browser to the login page.
        for path in ("/session.js", "/values.js", "/style.css"):
            self.assertEqual(self.fetch(self.base + path), (200, self.base + path))

    def test_2_fields_show_what_is_stored(self):
        with open(os.path.join(self.root, "mnt/rtmpx.ini"), "w") as f:
            f.write("\n'rtmp://10.0.0.7/live/k?a=1&b=2'\n")
        self.open_main_page()
        # A stream key stays in the box: the field shows the address, the page whether a key is set.
        self.assertEqual([self.value("rtmpx%d" % n) for n in (2, 3, 4)], ["", "rtmp://10.0.0.7/live/\u2026", ""])
        self.assertNotIn("k?a=1&b=2", self.driver.page_source)
        self.assertEqual(self.value("bitrate"), self.stored("bitrate"))
        self.assertEqual(self.value("ip"), self.stored("ip"))
        self.assertEqual(self.value("rtmpurl"), self.stored("url").strip("'").rsplit("/", 1)[0] + "/\u2026")
        self.assertEqual(self.value("tc"), str(self.udp.port))

    def test_3_the_dashboard_moves(self):
        self.open_main_page()
        # The live picture plays (the preview picture is only its fallback).
        frames = lambda: self.js("var v = document.getElementById('dash-live');"
                                 "return v.videoWidth ? v.getVideoPlaybackQuality().totalVideoFrames : 0;")
        first = wait_for("the live picture", frames, 20)
        wait_for("the live picture moving", lambda: frames() > first + 10, 20)
        state, text = wait_for("the UDP row", self.udp_row, 20)
        self.assertEqual(state, "ok")
        wait_for("the UDP row's counters moving", lambda: self.udp_row()[1] != text, 10)
        self.assertTrue(self.driver.find_element(By.ID, "dash-offline").get_attribute("hidden"))
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#dash-levels .level")), 2)

    def test_4_a_changed_bit_rate_runs_after_apply_and_restart(self):
        self.open_main_page()
        field = self.driver.find_element(By.ID, "bitrate")
        field.clear()
        field.send_keys("2000000")
        field.find_element(By.XPATH, "./ancestor::form//button[@name='name3_submit']").click()
        wait_for("the start script rewritten", lambda: self.stored("bitrate") == "2000000", 10)
        self.driver.find_element(By.ID, "apply-restart").click()
        WebDriverWait(self.driver, 5).until(lambda d: d.switch_to.alert).accept()
        wait_for("the page seeing the box stream again", lambda: "restart-done" in self.js(
            "return document.getElementById('restart-progress').className;"), 90)
        self.assertEqual(self.value("bitrate"), "2000000")
        time.sleep(5)  # a whole measuring window of the new encoder
        self.assertAlmostEqual(self.udp.kbps(5), 2000, delta=400)

    def test_5_the_factory_password_notice_goes_with_the_factory_password(self):
        self.open_main_page()
        notice = self.driver.find_element(By.ID, "password-notice")
        wait_for("the notice", lambda: "factory password" in notice.text, 10)
        for name, text in (("password_current", FACTORY[1]), ("password_new", NEW_PASSWORD),
                           ("password_again", NEW_PASSWORD)):
            notice.find_element(By.NAME, name).send_keys(text)
        notice.find_element(By.NAME, "password_submit").click()

        # The session of the old password ends with it: the answer shows, until the page's next question
        # to the box (the dashboard's, every second) sends the browser to the login page.
        def changed():
            if self.driver.current_url == self.base + "/login.html":
                return "the login page"
            try:
                return "Password changed" in notice.text
            except StaleElementReferenceException:
                return False
        wait_for("the change confirmed", changed, 10)
        # A page whose own question to the box meets the ended session (the timing page: not the main
        # page, whose live picture twice failed to leave for the login page within 20 s in loaded
        # fresh-clone runs and never when run alone).
        self.driver.get(self.base + "/timing.html")
        wait_for_page(self.driver, "the login page", self.base + "/login.html", 20)
        Pages.password = NEW_PASSWORD
        self.open_main_page()
        time.sleep(1)  # the notice's own question to the box has been answered
        self.assertNotIn("factory password", self.driver.find_element(By.ID, "password-notice").text)

    def test_6_a_form_of_another_site_changes_nothing(self):
        before = self.script()
        self.driver.get("http://127.0.0.1:%d/post.html" % self.foreign_port)
        wait_for("the box's answer", lambda: "refused" in self.driver.find_element(By.TAG_NAME, "body").text, 20)
        self.assertIn("refused: the request came from a page of another site; nothing changed",
                      self.driver.find_element(By.TAG_NAME, "body").text)
        self.assertEqual(self.script(), before)

    def test_7_a_frame_of_another_site_shows_no_page_of_the_box(self):
        self.open_main_page()  # logged in: the frame would carry the session
        self.driver.get("http://127.0.0.1:%d/frame.html" % self.foreign_port)
        frame = self.driver.find_element(By.ID, "box")
        wait_for("the frame loaded, or refused", lambda: self.js("return document.readyState;") == "complete", 20)
        self.driver.switch_to.frame(frame)
        try:
            self.assertEqual(self.driver.find_elements(By.ID, "bitrate"), [])
            self.assertTrue(self.js("return location.href;").startswith("chrome-error:"), self.js("return location.href;"))
        finally:
            self.driver.switch_to.default_content()

    def test_8_hls_plays_where_webrtc_is_off(self):
        self.open_main_page()
        frames = lambda: self.js("var v = document.getElementById('dash-live');"
                                 "return v.videoWidth ? v.getVideoPlaybackQuality().totalVideoFrames : 0;")
        wait_for("the live picture by WebRTC", lambda: self.js("return window.encoderLive.playing();"), 30)
        self.driver.find_element(By.ID, "webrtc_enable-male").click()  # not stored: the page's switch only
        wait_for("HLS playing", lambda: self.js("return window.encoderHls.playing();"), 30)
        first = wait_for("an HLS frame", frames, 20)
        wait_for("the HLS picture moving", lambda: frames() > first + 30, 20)
        self.assertFalse(self.js("return window.encoderLive.playing();"))
        self.assertTrue(self.driver.find_element(By.ID, "dash-preview").get_attribute("hidden"))
        self.assertIn("Live picture off in the settings; HLS plays instead (/hls/main.m3u8).",
                      self.driver.find_element(By.ID, "dash-live-state").text)
        wait_for("how far behind live", lambda: "behind live" in self.driver.find_element(By.ID, "dash-latency").text,
                 10)
        # WebRTC back on: it takes the picture back.
        self.driver.find_element(By.ID, "webrtc_enable-female").click()
        wait_for("the live picture by WebRTC again", lambda: self.js("return window.encoderLive.playing();"), 30)
        self.assertFalse(self.js("return window.encoderHls.playing();"))


    def test_9_an_api_token_made_on_the_page_opens_until_it_is_revoked_there(self):
        context = ssl.create_default_context(cafile=os.path.join(self.root, "mnt/web/cert.pem"))

        def bearer(path, secret, fields=None):
            """What software with the token gets: the status and the answer's text."""
            data = urllib.parse.urlencode(fields).encode() if fields else None
            request = urllib.request.Request(self.base + path, data=data,
                                             headers={"Authorization": "Bearer " + secret})
            try:
                with urllib.request.urlopen(request, timeout=10, context=context) as r:
                    return r.status, r.read().decode()
            except urllib.error.HTTPError as refused:
                return refused.code, refused.read().decode()

        def listed():
            return self.js("var f = Array.prototype.find.call(document.querySelectorAll('#token-list form'),"
                           "  function (f) { return f.textContent.indexOf('browser test') === 0; });"
                           "return f ? f.textContent : null;")

        def alert():
            try:
                return self.driver.switch_to.alert
            except Exception:  # none yet
                return None

        self.open_main_page()
        self.driver.find_element(By.ID, "token_name").send_keys("browser test")
        self.driver.find_element(By.CSS_SELECTOR, "#token_scope option[value=read]").click()
        self.driver.find_element(By.NAME, "token_make").click()
        answer = lambda: self.driver.find_element(By.ID, "answer").text
        made_line = re.compile(r"^made token browser test \(read\): (enc_[A-Za-z0-9_-]{43})$", re.M)
        made = wait_for("the new token's secret in the answer", lambda: made_line.search(answer()), 20)
        self.assertIn("shown only now", answer())
        secret = made.group(1)
        self.assertIn("read only", wait_for("the token in the list", listed, 20))
        self.assertNotIn(secret, self.driver.find_element(By.ID, "token-list").text)

        status, text = bearer("/cgi-bin/status.cgi", secret)
        self.assertEqual(status, 200, text)
        self.assertIn('"webrtc":', text)
        self.assertEqual(bearer("/cgi-bin/settings.cgi", secret, {"ttl_submit": "Set", "ttl": "9"}),
                         (403, "refused: this token may only read\n"))
        self.open_main_page()
        self.assertNotIn("last used never", wait_for("the token in the list again", listed, 20))

        self.js("arguments[0].scrollIntoView();", self.driver.find_element(By.ID, "token-list"))
        self.driver.find_element(By.XPATH, "//div[@id='token-list']/form[starts-with(., 'browser test')]"
                                           "//button[@name='token_revoke']").click()
        question = wait_for("the page asking before the revoke", alert, 10)
        self.assertIn("browser test", question.text)
        question.accept()
        wait_for("the token gone from the list", lambda: listed() is None, 20)
        self.assertIn("revoked token browser test", answer())
        self.assertEqual(bearer("/cgi-bin/status.cgi", secret), (401, "refused: log in first\n"))

    def test_9b_a_backup_restored_and_the_factory_settings_from_the_page(self):
        context = ssl.create_default_context(cafile=os.path.join(self.root, "mnt/web/cert.pem"))
        login = base64.b64encode(("admin:" + self.password).encode()).decode()

        def api(method, path, body=None):
            request = urllib.request.Request(self.base + "/api/v1/" + path, method=method,
                                             data=json.dumps(body).encode() if body is not None else None,
                                             headers={"Authorization": "Basic " + login})
            with urllib.request.urlopen(request, timeout=20, context=context) as r:
                return r.read().decode()

        backup = os.path.join(self.dir, "encoder-settings.json")
        with open(backup, "w") as f:
            f.write(api("GET", "backup"))
        kept = self.stored("bitrate")
        api("PATCH", "settings", {"bitrate": 1234000})
        self.assertEqual(self.stored("bitrate"), "1234000")

        self.open_main_page()
        answer = lambda: self.driver.find_element(By.ID, "answer").text
        self.driver.find_element(By.ID, "restore-file").send_keys(backup)
        self.js("arguments[0].scrollIntoView();", self.driver.find_element(By.ID, "restore-button"))
        self.driver.find_element(By.ID, "restore-button").click()
        wait_for("the restore's answer", lambda: "bitrate (at restart)" in answer(), 20)
        self.assertEqual(self.stored("bitrate"), kept)

        self.driver.find_element(By.ID, "factory-button").click()
        question = wait_for("the page asking before the factory reset",
                            lambda: self.driver.switch_to.alert if self.has_alert() else None, 10)
        self.assertIn("factory", question.text)
        question.accept()
        wait_for("the reset's answer", lambda: "the login kept" in answer(), 20)
        self.assertEqual(self.stored("bitrate"), "4000000")
        with open(os.path.join(self.root, "mnt/hls.ini")) as f, open(os.path.join(self.root, "mnt/dfc/hls.ini")) as d:
            self.assertEqual(f.read(), d.read())
        # The login is the one the operator set, not the factory one.
        self.assertIn('"settings"', api("GET", "settings"))

    def has_alert(self):
        try:
            self.driver.switch_to.alert.text
            return True
        except Exception:  # none yet
            return False

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
