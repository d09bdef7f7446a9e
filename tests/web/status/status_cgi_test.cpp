// status_cgi run as a CGI: the status, the preview picture and the log's last lines, each with its
// type and never cached; a missing file is a 404 with one line; nothing is ever written.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string sampleStatus()
{
    std::ifstream in(std::string(ENCODE_SOURCE_DIR) + "/tests/web/status/encode.status");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string numberedLines(int from, int to)
{
    std::string s;
    for (int i = from; i <= to; i++) {
        s += "line " + std::to_string(i) + "\n";
    }
    return s;
}

} // namespace

TEST(StatusCgi, AnswersByWhat)
{
    const std::string jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF\0\xFF\xD9", 14);
    // The log: 250 lines, the last one in GB2312 ("中文" between two words) and without a line end.
    const std::string log = numberedLines(1, 249) + "GB \xD6\xD0\xCE\xC4 end";
    struct Case {
        const char *what;
        const char *query;
        bool present;
        const char *status; // "" for 200
        const char *type;
        std::string body;
        std::vector<std::string> env = {}; // over the runner's defaults
    };
    const std::vector<Case> cases = {
        {"status", "", true, "", "application/json", sampleStatus()},
        {"status by name", "what=status", true, "", "application/json", sampleStatus()},
        {"picture", "what=jpeg", true, "", "image/jpeg", jpeg},
        {"log", "what=log", true, "", "text/plain; charset=utf-8",
         numberedLines(51, 249) + "GB \xE4\xB8\xAD\xE6\x96\x87 end\n"},
        {"no status", "", false, "404 Not Found", "text/plain; charset=utf-8",
         "/tmp/encode.status is missing: the encoder has not written it\n"},
        {"no picture", "what=jpeg", false, "404 Not Found", "text/plain; charset=utf-8",
         "/tmp/encode.jpg is missing: the encoder has not written it\n"},
        {"no log", "what=log", false, "404 Not Found", "text/plain; charset=utf-8",
         "/tmp/encode.log is missing: the encoder has not written it\n"},
        {"unknown", "what=config", true, "400 Bad Request", "text/plain; charset=utf-8",
         "what= takes status, jpeg or log\n"},
        {"a NUL in what", "what=log%00", true, "400 Bad Request", "text/plain; charset=utf-8",
         "what= takes status, jpeg or log\n"},
        // Another site's name on the box's address (DNS rebinding) reads nothing.
        {"another host", "what=log", true, "403 Forbidden", "text/plain",
         "refused: the request named another host than this box; nothing changed\n", {"HTTP_HOST=evil.example"}},
        {"the box's address", "what=jpeg", true, "", "image/jpeg", jpeg, {"HTTP_HOST=[::1]:8443"}},
        // Nothing without the login.
        {"no login", "what=status", true, "401 Unauthorized", "text/plain", "refused: log in first\n",
         {"HTTP_AUTHORIZATION"}},
    };
    for (const Case &c : cases) {
        TempRoot root(true); // the factory login, which the runner's requests carry
        if (c.present) {
            root.write("/tmp/encode.status", sampleStatus());
            root.write("/tmp/encode.jpg", jpeg);
            root.write("/tmp/encode.log", log);
        }
        auto before = treeSnapshot(root.dir());
        std::vector<std::string> env = cgiBaseEnv(root.dir(), "GET");
        env.push_back("QUERY_STRING=" + std::string(c.query));
        for (const std::string &e : c.env) {
            cgiEnvSet(env, e);
        }
        CgiResponse r = cgiExec(STATUS_CGI_BINARY, env, "");
        CgiAnswer a = cgiAnswer(r);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(a.hasHeader(std::string("Status: ") + c.status), *c.status != '\0') << c.what << "\n" << a.head;
        // Every answer carries the form layer's headers, each once (the status program used to write its
        // own Cache-Control).
        EXPECT_NE(a.head.find(kAnswerHeaders), std::string::npos) << c.what << "\n" << a.head;
        EXPECT_EQ(a.head.find("Cache-Control"), a.head.rfind("Cache-Control")) << c.what << "\n" << a.head;
        EXPECT_TRUE(a.hasHeader(std::string("Content-type: ") + c.type)) << c.what << "\n" << a.head;
        if (std::string(c.type) == "application/json") {
            // Without the WebRTC server's file its member says it is off.
            nlohmann::json want = nlohmann::json::parse(c.body);
            want["webrtc"] = {{"state", "off"}};
            EXPECT_EQ(nlohmann::json::parse(a.body, nullptr, false), want) << c.what;
        } else {
            EXPECT_EQ(a.body, c.body) << c.what;
        }
        EXPECT_EQ(treeSnapshot(root.dir()), before) << c.what;
    }
    EXPECT_FALSE(nlohmann::json::parse(sampleStatus(), nullptr, false).is_discarded());
}

