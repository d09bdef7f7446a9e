// API tokens: the store's rules (names, duplicates, the limit, what the file holds, revoking, a damaged
// file), then the programs as the web server runs them with "Authorization: Bearer": a read token
// reads and never changes, a write token changes, a wrong one is refused and counts as a guess, and
// tokens.cgi's own answers.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"
#include "web/form/api_token.h"

#include <sys/stat.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

// The form layer's entry point names a program; the store's rules tested here need none.
int cgiMain()
{
    return 0;
}

namespace {

// The hash on a token line of the store.
std::string hashIn(const std::string &file)
{
    std::smatch m;
    return std::regex_search(file, m, std::regex(" ([0-9a-f]{64}) ")) ? m[1].str() : "";
}

std::string made(const std::string &name, TokenScope scope, ApiTokenInfo *info = nullptr)
{
    std::string secret;
    std::string why;
    ApiTokenInfo i{};
    EXPECT_TRUE(ApiToken_make(name, scope, &secret, &i, &why)) << name << ": " << why;
    if (info != nullptr) {
        *info = i;
    }
    return secret;
}

TEST(ApiTokens, NamesAreCheckedAndEachIsMadeOnce)
{
    TempRoot root;
    struct Case {
        std::string name;
        const char *refusal; // part of the reason, nullptr when it is made
    };
    const Case cases[] = {
        {"prometheus", nullptr},
        {"CI box 2.b_x-y", nullptr},
        {std::string(40, 'n'), nullptr},
        {"", "empty"},
        {std::string(41, 'n'), "longer than 40"},
        {"a/b", "only letters"},
        {"tab\there", "only letters"},
        {"line\nbreak", "only letters"},
        {"caf\xC3\xA9", "only letters"},
        {" lead", "blank"},
        {"trail ", "blank"},
        {"prometheus", "exists already"},
    };
    std::regex secretForm("enc_[A-Za-z0-9_-]{43}");
    std::vector<std::string> secrets;
    for (const Case &c : cases) {
        std::string secret;
        std::string why;
        ApiTokenInfo info{};
        bool ok = ApiToken_make(c.name, TokenScope::Write, &secret, &info, &why);
        EXPECT_EQ(ok, c.refusal == nullptr) << c.name << ": " << why;
        if (ok) {
            EXPECT_TRUE(std::regex_match(secret, secretForm)) << secret;
            EXPECT_TRUE(std::regex_match(info.id, std::regex("[0-9a-f]{8}"))) << info.id;
            EXPECT_EQ(info.name, c.name);
            secrets.push_back(secret);
        } else {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << c.name << ": " << why;
            EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        }
    }
    EXPECT_EQ(ApiToken_list().size(), 3u);
    // The store holds hashes only, and only for its owner's eyes.
    const std::string file = root.read("/mnt/web/tokens");
    for (const std::string &s : secrets) {
        EXPECT_EQ(file.find(s.substr(4)), std::string::npos);
        EXPECT_EQ(file.find(s.substr(4, 12)), std::string::npos);
    }
    struct stat st {};
    ASSERT_EQ(::stat(root.path("/mnt/web/tokens").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ApiTokens, ACheckedTokenIsUsedUntilRevoked)
{
    TempRoot root;
    ApiTokenInfo reader{};
    ApiTokenInfo writer{};
    const std::string readSecret = made("scraper", TokenScope::Read, &reader);
    const std::string writeSecret = made("deploy", TokenScope::Write, &writer);
    ASSERT_EQ(ApiToken_list().at(0).lastUsedS, 0);

    std::string wrongChar = readSecret;
    wrongChar.back() = wrongChar.back() == 'A' ? 'B' : 'A';
    struct Case {
        const char *what;
        std::string secret;
        const char *id; // the token it checks as, nullptr for none
    };
    const Case cases[] = {
        {"read token", readSecret, reader.id.c_str()},
        {"write token", writeSecret, writer.id.c_str()},
        {"one character changed", wrongChar, nullptr},
        {"cut short", readSecret.substr(0, readSecret.size() - 1), nullptr},
        {"without its prefix", readSecret.substr(4), nullptr},
        {"the stored hash itself", hashIn(root.read("/mnt/web/tokens")), nullptr},
        {"empty", "", nullptr},
    };
    for (const Case &c : cases) {
        std::optional<ApiTokenInfo> t = ApiToken_check(c.secret);
        ASSERT_EQ(t.has_value(), c.id != nullptr) << c.what;
        if (t) {
            EXPECT_EQ(t->id, c.id) << c.what;
        }
    }
    std::vector<ApiTokenInfo> listed = ApiToken_list();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].scope, TokenScope::Read);
    EXPECT_GE(listed[0].lastUsedS, listed[0].createdS) << "the use is seen in the list";

    const std::string before = root.read("/mnt/web/tokens");
    EXPECT_FALSE(ApiToken_revoke("0000000g"));
    EXPECT_FALSE(ApiToken_revoke("../../x"));
    EXPECT_EQ(root.read("/mnt/web/tokens"), before);
    EXPECT_TRUE(ApiToken_revoke(reader.id));
    EXPECT_FALSE(ApiToken_revoke(reader.id)) << "revoked twice";
    EXPECT_FALSE(ApiToken_check(readSecret).has_value());
    EXPECT_FALSE(root.exists("/tmp/web/token_use/" + reader.id));
    ASSERT_TRUE(ApiToken_check(writeSecret).has_value()) << "the other token still opens";
}

TEST(ApiTokens, NoMoreThanTheLimit)
{
    TempRoot root;
    ApiTokenInfo first{};
    made("client 0", TokenScope::Read, &first);
    for (int i = 1; i < API_TOKEN_LIMIT; i++) {
        made("client " + std::to_string(i), TokenScope::Read);
    }
    std::string secret;
    std::string why;
    ApiTokenInfo info{};
    EXPECT_FALSE(ApiToken_make("one more", TokenScope::Read, &secret, &info, &why));
    EXPECT_NE(why.find("revoke one first"), std::string::npos) << why;
    EXPECT_TRUE(ApiToken_revoke(first.id));
    EXPECT_TRUE(ApiToken_make("one more", TokenScope::Read, &secret, &info, &why)) << why;
}

// A line that is no token never opens anything and is kept as it was; a file that cannot be read
// whole opens nothing and is never written over.
TEST(ApiTokens, ADamagedFileOpensNothingAndLosesNothing)
{
    TempRoot root;
    const std::string secret = made("kept", TokenScope::Write);
    const std::string line = root.read("/mnt/web/tokens");
    const std::string hash = hashIn(line);
    made("other", TokenScope::Write);
    const std::string otherLine = root.read("/mnt/web/tokens").substr(line.size());
    struct Case {
        const char *what;
        std::string file;
        bool opens; // `secret` checks
    };
    const std::vector<Case> cases = {
        {"the line as written", line, true},
        {"among garbage lines", "garbage\n\n" + line + "# a note\n", true},
        {"another scope", "abcd0123 admin 1700000000 " + hash + " kept\n", false},
        {"an id of capitals", "ABCD0123 write 1700000000 " + hash + " kept\n", false},
        {"a creation time that is no number", "abcd0123 write 17e8 " + hash + " kept\n", false},
        {"a hash cut short", "abcd0123 write 1700000000 " + hash.substr(1) + " kept\n", false},
        {"a name the rule refuses", "abcd0123 write 1700000000 " + hash + " kept/\n", false},
        {"no name", "abcd0123 write 1700000000 " + hash + "\n", false},
        {"a line end of another system", "abcd0123 write 1700000000 " + hash + " kept\r\n", false},
        {"the id of a token read before", otherLine + otherLine.substr(0, 9) + line.substr(9), false},
        {"larger than 64 KiB", line + std::string(70 * 1024, '#') + "\n", false},
    };
    for (const Case &c : cases) {
        root.write("/mnt/web/tokens", c.file);
        EXPECT_EQ(ApiToken_check(secret).has_value(), c.opens) << c.what;
        std::string fresh;
        std::string why;
        ApiTokenInfo info{};
        bool added = ApiToken_make("new", TokenScope::Read, &fresh, &info, &why);
        if (c.file.size() > 64 * 1024) {
            EXPECT_FALSE(added) << c.what;
            EXPECT_EQ(root.read("/mnt/web/tokens"), c.file) << c.what;
            continue;
        }
        ASSERT_TRUE(added) << c.what << ": " << why;
        EXPECT_EQ(root.read("/mnt/web/tokens").rfind(c.file, 0), 0u) << c.what << ": the old lines are kept";
        EXPECT_TRUE(ApiToken_check(fresh).has_value()) << c.what;
    }
}

// --- The programs, with Bearer ---

class TokenPrograms : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.write("/tmp/encode.status", "{\"state\":\"running\"}\n");
        reader = secretOf(post(TOKENS_CGI_BINARY, {{"token_make", "Make token"}, {"token_name", "scraper"},
                                                   {"token_scope", "read"}}));
        writer = secretOf(post(TOKENS_CGI_BINARY, {{"token_make", "Make token"}, {"token_name", "deploy"},
                                                   {"token_scope", "write"}}));
    }
    static std::string secretOf(const CgiAnswer &a)
    {
        std::smatch m;
        return std::regex_search(a.body, m, std::regex("^made token [a-z]+ \\([a-z]+\\): (enc_[A-Za-z0-9_-]{43})\n"))
                   ? m[1].str()
                   : "";
    }
    // The request with `auth` as its Authorization ("" for the runner's Basic login).
    CgiAnswer run(const char *program, const char *method, const std::string &form, const std::string &auth,
                  const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> env = cgiBaseEnv(root.dir(), method);
        if (!auth.empty()) {
            cgiEnvSet(env, "HTTP_AUTHORIZATION=" + auth);
        }
        for (const std::string &e : extra) {
            cgiEnvSet(env, e);
        }
        if (std::string(method) == "GET") {
            env.push_back("QUERY_STRING=" + form);
            return cgiAnswer(cgiExec(program, env, ""));
        }
        env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
        env.push_back("CONTENT_LENGTH=" + std::to_string(form.size()));
        return cgiAnswer(cgiExec(program, env, form));
    }
    CgiAnswer post(const char *program, const std::vector<CgiField> &fields, const std::string &auth = "")
    {
        return run(program, "POST", cgiUrlEncoded(fields), auth);
    }

    TempRoot root{true};
    std::string reader;
    std::string writer;
};

