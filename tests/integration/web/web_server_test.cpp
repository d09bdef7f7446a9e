// scripts/web-server.sh starts the web server behind its guard on two free loopback ports over a
// factory root; curl then posts to the CGI programs the way the pages do and fetches the pages
// themselves, over HTTPS with the box's own certificate as the only CA, with the factory login unless
// a test says otherwise.
#include "tests/support/net.h"
#include "tests/support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Standard output of a command line.
std::string run(const std::string &cmd, int *status = nullptr)
{
    return runCommand(cmd, status);
}

// Only fixed test texts are put on these command lines.
class WebServer : public ::testing::Test {
protected:
    TempRoot root{true};
    int port = 0;
    int httpsPort = 0;
    std::string started; // what the start printed
    std::string script = std::string(ENCODE_SOURCE_DIR) + "/scripts/web-server.sh";

    std::string serverArgs() const
    {
        return " --port " + std::to_string(port) + " --https-port " + std::to_string(httpsPort) + " --build '" +
               ENCODE_BINARY_DIR + "' --run-dir '" + root.dir() + "/tmp/web'";
    }
    void SetUp() override
    {
        port = freeLoopbackPort();
        do {
            httpsPort = freeLoopbackPort();
        } while (httpsPort == port);
        ASSERT_NE(port, 0);
        int status = -1;
        started = run("bash '" + script + "' start" + serverArgs() + " 2>&1", &status);
        ASSERT_EQ(status, 0) << started;
    }
    void TearDown() override
    {
        int status = -1;
        std::string out = run("bash '" + script + "' stop" + serverArgs() + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_FALSE(root.exists("/tmp/web/lighttpd.pid"));
    }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(httpsPort); }
    std::string url(const std::string &path) const { return origin() + path; }
    std::string plainUrl(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    // The whole answer with its header lines (curl -i), logged in as `login`; the certificate is
    // verified against the box's own.
    std::string curl(const std::string &args, const std::string &login = "admin:changeme")
    {
        return run("curl -s -i --http1.1 --max-time 30 --cacert '" + root.path("/mnt/web/cert.pem") + "' " +
                   (login.empty() ? "" : "-u '" + login + "' ") + args);
    }
    std::string shellLog() const { return root.exists("/tmp/shell.log") ? root.read("/tmp/shell.log") : ""; }
    // The user id a process of the run directory's pid file runs as.
    uid_t pidUser(const std::string &pidFile) const
    {
        std::ifstream status("/proc/" + root.read(pidFile).substr(0, root.read(pidFile).find('\n')) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Uid:", 0) == 0) {
                return static_cast<uid_t>(std::stoul(line.substr(4)));
            }
        }
        return static_cast<uid_t>(-1);
    }
};

bool hasHeader(const std::string &response, const std::string &line)
{
    return response.find(line + "\r\n") != std::string::npos;
}

std::string statusLine(const std::string &response)
{
    return response.substr(0, response.find("\r\n"));
}

std::string body(const std::string &response)
{
    size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

} // namespace

TEST_F(WebServer, Stream2AnswersInPlainTextAndWritesTheRootedStore)
{
    std::string r = curl("--data 'l_submit=Set&l=352' '" + url("/cgi-bin/stream2.cgi") + "'");
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_TRUE(hasHeader(r, "Content-type: text/plain")) << r;
    EXPECT_EQ(body(r), "set length:352\nset ok\n");
    EXPECT_EQ(root.read("/mnt/kavex_rs.ini"), "0 352 480 800000 25 100 100 10 0 0 40");

    // The way a browser posts without script: multipart from a form.
    r = curl("-F sbnt=male -F sbnt_submit=Apply '" + url("/cgi-bin/stream2.cgi") + "'");
    EXPECT_TRUE(hasHeader(r, "Content-type: text/plain")) << r;
    EXPECT_EQ(body(r), "second stream enable\nset ok\n");
    EXPECT_EQ(root.read("/mnt/kavex_rs.ini"), "1 352 480 800000 25 100 100 10 0 0 40");

    r = curl("'" + url("/cgi-bin/stream2.cgi?view_s=1") + "'");
    EXPECT_NE(body(r).find("Length=352\n"), std::string::npos) << r;
}

