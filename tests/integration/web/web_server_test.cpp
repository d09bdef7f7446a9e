// scripts/web-server.sh starts lighttpd on a free loopback port over a factory root; curl then posts
// to the three CGI programs the way the pages do and fetches the pages themselves, with the factory
// login unless a test says otherwise.
#include "tests/support/net.h"
#include "tests/support/process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

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
    std::string script = std::string(ENCODE_SOURCE_DIR) + "/scripts/web-server.sh";

    std::string serverArgs() const
    {
        return " --port " + std::to_string(port) + " --build '" + ENCODE_BINARY_DIR + "' --run-dir '" + root.dir() +
               "/tmp/web'";
    }
    void SetUp() override
    {
        port = freeLoopbackPort();
        ASSERT_NE(port, 0);
        int status = -1;
        std::string out = run("bash '" + script + "' start" + serverArgs() + " 2>&1", &status);
        ASSERT_EQ(status, 0) << out;
    }
    void TearDown() override
    {
        int status = -1;
        std::string out = run("bash '" + script + "' stop" + serverArgs() + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_FALSE(root.exists("/tmp/web/lighttpd.pid"));
    }
    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
    // The whole answer with its header lines (curl -i), logged in as `login`.
    std::string curl(const std::string &args, const std::string &login = "admin:changeme")
    {
        return run("curl -s -i --max-time 30 " + (login.empty() ? "" : "-u '" + login + "' ") + args);
    }
    std::string shellLog() const { return root.exists("/tmp/shell.log") ? root.read("/tmp/shell.log") : ""; }
};

bool hasHeader(const std::string &response, const std::string &line)
{
    return response.find(line + "\r\n") != std::string::npos;
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
    if (!std::filesystem::exists(std::string(ENCODE_BINARY_DIR) + "/web/settings/settings_cgi")) {
        GTEST_SKIP() << "settings_cgi is not built";
    }
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
                          Page{"/timing.html", "/cgi-bin/timing.cgi"}}) {
        std::string r = curl("'" + url(p.path) + "'");
        EXPECT_NE(r.find("HTTP/1.1 200"), std::string::npos) << p.path;
        EXPECT_TRUE(hasHeader(r, "Content-Type: text/html; charset=utf-8")) << p.path;
        EXPECT_NE(r.find(std::string("action=\"") + p.action + "\""), std::string::npos) << p.path;
        EXPECT_NE(r.find("<div id=\"password-notice\"></div>"), std::string::npos) << p.path;
        EXPECT_NE(r.find("<script src=\"password.js\"></script>"), std::string::npos) << p.path;
    }
    EXPECT_NE(curl("'" + url("/form.js") + "'").find("text/javascript"), std::string::npos);
    EXPECT_NE(curl("'" + url("/style.css") + "'").find("text/css"), std::string::npos);
    // Nothing else under /cgi-bin/ runs.
    EXPECT_NE(curl("'" + url("/cgi-bin/other.cgi") + "'").find("HTTP/1.1 404"), std::string::npos);
}

TEST_F(WebServer, EverythingNeedsTheLogin)
{
    for (const char *path : {"/", "/index.html", "/password.js", "/cgi-bin/settings.cgi?name44_submit=1",
                             "/cgi-bin/stream2.cgi?view_s=1"}) {
        EXPECT_NE(curl("'" + url(path) + "'", "").find("HTTP/1.1 401"), std::string::npos) << path;
        EXPECT_NE(curl("'" + url(path) + "'", "admin:wrong-password").find("HTTP/1.1 401"), std::string::npos) << path;
        EXPECT_NE(curl("'" + url(path) + "'").find("HTTP/1.1 200"), std::string::npos) << path;
    }
    // The reboot button, without the login: nothing happens.
    EXPECT_NE(curl("--data 'name5_submit=1' '" + url("/cgi-bin/settings.cgi") + "'", "").find("HTTP/1.1 401"),
              std::string::npos);
    EXPECT_EQ(shellLog(), "");
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
    r = curl("-H 'Origin: " + url("") + "' --data 'name5_submit=1' " + cgi);
    EXPECT_EQ(body(r), "reboot now\n");
    EXPECT_EQ(shellLog(), "reboot\n");
}

// The settings program rewrites the password file and the server checks the next request against it.
TEST_F(WebServer, ChangedPasswordTakesAtOnce)
{
    const std::string cgi = "'" + url("/cgi-bin/settings.cgi") + "'";
    EXPECT_EQ(body(curl("'" + url("/cgi-bin/settings.cgi?password_state=1") + "'")), "{\"factory_password\":true}\n");
    std::string r = curl("--data 'password_current=changeme&password_new=S3cret-pass&password_again=S3cret-pass"
                         "&password_submit=Change' " + cgi);
    EXPECT_EQ(body(r), "password changed: log in again as admin with the new password\n") << r;
    EXPECT_NE(curl("'" + url("/") + "'").find("HTTP/1.1 401"), std::string::npos);
    EXPECT_NE(curl("'" + url("/") + "'", "admin:S3cret-pass").find("HTTP/1.1 200"), std::string::npos);
    EXPECT_EQ(body(curl("'" + url("/cgi-bin/settings.cgi?password_state=1") + "'", "admin:S3cret-pass")),
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
    EXPECT_EQ(body(r), "{\"version\": \"1.0.0\", \"time\": 1765250000.25}");

    for (const char *cgi : {"settings", "stream2", "timing"}) {
        r = curl("'" + url(std::string("/cgi-bin/") + cgi + ".cgi?get=1") + "'");
        EXPECT_TRUE(hasHeader(r, "Content-type: application/json")) << cgi << "\n" << r;
        EXPECT_TRUE(hasHeader(r, "Cache-Control: no-store")) << cgi;
        EXPECT_EQ(body(r).rfind("{\"notes\":{", 0), 0u) << cgi << "\n" << r;
    }
    EXPECT_NE(curl("'" + url("/values.js") + "'").find("text/javascript"), std::string::npos);
    EXPECT_NE(curl("'" + url("/dash.js") + "'").find("text/javascript"), std::string::npos);
}
