// scripts/web-server.sh starts lighttpd on a free loopback port over a factory root; curl then posts
// to the three CGI programs the way the pages do and fetches the pages themselves.
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
    // The whole answer with its header lines (curl -i).
    std::string curl(const std::string &args) { return run("curl -s -i --max-time 30 " + args); }
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
    }
    EXPECT_NE(curl("'" + url("/form.js") + "'").find("text/javascript"), std::string::npos);
    EXPECT_NE(curl("'" + url("/style.css") + "'").find("text/css"), std::string::npos);
    // Nothing else under /cgi-bin/ runs.
    EXPECT_NE(curl("'" + url("/cgi-bin/other.cgi") + "'").find("HTTP/1.1 404"), std::string::npos);
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
