// hls_cgi as the web server runs it, over a temporary root's dev/shm/hls: the encoder's files with
// their types and lengths, behind the login unless hls.ini makes them public, and every name that is
// not one of the encoder's refused without a byte of anything else.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

CgiAnswer ask(const TempRoot &root, const char *method, const std::string &path, bool login)
{
    std::vector<std::string> env = cgiBaseEnv(root.dir(), method);
    cgiEnvSet(env, "SCRIPT_NAME=/hls");
    env.push_back("PATH_INFO=" + path);
    if (!login) {
        cgiEnvSet(env, "HTTP_AUTHORIZATION");
    }
    return cgiAnswer(cgiExec(HLS_CGI_BINARY, env, ""));
}

TEST(HlsCgi, ServesTheEncodersFilesOnlyAndOnlyToTheLogin)
{
    TempRoot root(true);
    std::filesystem::create_directories(root.path("/dev/shm/hls"));
    const std::string segment(200000, '\x47'); // larger than a chunk of the program's
    root.write("/dev/shm/hls/main.m3u8", "#EXTM3U\n");
    root.write("/dev/shm/hls/main_17.ts", segment);
    root.write("/secret.ts", "not HLS");
    ::symlink(root.path("/secret.ts").c_str(), root.path("/dev/shm/hls/link.ts").c_str());
    struct Case {
        const char *what;
        const char *method;
        const char *path;
        bool login;
        const char *hls; // hls.ini; null: none
        const char *status;
        const char *type;
        std::string body;
    } cases[] = {
        {"a playlist", "GET", "/main.m3u8", true, nullptr, nullptr, "application/vnd.apple.mpegurl", "#EXTM3U\n"},
        {"a segment, whole", "GET", "/main_17.ts", true, nullptr, nullptr, "video/mp2t", segment},
        {"its head", "HEAD", "/main_17.ts", true, nullptr, nullptr, "video/mp2t", ""},
        {"no login", "GET", "/main.m3u8", false, "enable=1\npublic=0\n", "401", "text/plain", ""},
        {"public", "GET", "/main.m3u8", false, "enable=1\npublic=1\n", nullptr, "application/vnd.apple.mpegurl",
         "#EXTM3U\n"},
        // A file the encoder refuses is no reason to open the box.
        {"a bad hls.ini is not public", "GET", "/main.m3u8", false, "public=1\nsegment=99\n", "401", "text/plain", ""},
        {"a change", "POST", "/main.m3u8", true, nullptr, "405", "text/plain", ""},
        {"a path out", "GET", "/../../secret.ts", true, nullptr, "404", "text/plain", ""},
        {"another type", "GET", "/main.html", true, nullptr, "404", "text/plain", ""},
        {"upper case", "GET", "/MAIN.m3u8", true, nullptr, "404", "text/plain", ""},
        {"a link", "GET", "/link.ts", true, nullptr, "404", "text/plain", ""},
        {"gone", "GET", "/main_16.ts", true, nullptr, "404", "text/plain", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.hls != nullptr) {
            root.write("/mnt/hls.ini", c.hls);
        } else {
            std::filesystem::remove(root.path("/mnt/hls.ini"));
        }
        CgiAnswer a = ask(root, c.method, c.path, c.login);
        if (c.status == nullptr) {
            EXPECT_TRUE(a.hasHeader("Status: 200 OK")) << a.head;
            EXPECT_TRUE(a.hasHeader("Content-Length: " + std::to_string(std::string(c.path) == "/main.m3u8" ? 8 : segment.size())))
                << a.head;
            EXPECT_EQ(a.body, c.body);
        } else {
            EXPECT_NE(a.head.find(std::string("Status: ") + c.status), std::string::npos) << a.head;
            EXPECT_EQ(a.body.find("not HLS"), std::string::npos);
            EXPECT_EQ(a.body.find('\n'), a.body.size() - 1) << a.body; // one line
        }
        EXPECT_NE(a.head.find(std::string("Content-type: ") + c.type), std::string::npos) << a.head;
    }
}

} // namespace