TEST_F(WebServer, TimingAnswersInPlainText)
{
    root.write("/mnt/format.ini", "1 9");
    std::string r = curl("--data 'hc_submit=Apply&chang=-5&hang=4' '" + url("/cgi-bin/timing.cgi") + "'");
    EXPECT_TRUE(hasHeader(r, "Content-type: text/plain")) << r;
    EXPECT_EQ(body(r), "add V=-5,H=4\n\ncurrent:\nformat=9 V=35,H=296\n\nmodify:\nformat=9 V=30,H=300\n\nset ok\n");
    EXPECT_NE(root.read("/mnt/config.ini").find("\n9,30,300\n"), std::string::npos);
    EXPECT_EQ(root.read("/tmp/shell.log"), "sync\nsync\n");
}

TEST_F(WebServer, SettingsAnswersInPlainText)
{
    std::string r = curl("--data 'name44_submit=Show' '" + url("/cgi-bin/settings.cgi") + "'");
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_TRUE(hasHeader(r, "Content-type: text/plain")) << r;
    EXPECT_NE(body(r).find("ip="), std::string::npos) << r;
}

TEST_F(WebServer, PagesAreServedAndPostToTheCgis)
{
    struct Page {
        const char *path;
        const char *action;
    };
    for (const Page &p : {Page{"/", "/cgi-bin/settings.cgi"}, Page{"/stream2.html", "/cgi-bin/stream2.cgi"},
                          Page{"/timing.html", "/cgi-bin/timing.cgi"}, Page{"/login.html", "/cgi-bin/login.cgi"}}) {
        std::string r = curl("'" + url(p.path) + "'");
        EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << p.path;
        EXPECT_TRUE(hasHeader(r, "Content-Type: text/html; charset=utf-8")) << p.path;
        EXPECT_NE(r.find(std::string("action=\"") + p.action + "\""), std::string::npos) << p.path;
    }
    for (const char *page : {"/", "/stream2.html", "/timing.html"}) {
        std::string r = curl("'" + url(page) + "'");
        EXPECT_NE(r.find("<div id=\"password-notice\"></div>"), std::string::npos) << page;
        EXPECT_NE(r.find("<script src=\"password.js\"></script>"), std::string::npos) << page;
        EXPECT_NE(r.find("<script src=\"session.js\"></script>"), std::string::npos) << page;
    }
    EXPECT_NE(curl("'" + url("/form.js") + "'").find("text/javascript"), std::string::npos);
    EXPECT_NE(curl("'" + url("/style.css") + "'").find("text/css"), std::string::npos);
    // Nothing else under /cgi-bin/ runs.
    EXPECT_NE(curl("'" + url("/cgi-bin/other.cgi") + "'").find("HTTP/1.1 404"), std::string::npos);
}

// Without a login the pages send the browser to the login page and the programs refuse; with a
// wrong password the programs refuse (the pages hold no setting: they read them from the programs).
// Their scripts and style sheet come without it, so that a page whose session ended as it loaded
// still runs the script that sends it to the login page.
TEST_F(WebServer, EverythingNeedsTheLogin)
{
    for (const char *page : {"/", "/index.html", "/stream2.html", "/vendor/hls.js.LICENSE.txt"}) {
        std::string r = curl("'" + url(page) + "'", "");
        EXPECT_NE(r.find("HTTP/1.1 302"), std::string::npos) << page << "\n" << r;
        EXPECT_TRUE(hasHeader(r, "Location: /login.html")) << page << "\n" << r;
        EXPECT_NE(curl("'" + url(page) + "'").find("HTTP/1.1 200"), std::string::npos) << page;
    }
    for (const char *path : {"/login.html", "/login.js", "/password.js", "/style.css", "/vendor/hls.light.min.js"}) {
        EXPECT_NE(curl("'" + url(path) + "'", "").find("HTTP/1.1 200"), std::string::npos) << path;
    }
    for (const char *cgi : {"/cgi-bin/settings.cgi?name44_submit=1", "/cgi-bin/stream2.cgi?view_s=1",
                            "/cgi-bin/timing.cgi?get=1", "/cgi-bin/status.cgi", "/cgi-bin/settings.cgi?get=1"}) {
        std::string r = curl("'" + url(cgi) + "'", "");
        EXPECT_NE(r.find("HTTP/1.1 401"), std::string::npos) << cgi << "\n" << r;
        EXPECT_EQ(body(r), "refused: log in first\n") << cgi;
        EXPECT_NE(curl("'" + url(cgi) + "'", "admin:wrong-password").find("HTTP/1.1 401"), std::string::npos) << cgi;
    }
    // The reboot button, without the login: nothing happens.
    EXPECT_NE(curl("--data 'name5_submit=1' '" + url("/cgi-bin/settings.cgi") + "'", "").find("HTTP/1.1 401"),
              std::string::npos);
    EXPECT_EQ(shellLog(), "");
}

