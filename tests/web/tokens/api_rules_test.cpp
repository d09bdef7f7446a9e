// The JSON API's request rules in a program of its shape: each refusal is a whole JSON answer with
// the form programs' status and line, and the requests a client of the API makes go on with the
// scope of their login.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"
#include "web/form/api_token.h"

#include <chrono>
#include <string>
#include <vector>

namespace {

std::string secretFor(const std::string &name, TokenScope scope)
{
    std::string secret;
    std::string why;
    ApiTokenInfo info{};
    EXPECT_TRUE(ApiToken_make(name, scope, &secret, &info, &why)) << why;
    return secret;
}

TEST(ApiRequestRules, RefusalsAreJsonAndLoginsKeepTheirScope)
{
    TempRoot root{true};
    const std::string read = "HTTP_AUTHORIZATION=Bearer " + secretFor("reader", TokenScope::Read);
    const std::string write = "HTTP_AUTHORIZATION=Bearer " + secretFor("writer", TokenScope::Write);
    // An address that failed ten times, its last try just now: written right before its case, since
    // the hold lasts a second and the cases before it take longer than that under the sanitizers.
    auto guessedJustNow = [&root] {
        std::string now = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
        root.write("/tmp/web/throttle/192.0.2.20", "10 " + now + " " + now + "\n");
    };
    struct Case {
        const char *what;
        const char *method;
        std::vector<std::string> env; // over the runner's (Basic login, Host 127.0.0.1:8080)
        const char *status;           // "" when the program goes on
        const char *answer;           // its error line, or the scope it went on with
    };
    const char kForbidden[] = "403 Forbidden";
    const char kUnauthorized[] = "401 Unauthorized";
    const char kOtherHost[] = "refused: the request named another host than this box; nothing changed";
    const char kOtherSite[] = "refused: the request came from a page of another site; nothing changed";
    const char kReadOnly[] = "refused: this token may only read";
    const char kLogIn[] = "refused: log in first";
    const std::vector<Case> cases = {
        {"a read with the password", "GET", {}, "", "write"},
        {"a read with a read token", "GET", {read}, "", "read"},
        {"a change with a write token", "PATCH", {write}, "", "write"},
        {"a change with the password, from the box's page", "POST",
         {"HTTP_ORIGIN=http://127.0.0.1:8080", "HTTP_SEC_FETCH_SITE=same-origin"}, "", "write"},
        {"a read under another site's name", "GET", {"HTTP_HOST=evil.example", read}, kForbidden, kOtherHost},
        {"a change with a read token", "PATCH", {read}, kForbidden, kReadOnly},
        {"a delete with a read token", "DELETE", {read}, kForbidden, kReadOnly},
        {"a change from another site's page", "PATCH", {write, "HTTP_ORIGIN=http://evil.example"}, kForbidden,
         kOtherSite},
        {"a change the browser calls cross-site", "POST", {"HTTP_SEC_FETCH_SITE=cross-site"}, kForbidden, kOtherSite},
        {"a read from another site's page is only a read", "GET", {read, "HTTP_ORIGIN=http://evil.example"}, "",
         "read"},
        {"no login", "GET", {"HTTP_AUTHORIZATION"}, kUnauthorized, kLogIn},
        {"a wrong token", "GET", {"HTTP_AUTHORIZATION=Bearer enc_" + std::string(43, 'A')}, kUnauthorized, kLogIn},
        {"a token without its secret", "GET", {"HTTP_AUTHORIZATION=Bearer "}, kUnauthorized, kLogIn},
        {"a session that has ended", "GET", {"HTTP_AUTHORIZATION", "HTTP_COOKIE=encoder_session=" + std::string(64, 'a')},
         kUnauthorized, kLogIn},
        {"an address that keeps guessing", "GET", {write, "REMOTE_ADDR=192.0.2.20"}, "429 Too Many Requests",
         "refused: too many failed logins from this address; try again in a second"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> env = cgiBaseEnv(root.dir(), c.method);
        for (const std::string &e : c.env) {
            cgiEnvSet(env, e);
            if (e == "REMOTE_ADDR=192.0.2.20") {
                guessedJustNow();
            }
        }
        CgiAnswer a = cgiAnswer(cgiExec(API_RULES_CGI_BINARY, env, ""));
        EXPECT_TRUE(a.hasHeader("Content-type: application/json")) << c.what << "\n" << a.head;
        nlohmann::json doc = nlohmann::json::parse(a.body, nullptr, false);
        if (*c.status == 0) {
            EXPECT_EQ(a.head.find("Status:"), std::string::npos) << c.what << "\n" << a.head;
            EXPECT_EQ(doc, nlohmann::json({{"scope", c.answer}})) << c.what << "\n" << a.body;
            continue;
        }
        EXPECT_TRUE(a.hasHeader(std::string("Status: ") + c.status)) << c.what << "\n" << a.head;
        EXPECT_EQ(doc, nlohmann::json({{"error", c.answer}})) << c.what << "\n" << a.body;
        EXPECT_EQ(a.hasHeader("Set-Cookie: encoder_session=; Max-Age=0; Path=/; HttpOnly; SameSite=Strict"),
                  std::string(c.what) == "a session that has ended")
            << c.what << "\n" << a.head;
    }
}

} // namespace