const char kTtl[] = "ttl_submit=Set&ttl=9";

TEST_F(TokenPrograms, AReadTokenReadsAndAWriteTokenChanges)
{
    ASSERT_FALSE(reader.empty());
    ASSERT_FALSE(writer.empty());
    const std::string read = "Bearer " + reader;
    const std::string ttl = root.read("/mnt/ttl.ini");
    struct Case {
        const char *what;
        const char *program;
        const char *method;
        std::string form;
        std::string auth;
        const char *status;    // the status line, "" for 200
        std::string bodyStart; // what the answer's body begins with
    };
    const char kReadOnly[] = "refused: this token may only read\n";
    const char kForbidden[] = "Status: 403 Forbidden";
    const std::vector<Case> cases = {
        {"status", STATUS_CGI_BINARY, "GET", "", read, "", "{\"state\":\"running\""},
        {"the page's values", SETTINGS_CGI_BINARY, "GET", "get=1", read, "", "{\""},
        {"the scheme's name in capitals", STATUS_CGI_BINARY, "GET", "", "BEARER  " + reader + " ", "", "{"},
        {"a setting", SETTINGS_CGI_BINARY, "POST", kTtl, read, kForbidden, kReadOnly},
        {"a report by POST", SETTINGS_CGI_BINARY, "POST", "name44_submit=1", read, kForbidden, kReadOnly},
        {"the list of tokens", TOKENS_CGI_BINARY, "GET", "get=1", read, kForbidden,
         "refused: a read-only token may not list or make tokens\n"},
        {"a token that writes", TOKENS_CGI_BINARY, "POST", "token_make=1&token_name=mine&token_scope=write", read,
         kForbidden, kReadOnly},
        {"a setting, with the write token", SETTINGS_CGI_BINARY, "POST", kTtl, "Bearer " + writer, "", "set ttl:9"},
    };
    for (const Case &c : cases) {
        root.write("/mnt/ttl.ini", ttl);
        CgiAnswer a = run(c.program, c.method, c.form, c.auth);
        EXPECT_TRUE(*c.status ? a.hasHeader(c.status) : a.head.find("Status:") == std::string::npos)
            << c.what << "\n" << a.head;
        EXPECT_EQ(a.body.rfind(c.bodyStart, 0), 0u) << c.what << "\n" << a.body;
        EXPECT_EQ(root.read("/mnt/ttl.ini") != ttl, c.bodyStart == "set ttl:9") << c.what;
    }
    EXPECT_EQ(ApiToken_list().size(), 2u);
}

