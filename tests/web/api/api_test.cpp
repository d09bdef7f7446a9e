// The JSON API run as the web server runs it, in a factory root: every call good and refused, what a
// refused change leaves (nothing), the backup and restore and the factory reset round trips, two
// clients changing settings at once, and the OpenAPI document against the OpenAPI 3.0 schema.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"
#include "web/form/api_token.h"

#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

using nlohmann::json;

namespace {

struct Answer {
    int code = 0;
    json body;
    std::string head;
};

class ApiTest : public ::testing::Test {
protected:
    TempRoot root{true};

    Answer call(const std::string &method, const std::string &path, const std::string &body = "",
                const std::vector<std::string> &extra = {}, const std::string &query = "")
    {
        std::vector<std::string> env = cgiBaseEnv(root.dir(), method);
        env.push_back("PATH_INFO=" + path);
        env.push_back("SCRIPT_NAME=/api/v1");
        env.push_back("QUERY_STRING=" + query);
        env.push_back("CONTENT_TYPE=application/json");
        env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
        for (const std::string &e : extra) {
            cgiEnvSet(env, e);
        }
        CgiAnswer a = cgiAnswer(cgiExec(API_CGI_BINARY, env, body));
        Answer r;
        r.head = a.head;
        r.code = a.head.rfind("Status: ", 0) == 0 ? std::stoi(a.head.substr(8, 3)) : 200;
        r.body = json::parse(a.body, nullptr, false);
        return r;
    }

    json settings() { return call("GET", "/settings").body["settings"]; }

