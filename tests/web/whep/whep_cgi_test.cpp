// whep_cgi run as a CGI in front of a stand-in WebRTC server on the root's /tmp/webrtc.sock: what the
// browser sends is relayed as the server's protocol has it and the server's answer comes back as it
// is; every request the program must refuse is refused with one line without the server hearing of it.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"
#include "tests/web/whep/stand_in_server.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string kOffer = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n";

std::vector<std::string> whepEnv(const TempRoot &root, const std::string &method, const std::string &pathInfo,
                                 const std::string &type, size_t length)
{
    std::vector<std::string> env = cgiBaseEnv(root.dir(), method);
    cgiEnvSet(env, "SCRIPT_NAME=/whep");
    env.push_back("PATH_INFO=" + pathInfo);
    cgiEnvSet(env, "REMOTE_ADDR=192.0.2.7");
    if (!type.empty()) {
        env.push_back("CONTENT_TYPE=" + type);
        env.push_back("CONTENT_LENGTH=" + std::to_string(length));
    }
    return env;
}

const std::string kAnswer = "HTTP/1.0 201 Created\r\nContent-Type: application/sdp\r\nLocation: /whep/main/a1b2c3\r\n"
                            "Content-Length: 12\r\n\r\nv=0\r\nanswer\n";

} // namespace

// What reaches the server and what comes back from it, for a session's start and end and for a
// refusal of the server's own.
TEST(WhepCgi, RelaysTheExchange)
{
    struct Case {
        const char *what;
        const char *method;
        const char *path;
        std::string reply;
        std::string request; // what the server must read
        const char *status;
        const char *type;
        const char *location; // "" for none
        std::string body;
    };
    const std::vector<Case> cases = {
        {"an offer", "POST", "/main", kAnswer,
         "POST /whep/main HTTP/1.0\r\nX-Client-Address: 192.0.2.7\r\nContent-Type: application/sdp\r\n"
         "Content-Length: " + std::to_string(kOffer.size()) + "\r\n\r\n" + kOffer,
         "201 Created", "application/sdp", "/whep/main/a1b2c3", "v=0\r\nanswer\n"},
        {"the end of a session", "DELETE", "/second/a1b2c3", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n",
         "DELETE /whep/second/a1b2c3 HTTP/1.0\r\nX-Client-Address: 192.0.2.7\r\nContent-Length: 0\r\n\r\n", "200 OK",
         "text/plain; charset=utf-8", "", ""},
        {"the server's refusal", "POST", "/main",
         "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
         "refused: all 4 viewers are in use\n",
         "", "503 Service Unavailable", "text/plain; charset=utf-8", "", "refused: all 4 viewers are in use\n"},
        // A Location elsewhere would send the page's DELETE, with its login, out of the box's paths.
        {"a foreign Location", "POST", "/main",
         "HTTP/1.0 201 Created\r\nContent-Type: application/sdp\r\nLocation: https://elsewhere/x\r\n\r\nv=0\n", "",
         "201 Created", "application/sdp", "", "v=0\n"},
        {"no HTTP answer", "POST", "/main", "hello\n", "", "502 Bad Gateway", "text/plain; charset=utf-8", "",
         "refused: the WebRTC server gave no answer\n"},
        {"an answer cut short", "POST", "/main", kAnswer.substr(0, kAnswer.size() - 3), "", "502 Bad Gateway",
         "text/plain; charset=utf-8", "", "refused: the WebRTC server's answer was broken off\n"},
    };
    for (const Case &c : cases) {
        TempRoot root(true);
        StandInServer server(root.path("/tmp/webrtc.sock"), c.reply);
        bool post = std::string(c.method) == "POST";
        CgiResponse r = cgiExec(WHEP_CGI_BINARY, whepEnv(root, c.method, c.path, post ? "application/sdp" : "",
                                                         kOffer.size()),
                                post ? kOffer : "");
        CgiAnswer a = cgiAnswer(r);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(a.hasHeader(std::string("Status: ") + c.status)) << c.what << "\n" << a.head;
        EXPECT_TRUE(a.hasHeader(std::string("Content-type: ") + c.type)) << c.what << "\n" << a.head;
        EXPECT_NE(a.head.find(kAnswerHeaders), std::string::npos) << c.what << "\n" << a.head;
        EXPECT_EQ(a.head.find("Location:") != std::string::npos, *c.location != '\0') << c.what << "\n" << a.head;
        if (*c.location != '\0') {
            EXPECT_TRUE(a.hasHeader(std::string("Location: ") + c.location)) << c.what << "\n" << a.head;
        }
        EXPECT_EQ(a.body, c.body) << c.what;
        std::vector<std::string> got = server.requests();
        ASSERT_EQ(got.size(), 1u) << c.what;
        if (!c.request.empty()) {
            EXPECT_EQ(got[0], c.request) << c.what;
        }
    }
}