// The JSON API and the metrics behind the same server and login: a token made through the page's
// program reads and changes settings with Bearer, a read-only one scrapes the metrics and changes
// nothing, and the API's stage works as the web user the server runs as.
TEST_F(WebServer, ApiAndMetricsWithTokensMadeOnThePage)
{
    auto token = [this](const char *name, const char *scope) {
        std::string r = curl("--data 'token_make=1&token_name=" + std::string(name) + "&token_scope=" + scope + "' '" +
                             url("/cgi-bin/tokens.cgi") + "'");
        size_t at = r.find("enc_");
        return at == std::string::npos ? std::string() : r.substr(at, r.find_first_of("\n ", at) - at);
    };
    std::string writer = token("automation", "write");
    std::string reader = token("monitoring", "read");
    ASSERT_FALSE(writer.empty());
    ASSERT_FALSE(reader.empty());
    auto bearer = [](const std::string &t) { return "-H 'Authorization: Bearer " + t + "' "; };

    for (const char *path : {"/api/v1/settings", "/metrics"}) {
        std::string r = curl("'" + url(path) + "'", "");
        EXPECT_NE(r.find("HTTP/1.1 401"), std::string::npos) << path << "\n" << r;
        EXPECT_NE(curl(bearer("enc_wrong") + "'" + url(path) + "'", "").find("HTTP/1.1 401"), std::string::npos);
    }
    std::string got = curl(bearer(reader) + "'" + url("/api/v1/settings") + "'", "");
    EXPECT_NE(got.find("HTTP/1.1 200"), std::string::npos) << got;
    EXPECT_NE(body(got).find("\"bitrate\": 4000000"), std::string::npos) << got;
    std::string metrics = curl(bearer(reader) + "'" + url("/metrics") + "'", "");
    EXPECT_NE(metrics.find("HTTP/1.1 200"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("encoder_up 0"), std::string::npos) << "no encoder runs here";

    std::string patch = "-X PATCH -H 'Content-Type: application/json' --data '{\"bitrate\": 2500000}' '" +
                        url("/api/v1/settings") + "'";
    EXPECT_NE(curl(bearer(reader) + patch, "").find("HTTP/1.1 403"), std::string::npos);
    std::string r = curl(bearer(writer) + patch, "");
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_NE(root.read("/mnt/autorun.sh").find("\nbitrate=2500000\n"), std::string::npos);
    // From another site's page, the login of the box's operator changes nothing.
    EXPECT_NE(curl("-H 'Origin: https://evil.example' " + patch).find("HTTP/1.1 403"), std::string::npos);
}

TEST_F(WebServer, RebootOnlyFromTheBoxsOwnPagesAndByPost)
{
    const std::string cgi = "'" + url("/cgi-bin/settings.cgi") + "'";
    std::string r = curl("-H 'Origin: http://evil.example' --data 'name5_submit=1' " + cgi);
    EXPECT_NE(r.find("HTTP/1.1 403"), std::string::npos) << r;
    EXPECT_EQ(body(r), "refused: the request came from a page of another site; nothing changed\n");
    r = curl("-H 'Referer: http://evil.example/page.html' --data 'name5_submit=1' " + cgi);
    EXPECT_NE(r.find("HTTP/1.1 403"), std::string::npos) << r;
    r = curl("'" + url("/cgi-bin/settings.cgi?name5_submit=1") + "'");
    EXPECT_NE(r.find("HTTP/1.1 405"), std::string::npos) << r;
    EXPECT_TRUE(hasHeader(r, "Allow: POST")) << r;
    EXPECT_EQ(shellLog().find("reboot"), std::string::npos);

    // The page itself, served from this host and port.
    r = curl("-H 'Origin: " + origin() + "' --data 'name5_submit=1' " + cgi);
    EXPECT_EQ(body(r), "reboot now\n");
    EXPECT_NE(shellLog().find("reboot"), std::string::npos);
}

// The settings program rewrites the password file and the next request is checked against it; the
// sessions of the old password end with it.
TEST_F(WebServer, ChangedPasswordTakesAtOnce)
{
    const std::string cgi = "'" + url("/cgi-bin/settings.cgi") + "'";
    const std::string jar = root.path("/tmp/cookies");
    curl("-c '" + jar + "' --data 'login_submit=1&user=admin&password=changeme' '" + url("/cgi-bin/login.cgi") + "'",
         "");
    EXPECT_EQ(body(curl("-b '" + jar + "' '" + url("/cgi-bin/settings.cgi?password_state=1") + "'", "")),
              "{\"factory_password\":true}\n");
    std::string r = curl("--data 'password_current=changeme&password_new=S3cret-pass-42&password_again=S3cret-pass-42"
                         "&password_submit=Change' " + cgi);
    EXPECT_EQ(body(r), "password changed: log in again as admin with the new password\n") << r;
    EXPECT_EQ(root.read("/mnt/web.passwd").find("admin:$y$"), 0u) << root.read("/mnt/web.passwd");
    EXPECT_NE(curl("'" + url("/cgi-bin/status.cgi") + "'").find("HTTP/1.1 401"), std::string::npos);
    EXPECT_NE(curl("-b '" + jar + "' '" + url("/cgi-bin/status.cgi") + "'", "").find("HTTP/1.1 401"),
              std::string::npos);
    EXPECT_EQ(body(curl("'" + url("/cgi-bin/settings.cgi?password_state=1") + "'", "admin:S3cret-pass-42")),
              "{\"factory_password\":false}\n");
}

// The status and the pages' read answers come through the server with their status, type and
// no-store header, as the pages' script sees them.
TEST_F(WebServer, StatusAndCurrentValuesThroughTheServer)
{
    std::string r = curl("'" + url("/cgi-bin/status.cgi") + "'");
    EXPECT_NE(r.find("HTTP/1.1 404"), std::string::npos) << r;
    EXPECT_TRUE(hasHeader(r, "Cache-Control: no-store")) << r;
    EXPECT_EQ(body(r), "/tmp/encode.status is missing: the encoder has not written it\n");

    root.write("/tmp/encode.status", "{\"version\": \"1.0.0\", \"time\": 1765250000.25}");
    r = curl("'" + url("/cgi-bin/status.cgi") + "'");
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_TRUE(hasHeader(r, "Content-type: application/json")) << r;
    EXPECT_TRUE(hasHeader(r, "Cache-Control: no-store")) << r;
    // The WebRTC server's status joins the encoder's (none runs here).
    EXPECT_EQ(body(r), "{\"version\": \"1.0.0\", \"time\": 1765250000.25,\"webrtc\":{\"state\":\"off\"}}");

    for (const char *cgi : {"settings", "stream2", "timing"}) {
        r = curl("'" + url(std::string("/cgi-bin/") + cgi + ".cgi?get=1") + "'");
        EXPECT_TRUE(hasHeader(r, "Content-type: application/json")) << cgi << "\n" << r;
        EXPECT_TRUE(hasHeader(r, "Cache-Control: no-store")) << cgi;
        EXPECT_EQ(body(r).rfind("{\"notes\":{", 0), 0u) << cgi << "\n" << r;
    }
    EXPECT_NE(curl("'" + url("/values.js") + "'").find("text/javascript"), std::string::npos);
    EXPECT_NE(curl("'" + url("/dash.js") + "'").find("text/javascript"), std::string::npos);
}

// What an outsider on the network tried, one row each, against the running server: the answer's
// status line and a part of it, and the store untouched where the row changes something.
TEST_F(WebServer, HostileRequestsAreRefused)
{
    root.write("/mnt/wifi/wpa.conf", "network={\nssid=\"video\"\npsk=\"Wq7Zk2Lp9Xv4\"\n}\n");
    root.write("/mnt/srt.ini", "enable=1\nmode=listener\nport=9000\nlatency=120\npassphrase=Hy3Tn8Rb6Mc1Ds5F\n");
    const std::string passwd = root.read("/mnt/web.passwd");
    auto stored = [&] { return root.read("/mnt/ttl.ini") + root.read("/mnt/autorun.sh") + root.read("/mnt/kavex_encQuality.ini"); };
    const std::string before = stored();
    const std::string settings = "'" + url("/cgi-bin/settings.cgi") + "'";
    const std::string rebound = "-H 'Host: attacker.example:" + std::to_string(httpsPort) + "' -H 'Origin: https://attacker.example:" +
                                std::to_string(httpsPort) + "' ";
    const std::string steal = "--data 'password_submit=1&password_current=changeme&password_new=Attacker123x"
                              "&password_again=Attacker123x' ";
    struct Row {
        const char *finding;
        std::string args; // curl's, logged in as admin
        const char *status;
        std::string answer; // a header line or a part of the body
    } rows[] = {
        {"framing: a page says never in a frame", "'" + url("/") + "'", "200", "X-Frame-Options: DENY"},
        {"framing: by the policy too", "'" + url("/") + "'", "200",
         "Content-Security-Policy: default-src 'self'; media-src 'self' blob:; frame-ancestors 'none'"},
        {"framing: a program's answer too", "'" + url("/cgi-bin/settings.cgi?get=1") + "'", "200",
         "X-Frame-Options: DENY"},
        {"no type guessing", "'" + url("/form.js") + "'", "200", "X-Content-Type-Options: nosniff"},
        {"no address sent elsewhere", "'" + url("/") + "'", "200", "Referrer-Policy: same-origin"},
        {"rebinding: the password changed under another name", rebound + steal + settings, "403",
         "refused: the request named another host than this box; nothing changed"},
        {"rebinding: the settings read under another name",
         "-H 'Host: attacker.example:" + std::to_string(httpsPort) + "' '" + url("/cgi-bin/settings.cgi?get=1") + "'",
         "403", "another host"},
        {"plain HTTP goes to HTTPS", "'" + plainUrl("/cgi-bin/settings.cgi?get=1") + "'", "302",
         "Location: " + url("/cgi-bin/settings.cgi?get=1")},
        {"a common password", "--data 'password_submit=1&password_current=changeme&password_new=password1234"
                              "&password_again=password1234' " + settings, "200",
         "refused password: the new password is a common password"},
        {"Sec-Fetch-Site cross-site without Origin", "-H 'Sec-Fetch-Site: cross-site' --data 'ttl_submit=1&ttl=77' " +
         settings, "403", "another site"},
        {"an https Origin without host", "-H 'Origin: https://' --data 'ttl_submit=1&ttl=77' " + settings, "403",
         "another site"},
        {"the plain-HTTP origin of the same host and port",
         "-H 'Origin: http://127.0.0.1:" + std::to_string(httpsPort) + "' --data 'ttl_submit=1&ttl=77' " + settings,
         "403", "another site"},
        {"the Wi-Fi key and the SRT passphrase in the values", "'" + url("/cgi-bin/settings.cgi?get=1") + "'", "200",
         "set ("},
        {"a NUL in a number", "--data 'name3_submit=1&bitrate=1%00junk' " + settings, "200", "error len"},
        {"a NUL after the right password", "--data 'password_submit=1&password_current=changeme%00junk"
                                           "&password_new=Attacker123x&password_again=Attacker123x' " + settings,
         "200", "refused password"},
        {"an unknown choice of a list", "--data 'codec_submit=1&ctrlcz=x' " + settings, "200",
         "refused ctrlcz: not one of the offered choices"},
    };
    for (const Row &row : rows) {
        std::string r = curl(row.args);
        EXPECT_NE(statusLine(r).find(row.status), std::string::npos) << row.finding << "\n" << r;
        EXPECT_NE(r.find(row.answer), std::string::npos) << row.finding << "\n" << r;
        EXPECT_EQ(r.find("Wq7Zk2Lp9Xv4"), std::string::npos) << row.finding;
        EXPECT_EQ(r.find("Hy3Tn8Rb6Mc1Ds5F"), std::string::npos) << row.finding;
        EXPECT_EQ(root.read("/mnt/web.passwd"), passwd) << row.finding;
        EXPECT_TRUE(stored() == before) << row.finding << ": the store changed";
    }
}

// The login page's way: a session in a cookie a script cannot read and another site cannot send,
// ended by the log-out button.
TEST_F(WebServer, SessionFromTheLoginPageUntilLogOut)
{
    const std::string jar = root.path("/tmp/cookies");
    const std::string login = "'" + url("/cgi-bin/login.cgi") + "'";
    std::string r = curl("-c '" + jar + "' --data 'login_submit=1&user=admin&password=changeme' " + login, "");
    EXPECT_EQ(body(r), "logged in\n") << r;
    size_t cookie = r.find("Set-Cookie: encoder_session=");
    ASSERT_NE(cookie, std::string::npos) << r;
    EXPECT_NE(r.find("; HttpOnly; SameSite=Strict; Secure\r\n", cookie), std::string::npos) << r;

    EXPECT_NE(curl("-b '" + jar + "' '" + url("/") + "'", "").find("HTTP/1.1 200"), std::string::npos);
    EXPECT_NE(curl("-b '" + jar + "' '" + url("/cgi-bin/settings.cgi?get=1") + "'", "").find("HTTP/1.1 200"),
              std::string::npos);
    EXPECT_EQ(body(curl("-b '" + jar + "' '" + url("/cgi-bin/login.cgi?state=1") + "'", "")), "{\"logged_in\":true}\n");

    r = curl("-b '" + jar + "' -c '" + root.path("/tmp/after") + "' --data 'logout_submit=1' " + login, "");
    EXPECT_EQ(body(r), "logged out\n") << r;
    // The ended session's cookie is refused and cleared: the browser's next page is the login page.
    r = curl("-b '" + jar + "' '" + url("/cgi-bin/settings.cgi?get=1") + "'", "");
    EXPECT_NE(r.find("HTTP/1.1 401"), std::string::npos) << r;
    EXPECT_NE(r.find("Set-Cookie: encoder_session=; Max-Age=0"), std::string::npos) << r;
    EXPECT_EQ(body(curl("-b '" + jar + "' '" + url("/cgi-bin/login.cgi?state=1") + "'", "")), "{\"logged_in\":false}\n");

    r = curl("--data 'login_submit=1&user=admin&password=nope' " + login, "");
    EXPECT_NE(r.find("HTTP/1.1 401"), std::string::npos) << r;
    EXPECT_EQ(body(r), "refused: wrong user or password\n");
}

// After ten failures within a minute an address gets one look at a password a second, however many
// connections it opens at once; the answers of the rest say why. A right password is among them.
TEST_F(WebServer, GuessingIsHeldToOneTryASecond)
{
    const std::string login = "'" + url("/cgi-bin/login.cgi") + "' ";
    auto wave = [&](int tries, const std::string &password) {
        std::string transfers;
        for (int i = 0; i < tries; i++) {
            transfers += std::string(i > 0 ? "--next " : "") + "-s -o /dev/null -w '%{http_code}\\n' --max-time 60 " +
                         "--cacert '" + root.path("/mnt/web/cert.pem") + "' --data 'login_submit=1&user=admin&password=" +
                         password + "' " + login;
        }
        return run("curl -Z --parallel-max 20 " + transfers + " 2>/dev/null");
    };
    auto count = [](const std::string &codes, const std::string &code) {
        size_t n = 0;
        for (size_t at = codes.find(code); at != std::string::npos; at = codes.find(code, at + 1)) {
            n++;
        }
        return n;
    };
    std::string first = wave(10, "wrong");
    EXPECT_EQ(count(first, "401"), 10u) << first;

    std::string held = wave(20, "wrong");
    held += wave(1, "changeme");
    EXPECT_LE(count(held, "401"), 2u) << held;
    EXPECT_GE(count(held, "429"), 19u) << held;
    EXPECT_NE(root.read("/tmp/web/programs.log").find("10 failed logins from 127.0.0.1 within a minute"),
              std::string::npos);

    // A second later the right password gets in, and the address starts afresh.
    std::string codes;
    for (int i = 0; i < 40 && codes != "200\n"; i++) {
        usleep(100 * 1000);
        codes = wave(1, "changeme");
    }
    EXPECT_EQ(codes, "200\n");
    EXPECT_EQ(wave(3, "wrong"), "401\n401\n401\n");
}

// 2,000 connections from one address that send nothing leave the page answering another at once.
TEST_F(WebServer, HalfOpenConnectionsOfOneAddressLeaveTheOthersServed)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
    ASSERT_GE(files.rlim_cur, 2100u) << "too few files for the test";

    std::vector<int> held;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(httpsPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 2000; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
        held.push_back(fd);
    }
    auto start = std::chrono::steady_clock::now();
    std::string r = curl("--interface 127.0.0.2 '" + url("/login.html") + "'", "");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : held) {
        close(fd);
    }
    EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << r;
    EXPECT_LT(seconds, 2.0);
}