    std::map<std::string, std::string> store() const
    {
        auto all = treeSnapshot(root.dir() + "/mnt");
        return all;
    }
};

TEST_F(ApiTest, EveryCallGoodAndRefused)
{
    std::filesystem::copy_file(ENCODE_SOURCE_DIR "/tests/web/status/encode.status", root.path("/tmp/encode.status"));
    root.write("/tmp/encode.log", "first line\nsecond line\n");
    struct Case {
        const char *method;
        const char *path;
        std::string body;
        std::vector<std::string> env;
        int code;
        const char *holds; // a text of the answer's JSON
    };
    const std::string noLogin = "HTTP_AUTHORIZATION";
    const std::string wrongLogin = "HTTP_AUTHORIZATION=Basic YWRtaW46d3Jvbmc=";
    const std::vector<Case> cases = {
        {"GET", "/status", "", {}, 200, "\"streams\""},
        {"GET", "/settings", "", {}, 200, "\"Video encoding\""},
        {"GET", "/log", "", {}, 200, "second line"},
        {"GET", "/openapi.json", "", {}, 200, "\"openapi\":\"3.0.3\""},
        {"GET", "/backup", "", {}, 200, "\"encoder settings\""},
        {"HEAD", "/settings", "", {}, 200, ""},
        {"GET", "/settings", "", {noLogin}, 401, "log in first"},
        {"GET", "/settings", "", {wrongLogin}, 401, "log in first"},
        {"GET", "/settings", "", {"HTTP_HOST=evil.example"}, 403, ""},
        {"PATCH", "/settings", R"({"bitrate": 1})", {"HTTP_ORIGIN=https://evil.example"}, 403, ""},
        {"DELETE", "/settings", "", {}, 405, "takes GET, PATCH"},
        {"GET", "/restart", "", {}, 405, "takes POST"},
        {"GET", "/nothing", "", {}, 404, "no such call"},
        {"PATCH", "/settings", "{", {}, 400, "not JSON"},
        {"PATCH", "/settings", "[1]", {}, 422, "a JSON object"},
        {"POST", "/keyframe", R"({"stream": "third"})", {}, 400, "main"},
        {"POST", "/keyframe", "", {}, 503, "not running"},
        {"POST", "/restore", R"({"format": 1})", {}, 422, "not a backup"},
        {"POST", "/restore", R"({"backup": "encoder settings", "format": 9, "settings": {}})", {}, 422,
         "newer software"},
        {"POST", "/factory-reset", R"({"keep_login": "yes"})", {}, 400, "keep_login"},
    };
    auto before = store();
    for (const Case &c : cases) {
        Answer a = call(c.method, c.path, c.body, c.env);
        EXPECT_EQ(a.code, c.code) << c.method << " " << c.path << " " << c.body;
        if (c.holds[0] != '\0') {
            EXPECT_NE(a.body.dump().find(c.holds), std::string::npos) << c.method << " " << c.path << ": " << a.body;
        }
        if (a.code >= 400) {
            EXPECT_TRUE(a.head.find("application/json") != std::string::npos) << c.path;
        }
    }
    EXPECT_EQ(store(), before) << "a refused or reading call changed the store";

    // A change, and the restart and key frame the box is asked for.
    Answer changed = call("PATCH", "/settings", R"({"Video encoding": {"bitrate": 3000000}, "hls_public": "open"})");
    ASSERT_EQ(changed.code, 200) << changed.body;
    EXPECT_EQ(settings()["Video encoding"]["bitrate"], 3000000);
    EXPECT_EQ(settings()["HLS output"]["hls_public"], "open");
    std::string effects;
    for (const json &c : changed.body["changed"]) {
        effects += c["name"].get<std::string>() + ":" + c["takes_effect"].get<std::string>() + " ";
    }
    EXPECT_EQ(effects, "hls_public:at once bitrate:at restart ");
    EXPECT_EQ(call("POST", "/restart").code, 202);
    EXPECT_NE(root.read("/tmp/shell.log").find("reboot"), std::string::npos);

    int sock = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string ctl = root.path("/tmp/encode.ctl");
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", ctl.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(call("POST", "/keyframe", R"({"stream": "second"})").code, 202);
    EXPECT_EQ(call("POST", "/keyframe").code, 202);
    char got[64] = {};
    EXPECT_EQ(::recv(sock, got, sizeof got - 1, 0), 15);
    EXPECT_STREQ(got, "keyframe second");
    std::fill(std::begin(got), std::end(got), 0);
    EXPECT_EQ(::recv(sock, got, sizeof got - 1, 0), 13);
    EXPECT_STREQ(got, "keyframe main");
    ::close(sock);
}

// Every value is checked by the page's own action, all before any is written: one refusal among good
// changes changes nothing and names every refused field with the page's reason.
TEST_F(ApiTest, ARefusedChangeChangesNothing)
{
    auto before = store();
    Answer a = call("PATCH", "/settings",
                    R"({"bitrate": 2000000, "tz": "1.2.3.400", "srt_passphrase": "short", "hls_segment": "2",
                        "ctrlaz": "tcp", "nosuch": 1, "fi": 0, "mg_x": 64, "mg_y": 32})");
    ASSERT_EQ(a.code, 422) << a.body;
    std::map<std::string, std::string> refused;
    for (const json &r : a.body["refused"]) {
        refused[r["name"]] = r["reason"];
    }
    EXPECT_EQ(refused.size(), 6u) << a.body;
    EXPECT_NE(refused["nosuch"].find("no such setting"), std::string::npos);
    EXPECT_NE(refused["hls_segment"].find("whole number"), std::string::npos);
    EXPECT_NE(refused["ctrlaz"].find("\"udp\""), std::string::npos);
    // These three are the pages' own refusals, found by running their actions.
    EXPECT_NE(refused["tz"].find("refused tz"), std::string::npos) << refused["tz"];
    EXPECT_NE(refused["srt_passphrase"].find("10..79"), std::string::npos) << refused["srt_passphrase"];
    EXPECT_NE(refused["fi"].find("refused fi"), std::string::npos) << refused["fi"];
    EXPECT_EQ(store(), before);