TEST_F(TokenPrograms, TheListRevokesAndARevokedTokenIsRefused)
{
    nlohmann::json doc = nlohmann::json::parse(run(TOKENS_CGI_BINARY, "GET", "get=1", "").body, nullptr, false);
    ASSERT_TRUE(doc.contains("tokens")) << doc;
    ASSERT_EQ(doc["tokens"].size(), 2u);
    const nlohmann::json &t = doc["tokens"][0];
    EXPECT_EQ(t["name"], "scraper");
    EXPECT_EQ(t["scope"], "read");
    EXPECT_EQ(t["last_used"], 0);
    EXPECT_EQ(doc.dump().find(hashIn(root.read("/mnt/web/tokens"))), std::string::npos) << "no hash";
    EXPECT_EQ(doc.dump().find(reader.substr(4)), std::string::npos) << "no secret";

    struct Case {
        std::vector<CgiField> form;
        std::string body;
    };
    const std::string id = t["id"];
    const Case cases[] = {
        {{{"token_make", "1"}, {"token_name", "deploy"}, {"token_scope", "read"}},
         "refused token: a token named deploy exists already; nothing changed\n"},
        {{{"token_make", "1"}, {"token_name", "x"}, {"token_scope", "admin"}},
         "refused token: the scope is read or write; nothing changed\n"},
        {{{"token_make", "1"}, {"token_name", std::string(300, 'x')}, {"token_scope", "read"}},
         "refused token: the name is longer than 40 characters; nothing changed\n"},
        {{{"token_revoke", "1"}, {"token_id", "12345678"}}, "no such token; nothing changed\n"},
        {{{"token_revoke", "1"}, {"token_id", id}}, "revoked token scraper\n"},
        {{{"token_revoke", "1"}, {"token_id", id}}, "no such token; nothing changed\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(post(TOKENS_CGI_BINARY, c.form).body, c.body);
    }
    CgiAnswer refused = run(STATUS_CGI_BINARY, "GET", "", "Bearer " + reader);
    EXPECT_TRUE(refused.hasHeader("Status: 401 Unauthorized")) << refused.head;
    EXPECT_EQ(refused.body, "refused: log in first\n");
}

// A wrong token is a guess like a wrong password: it is held back with them, and the right token from
// that address waits for its second too.
TEST_F(TokenPrograms, AWrongTokenIsAGuess)
{
    std::string wrong = writer;
    wrong[10] = wrong[10] == 'a' ? 'b' : 'a';
    const std::vector<std::string> from = {"REMOTE_ADDR=192.0.2.9"};
    CgiAnswer a = run(STATUS_CGI_BINARY, "GET", "", "Bearer " + wrong, from);
    EXPECT_TRUE(a.hasHeader("Status: 401 Unauthorized")) << a.head;
    EXPECT_EQ(a.body.find(wrong), std::string::npos) << "the secret is never echoed";
    EXPECT_EQ(root.read("/tmp/web/throttle/192.0.2.9").rfind("1 ", 0), 0u) << "counted as one failure";
    for (const std::string &secret : {wrong, writer}) {
        // Ten failures, the last just now: written before each try, as the hold lasts only a second.
        std::string now = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
        root.write("/tmp/web/throttle/192.0.2.9", "10 " + now + " " + now + "\n");
        CgiAnswer held = run(STATUS_CGI_BINARY, "GET", "", "Bearer " + secret, from);
        EXPECT_TRUE(held.hasHeader("Status: 429 Too Many Requests")) << held.head;
    }
    EXPECT_EQ(run(STATUS_CGI_BINARY, "GET", "", "Bearer " + writer).body.rfind("{", 0), 0u) << "another address";
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    CgiAnswer later;
    do {
        later = run(STATUS_CGI_BINARY, "GET", "", "Bearer " + writer, from);
    } while (later.body.rfind("{", 0) != 0 && std::chrono::steady_clock::now() < until);
    EXPECT_EQ(later.body.rfind("{", 0), 0u) << later.head << later.body;
}

} // namespace