// Started by root, the server, its guard and the programs run as the web user; the store files the
// programs write stay the group's.
TEST_F(WebServer, NothingRunsAsRoot)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the server runs as the user that starts it";
    }
    const passwd *web = getpwnam("encoder-web");
    ASSERT_NE(web, nullptr) << "scripts/install-deps.sh makes the user encoder-web";
    if (started.find("the server runs as root") != std::string::npos) {
        GTEST_SKIP() << "the checkout is out of the web user's reach";
    }
    EXPECT_EQ(pidUser("/tmp/web/lighttpd.pid"), web->pw_uid);
    EXPECT_EQ(pidUser("/tmp/web/guard.pid"), web->pw_uid);
    // The login program's new session file is the program's own.
    std::string r = curl("--data 'login_submit=1&user=admin&password=changeme' '" + url("/cgi-bin/login.cgi") + "'", "");
    EXPECT_EQ(body(r), "logged in\n") << r;
    int sessions = 0;
    for (const auto &entry : std::filesystem::directory_iterator(root.path("/tmp/web/sessions"))) {
        struct stat st{};
        ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, web->pw_uid) << entry.path();
        sessions++;
    }
    EXPECT_EQ(sessions, 1);
    // What the settings program writes stays the group's, for the next program and the encoder.
    EXPECT_NE(curl("--data 'ttl_submit=1&ttl=9' '" + url("/cgi-bin/settings.cgi") + "'").find("set ttl:9"),
              std::string::npos);
    struct stat st{};
    ASSERT_EQ(stat(root.path("/mnt/ttl.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, web->pw_gid);
    EXPECT_EQ(st.st_mode & 0060, 0060u);
}

// A certificate of the operator's, uploaded from the page, is the one the server shows from its next
// start; a key that does not match its certificate (a stop between the page's two renames) does not
// keep the server from starting: the box makes its own again.
TEST_F(WebServer, UploadedCertificateServesFromTheNextStart)
{
    const std::string mine = root.path("/tmp/mine");
    int status = -1;
    std::string made = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 "
                           "-subj /CN=studio-box -addext subjectAltName=IP:127.0.0.1 -keyout '" + mine +
                           ".key' -out '" + mine + ".pem' 2>&1", &status);
    ASSERT_EQ(status, 0) << made;
    std::string r = curl("-F 'cert_file=@" + mine + ".pem' -F 'key_file=@" + mine + ".key' -F cert_submit=Upload '" +
                         url("/cgi-bin/settings.cgi") + "'");
    EXPECT_NE(body(r).find("set certificate: studio-box, valid until "), std::string::npos) << r;

    auto restart = [&] {
        run("bash '" + script + "' stop" + serverArgs() + " 2>&1");
        started = run("bash '" + script + "' start" + serverArgs() + " 2>&1", &status);
        EXPECT_EQ(status, 0) << started;
    };
    restart();
    EXPECT_EQ(run("curl -s --http1.1 -o /dev/null -w '%{http_code}' --cacert '" + mine + ".pem' '" +
                  url("/login.html") + "'"),
              "200");

    root.write("/mnt/web/key.pem", run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1"));
    restart();
    EXPECT_NE(started.find("do not belong together; the box makes its own again"), std::string::npos) << started;
    EXPECT_NE(curl("'" + url("/login.html") + "'", "").find("HTTP/1.1 200"), std::string::npos);
}

