// The WHEP paths behind the real web server: scripts/web-server.sh starts lighttpd behind its guard on
// two free loopback ports over a factory root, a stand-in WebRTC server listens on the root's socket,
// and curl speaks to /whep/ as a browser's WHEP client does. What the web server adds is under test:
// the path after the program reaching it, the login left to the program, the client's address.
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/web/whep/stand_in_server.h"

#include <sys/stat.h>

#include <string>

namespace {

const std::string kAnswer = "HTTP/1.0 201 Created\r\nContent-Type: application/sdp\r\nLocation: /whep/main/a1b2c3\r\n"
                            "Content-Length: 4\r\n\r\nv=0\n";

class WhepServer : public ::testing::Test {
protected:
    TempRoot root{true};
    int port = 0;
    int httpsPort = 0;
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
        int status = -1;
        std::string out = runCommand("bash '" + script + "' start" + serverArgs() + " 2>&1", &status);
        ASSERT_EQ(status, 0) << out;
    }
    void TearDown() override
    {
        int status = -1;
        std::string out = runCommand("bash '" + script + "' stop" + serverArgs() + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
    }
    // The whole answer with its header lines; only fixed test texts go onto the command line.
    std::string curl(const std::string &args, const std::string &path, bool login = true)
    {
        return runCommand("curl -s -i --http1.1 --max-time 30 --cacert '" + root.path("/mnt/web/cert.pem") + "' " +
                          (login ? "-u admin:changeme " : "") + args + " '" + origin() + path + "'");
    }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(httpsPort); }
};

std::string statusLine(const std::string &r)
{
    return r.substr(0, r.find("\r\n"));
}

std::string body(const std::string &r)
{
    size_t at = r.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : r.substr(at + 4);
}

} // namespace

TEST_F(WhepServer, RelaysThroughTheWebServer)
{
    StandInServer server(root.path("/tmp/webrtc.sock"), kAnswer);
    // The web server runs as its own user when started by root: the socket must let it in.
    ASSERT_EQ(::chmod(root.path("/tmp/webrtc.sock").c_str(), 0666), 0);
    // As the page's fetch sends it: same origin, the SDP type.
    const std::string offer = "-H 'Content-Type: application/sdp' -H 'Origin: " + origin() +
                              "' -H 'Sec-Fetch-Site: same-origin' --data-binary 'v=0'";

    std::string r = curl(offer, "/whep/main");
    EXPECT_EQ(statusLine(r), "HTTP/1.1 201 Created") << r.substr(0, 300);
    EXPECT_NE(r.find("\r\nLocation: /whep/main/a1b2c3\r\n"), std::string::npos) << r.substr(0, 300);
    EXPECT_NE(r.find("\r\nContent-type: application/sdp\r\n"), std::string::npos) << r.substr(0, 300);
    EXPECT_EQ(body(r), "v=0\n");
    r = curl("-X DELETE", "/whep/main/a1b2c3");
    EXPECT_EQ(statusLine(r), "HTTP/1.1 201 Created") << r.substr(0, 300); // the stand-in answers every request alike
    std::vector<std::string> got = server.requests();
    ASSERT_EQ(got.size(), 2u);
    // The client's address is the browser's, as the guard's PROXY line gave it to the web server.
    EXPECT_EQ(got[0], "POST /whep/main HTTP/1.0\r\nX-Client-Address: 127.0.0.1\r\nContent-Type: application/sdp\r\n"
                      "Content-Length: 3\r\n\r\nv=0");
    EXPECT_EQ(got[1], "DELETE /whep/main/a1b2c3 HTTP/1.0\r\nX-Client-Address: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");

    // Every other path and method under /whep/ reaches the program, which refuses it with one line:
    // never the program's file served as it stands, never the login page's redirect.
    struct Case {
        const char *what;
        std::string args;
        const char *path;
        bool login;
        const char *status;
        const char *line;
    };
    const Case cases[] = {
        {"a GET of a stream", "", "/whep/main", true, "HTTP/1.1 405 Method Not Allowed",
         "refused: a stream is asked for with POST\n"},
        {"the folder", offer, "/whep/", true, "HTTP/1.1 404 Not Found",
         "refused: no such stream; the streams are /whep/main and /whep/second\n"},
        {"an unknown stream", offer, "/whep/third", true, "HTTP/1.1 404 Not Found",
         "refused: no such stream; the streams are /whep/main and /whep/second\n"},
        {"no login", offer, "/whep/main", false, "HTTP/1.1 401 Unauthorized", "refused: log in first\n"},
        {"another site's page",
         "-H 'Content-Type: application/sdp' -H 'Origin: https://evil.example' --data-binary 'v=0'", "/whep/main", true, "HTTP/1.1 403 Forbidden",
         "refused: the request came from a page of another site; nothing changed\n"},
    };
    for (const Case &c : cases) {
        r = curl(c.args, c.path, c.login);
        EXPECT_EQ(statusLine(r), c.status) << c.what << "\n" << r.substr(0, 300);
        EXPECT_EQ(body(r), c.line) << c.what;
    }
    EXPECT_EQ(server.requests().size(), 2u);
}