// The WebRTC server's status becomes the "webrtc" member of the one document, read with the same
// bounds; whatever is wrong with it, the encoder's status around it stays whole.
TEST(StatusCgi, CarriesTheWebrtcStatus)
{
    const std::string webrtc =
        R"({"state":"ok","error":"","viewers_max":4,"streams":{"main":{"reading":true,"units":123}},)"
        R"("viewers":[{"id":"a1b2c3","stream":"main","address":"192.0.2.7","state":"connected","rtt_ms":3.2,)"
        R"("bitrate_kbps":2100,"packets_lost":0,"connected_s":12}],)"
        R"("whip":{"kind":"whip","name":"WHIP","target":"https://host/path","state":"waiting","bytes":0,)"
        R"("dropped":0,"reconnects":1,"retry_in_s":2,"error":"connect failed"}})";
    struct Case {
        const char *what;
        std::string status; // the encoder's file
        std::string file;   // the WebRTC server's; "<fifo>" for a pipe in its place, "" for none
        nlohmann::json member;
    };
    const nlohmann::json off = {{"state", "off"}};
    const std::vector<Case> cases = {
        {"a running server", sampleStatus(), webrtc, nlohmann::json::parse(webrtc)},
        {"no server", sampleStatus(), "", off},
        {"an empty encoder status", "{ }\n", webrtc, nlohmann::json::parse(webrtc)},
        {"a broken file", sampleStatus(), R"({"state":"ok","viewers":[)",
         {{"state", "error"}, {"error", "/tmp/webrtc.status is not a JSON object"}}},
        {"not an object", sampleStatus(), "[1,2]",
         {{"state", "error"}, {"error", "/tmp/webrtc.status is not a JSON object"}}},
        {"over the bound", sampleStatus(), "{\"pad\":\"" + std::string(256 * 1024, 'x') + "\"}",
         {{"state", "error"}, {"error", "/tmp/webrtc.status cannot be read"}}},
        {"a pipe in its place", sampleStatus(), "<fifo>",
         {{"state", "error"}, {"error", "/tmp/webrtc.status cannot be read"}}},
    };
    for (const Case &c : cases) {
        TempRoot root(true);
        root.write("/tmp/encode.status", c.status);
        if (c.file == "<fifo>") {
            ASSERT_EQ(mkfifo(root.path("/tmp/webrtc.status").c_str(), 0600), 0);
        } else if (!c.file.empty()) {
            root.write("/tmp/webrtc.status", c.file);
        }
        CgiAnswer a = cgiAnswer(cgiGet(STATUS_CGI_BINARY, root.dir(), ""));
        EXPECT_TRUE(a.hasHeader("Content-type: application/json")) << c.what << "\n" << a.head;
        nlohmann::json got = nlohmann::json::parse(a.body, nullptr, false);
        ASSERT_TRUE(got.is_object()) << c.what << "\n" << a.body.substr(0, 300);
        EXPECT_EQ(got["webrtc"], c.member) << c.what;
        got.erase("webrtc");
        EXPECT_EQ(got, nlohmann::json::parse(c.status)) << c.what;
    }
}

// The log is read from its end with a bound: a long log still gives its last lines, whole.
TEST(StatusCgi, LongLogGivesItsLastWholeLines)
{
    TempRoot root(true);
    std::string log = std::string(600 * 1024, 'x') + "\n" + numberedLines(1, 300);
    root.write("/tmp/encode.log", log);
    CgiAnswer a = cgiAnswer(cgiGet(STATUS_CGI_BINARY, root.dir(), "what=log"));
    EXPECT_EQ(a.body, numberedLines(101, 300));

    // A log of fewer lines than the window and no line at all.
    root.write("/tmp/encode.log", "only\n");
    EXPECT_EQ(cgiAnswer(cgiGet(STATUS_CGI_BINARY, root.dir(), "what=log")).body, "only\n");
    root.write("/tmp/encode.log", "");
    EXPECT_EQ(cgiAnswer(cgiGet(STATUS_CGI_BINARY, root.dir(), "what=log")).body, "");
}

// Files beyond their bound, and what is not a regular file, are refused with one line; a pipe in the
// status file's place does not hold the request.
TEST(StatusCgi, OversizeAndOddFilesAreRefused)
{
    TempRoot root(true);
    root.write("/tmp/encode.jpg", std::string(4 * 1024 * 1024 + 1, '\xFF'));
    ASSERT_EQ(mkfifo(root.path("/tmp/encode.status").c_str(), 0600), 0);
    CgiAnswer a = cgiAnswer(cgiGet(STATUS_CGI_BINARY, root.dir(), "what=jpeg"));
    EXPECT_TRUE(a.hasHeader("Status: 500 Internal Server Error")) << a.head;
    EXPECT_EQ(a.body, "/tmp/encode.jpg is larger than 4194304 bytes\n");
    a = cgiAnswer(cgiGet(STATUS_CGI_BINARY, root.dir(), ""));
    EXPECT_TRUE(a.hasHeader("Status: 500 Internal Server Error")) << a.head;
    EXPECT_EQ(a.body, "/tmp/encode.status cannot be read\n");
}

// Only GET and HEAD are answered; a POST is refused before its body is read, so not even an upload's
// temporary file is made.
TEST(StatusCgi, PostIsRefusedAndWritesNothing)
{
    TempRoot root(true);
    root.write("/tmp/encode.status", sampleStatus());
    auto before = treeSnapshot(root.dir());
    CgiResponse r = cgiPostMultipart(STATUS_CGI_BINARY, root.dir(), {{"what", "log"}});
    CgiAnswer a = cgiAnswer(r);
    EXPECT_TRUE(a.hasHeader("Status: 405 Method Not Allowed")) << a.head;
    EXPECT_TRUE(a.hasHeader("Allow: GET, HEAD")) << a.head;
    EXPECT_NE(a.head.find(kAnswerHeaders), std::string::npos) << a.head;
    EXPECT_EQ(treeSnapshot(root.dir()), before);
}