    // The good ones alone go through, the mask's pair as one action.
    Answer good = call("PATCH", "/settings", R"({"bitrate": 2000000, "mg_x": 64, "mg_y": 32, "ip": "192.168.1.100"})");
    ASSERT_EQ(good.code, 200) << good.body;
    EXPECT_EQ(good.body["unchanged"], json::array({"ip"}));
    EXPECT_EQ(settings()["Privacy mask and region of interest"]["mg_x"], 80); // the page's 16-pixel grid
    EXPECT_EQ(settings()["Privacy mask and region of interest"]["mg_y"], 48);
    EXPECT_TRUE(root.exists("/mnt/autorun.sh.swp")); // kept as the page keeps it
    EXPECT_TRUE(std::filesystem::is_empty(root.path("/tmp/api"))) << "a stage was left behind";
}

// Backed up (with the secrets), three settings changed, restored: the three are back, and so is the
// secret; without the secrets a restore keeps the box's own.
TEST_F(ApiTest, BackupAndRestoreBringTheSettingsBack)
{
    // The factory Wi-Fi passphrase is shorter than the page's rule takes today: the box's own backup
    // must restore all the same.
    ASSERT_EQ(call("PATCH", "/settings", R"({"srt_passphrase": "a-long-passphrase"})").code, 200);
    Answer backup = call("GET", "/backup", "", {}, "secrets=1");
    ASSERT_EQ(backup.code, 200);
    EXPECT_NE(backup.head.find("attachment"), std::string::npos);
    EXPECT_EQ(backup.body["secrets"]["srt_passphrase"], "a-long-passphrase");
    EXPECT_EQ(backup.body["secrets"]["passkey"], "coder");
    EXPECT_NE(backup.body["start_script"].get<std::string>().find("bitrate=4000000"), std::string::npos);
    EXPECT_FALSE(call("GET", "/backup").body.contains("secrets"));
    json original = settings();

    ASSERT_EQ(call("PATCH", "/settings",
                   R"({"bitrate": 1500000, "hls_enable": "on", "sbnt": "on", "srt_passphrase": "another-passphrase"})")
                  .code,
              200);
    ASSERT_NE(settings(), original);
    Answer restored = call("POST", "/restore", backup.body.dump());
    ASSERT_EQ(restored.code, 200) << restored.body;
    EXPECT_EQ(settings(), original);
    EXPECT_NE(root.read("/mnt/srt.ini").find("a-long-passphrase"), std::string::npos);

    // Another software's file: a setting it has and this one lacks is named, not refused; a bad value
    // refuses the whole file.
    json other = backup.body;
    other.erase("secrets");
    other["software"] = "0.0.1";
    other["settings"]["Video encoding"]["bitrate"] = 2500000;
    other["settings"]["Gone"] = {{"old_setting", 1}};
    Answer read = call("POST", "/restore", other.dump());
    ASSERT_EQ(read.code, 200) << read.body;
    EXPECT_EQ(read.body["ignored"][0]["name"], "Gone");
    EXPECT_EQ(settings()["Video encoding"]["bitrate"], 2500000);
    EXPECT_NE(root.read("/mnt/srt.ini").find("a-long-passphrase"), std::string::npos);
    other["settings"]["Video encoding"]["bitrate"] = 3000000;
    other["settings"]["Transport stream output"]["tz"] = "not an address";
    auto before = store();
    EXPECT_EQ(call("POST", "/restore", other.dump()).code, 422);
    EXPECT_EQ(store(), before);
}

TEST_F(ApiTest, FactoryResetKeepsTheLoginUnlessAsked)
{
    std::string login = root.read("/mnt/web.passwd");
    root.write("/mnt/web.passwd", login + "\n"); // a login the factory store does not hold
    ASSERT_EQ(call("PATCH", "/settings", R"({"bitrate": 1500000, "hls_enable": "on"})").code, 200);
    Answer reset = call("POST", "/factory-reset", "{}");
    ASSERT_EQ(reset.code, 200) << reset.body;
    EXPECT_EQ(settings()["Video encoding"]["bitrate"], 4000000);
    EXPECT_EQ(settings()["HLS output"]["hls_enable"], "off");
    EXPECT_EQ(root.read("/mnt/web.passwd"), login + "\n");
    ASSERT_EQ(call("POST", "/factory-reset", R"({"keep_login": false})").code, 200);
    EXPECT_EQ(root.read("/mnt/web.passwd"), login);
}