// Requests the program refuses itself: one line each, the server never asked.
TEST(WhepCgi, RefusesWithOneLine)
{
    struct Case {
        const char *what;
        const char *method;
        const char *path;
        std::string type; // "" for no body
        std::string body;
        const char *status;
        const char *line;
        std::vector<std::string> env = {};
        size_t length = std::string::npos; // the declared length, when not the body's
    };
    const std::vector<Case> cases = {
        {"a GET", "GET", "/main", "", "", "405 Method Not Allowed", "refused: a stream is asked for with POST"},
        {"a DELETE of a stream", "DELETE", "/main", "", "", "405 Method Not Allowed",
         "refused: a stream is asked for with POST"},
        {"a POST to a session", "POST", "/main/a1b2", "application/sdp", kOffer, "405 Method Not Allowed",
         "refused: a session is ended with DELETE"},
        {"an unknown stream", "POST", "/third", "application/sdp", kOffer, "404 Not Found",
         "refused: no such stream; the streams are /whep/main and /whep/second"},
        {"no stream", "POST", "", "application/sdp", kOffer, "404 Not Found",
         "refused: no such stream; the streams are /whep/main and /whep/second"},
        {"an id with a line end", "DELETE", "/main/a1\r\nX: y", "", "", "404 Not Found",
         "refused: no such stream; the streams are /whep/main and /whep/second"},
        {"a form", "POST", "/main", "application/x-www-form-urlencoded", "a=b", "415 Unsupported Media Type",
         "refused: the offer is sent as application/sdp"},
        {"an offer over 64 KiB", "POST", "/main", "application/sdp", kOffer + std::string(65536, 'a'),
         "413 Content Too Large", "refused: an offer is at most 65536 bytes"},
        // Refused by its declared length: nothing of it is read.
        {"a declared length over 64 KiB", "POST", "/main", "application/sdp", kOffer, "413 Content Too Large",
         "refused: an offer is at most 65536 bytes", {}, 1u << 30},
        {"an offer with a NUL", "POST", "/main", "application/sdp", kOffer + std::string(1, '\0') + "x",
         "400 Bad Request", "refused: the offer is not text"},
        {"a binary offer", "POST", "/main", "application/sdp", "v=0\r\n\xC3\x28\r\n", "400 Bad Request",
         "refused: the offer is not text"},
        {"an empty offer", "POST", "/main", "application/sdp", "", "400 Bad Request", "refused: no offer was sent"},
        {"an offer cut short", "POST", "/main", "application/sdp", kOffer, "400 Bad Request",
         "refused: the offer was cut short", {}, kOffer.size() + 10},
        {"no login", "POST", "/main", "application/sdp", kOffer, "401 Unauthorized", "refused: log in first",
         {"HTTP_AUTHORIZATION"}},
        {"another host", "POST", "/main", "application/sdp", kOffer, "403 Forbidden",
         "refused: the request named another host than this box; nothing changed", {"HTTP_HOST=evil.example"}},
        {"another site's page", "POST", "/main", "application/sdp", kOffer, "403 Forbidden",
         "refused: the request came from a page of another site; nothing changed",
         {"HTTP_ORIGIN=https://evil.example"}},
    };
    for (const Case &c : cases) {
        TempRoot root(true);
        StandInServer server(root.path("/tmp/webrtc.sock"), kAnswer);
        size_t length = c.length != std::string::npos ? c.length : c.body.size();
        std::vector<std::string> env = whepEnv(root, c.method, c.path, c.type, length);
        for (const std::string &e : c.env) {
            cgiEnvSet(env, e);
        }
        CgiResponse r = cgiExec(WHEP_CGI_BINARY, env, c.body);
        CgiAnswer a = cgiAnswer(r);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(a.hasHeader(std::string("Status: ") + c.status)) << c.what << "\n" << a.head;
        EXPECT_NE(a.head.find("Content-type: text/plain"), std::string::npos) << c.what << "\n" << a.head;
        EXPECT_EQ(a.body, std::string(c.line) + "\n") << c.what;
        EXPECT_TRUE(server.requests().empty()) << c.what;
        if (std::string(c.status).rfind("405", 0) == 0) {
            EXPECT_NE(a.head.find("Allow: "), std::string::npos) << c.what << "\n" << a.head;
        }
    }
}

// Without a server the page is told so; a server that takes the request and says nothing holds it
// no longer than the exchange's bound.
TEST(WhepCgi, AnAbsentOrSilentServer)
{
    TempRoot root(true);
    auto post = [&root] {
        return cgiAnswer(cgiExec(WHEP_CGI_BINARY, whepEnv(root, "POST", "/main", "application/sdp", kOffer.size()),
                                 kOffer));
    };
    CgiAnswer a = post();
    EXPECT_TRUE(a.hasHeader("Status: 503 Service Unavailable")) << a.head;
    EXPECT_EQ(a.body, "refused: the WebRTC server is not running\n");

    // A socket file left by a server that is gone.
    {
        StandInServer gone(root.path("/tmp/webrtc.sock"), kAnswer);
    }
    a = post();
    EXPECT_TRUE(a.hasHeader("Status: 503 Service Unavailable")) << a.head;
    EXPECT_EQ(a.body, "refused: the WebRTC server is not running\n");
    ::unlink(root.path("/tmp/webrtc.sock").c_str());

    StandInServer silent(root.path("/tmp/webrtc.sock"), "");
    auto start = std::chrono::steady_clock::now();
    a = post();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(a.hasHeader("Status: 504 Gateway Timeout")) << a.head;
    EXPECT_EQ(a.body, "refused: the WebRTC server did not answer in time\n");
    EXPECT_GE(took, 9.5);
    EXPECT_LT(took, 20.0);
}