// A read-only token reads everything but the secrets and changes nothing.
TEST_F(ApiTest, AReadTokenOnlyReads)
{
    std::string secret;
    std::string why;
    ApiTokenInfo info{};
    ASSERT_TRUE(ApiToken_make("monitor", TokenScope::Read, &secret, &info, &why)) << why;
    std::vector<std::string> env = {"HTTP_AUTHORIZATION=Bearer " + secret};
    EXPECT_EQ(call("GET", "/settings", "", env).code, 200);
    EXPECT_EQ(call("GET", "/backup", "", env).code, 200);
    EXPECT_EQ(call("GET", "/backup", "", env, "secrets=1").code, 403);
    for (const char *path : {"/restart", "/keyframe", "/restore", "/factory-reset"}) {
        EXPECT_EQ(call("POST", path, "{}", env).code, 403) << path;
    }
    EXPECT_EQ(call("PATCH", "/settings", R"({"bitrate": 1500000})", env).code, 403);
    EXPECT_EQ(settings()["Video encoding"]["bitrate"], 4000000);
}

// Two clients change different settings of one file 100 times each at once: the store's lock keeps
// every read-modify-write whole, so both last values are there and every file is whole.
TEST_F(ApiTest, TwoClientsAtOnceLoseNothing)
{
    constexpr int kRounds = 100;
    auto client = [this](const char *name, int base, int *failures) {
        for (int i = 1; i <= kRounds; i++) {
            Answer a = call("PATCH", "/settings", json{{name, base + i}}.dump());
            *failures += a.code == 200 ? 0 : 1;
        }
    };
    int failuresA = 0;
    int failuresB = 0;
    std::thread a(client, "bitrate", 1000000, &failuresA);
    std::thread b(client, "framerate", 0, &failuresB);
    a.join();
    b.join();
    EXPECT_EQ(failuresA + failuresB, 0);
    json now = settings();
    EXPECT_EQ(now["Video encoding"]["bitrate"], 1000000 + kRounds);
    EXPECT_EQ(now["Video encoding"]["framerate"], kRounds);
    std::string script = root.read("/mnt/autorun.sh");
    EXPECT_NE(script.find("\nbitrate=" + std::to_string(1000000 + kRounds) + "\n"), std::string::npos);
    EXPECT_NE(script.find("\nframerate=" + std::to_string(kRounds) + "\n"), std::string::npos);
    EXPECT_EQ(script.substr(script.size() - 20), root.read("/mnt/autorun.sh.swp").substr(
                                                     root.read("/mnt/autorun.sh.swp").size() - 20))
        << "the script's body after its block is whole";
}

// The document is valid OpenAPI 3.0 (the standard's own JSON schema) and names every setting the
// API answers, with the type of its value.
TEST_F(ApiTest, OpenApiDocumentIsValidAndNamesEverySetting)
{
    Answer doc = call("GET", "/openapi.json");
    ASSERT_EQ(doc.code, 200);
    std::string path = root.path("/tmp/openapi.json");
    std::ofstream(path) << doc.body.dump();
    std::string cmd =
        "/usr/bin/python3 " ENCODE_SOURCE_DIR "/tests/web/api/openapi_check.py " + path + " " OPENAPI_SCHEMA;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const json &schema = doc.body["components"]["schemas"]["Settings"]["properties"];
    json values = settings();
    for (const auto &[group, names] : values.items()) {
        for (const auto &[name, value] : names.items()) {
            const json &s = schema[group]["properties"][name];
            ASSERT_TRUE(s.is_object()) << group << "/" << name;
            if (value.is_number()) {
                EXPECT_EQ(s["type"], "integer") << name;
            } else if (value.is_string() && s.contains("enum")) {
                EXPECT_NE(s["enum"].dump().find(value.dump()), std::string::npos) << name;
            }
        }
    }
}

} // namespace
