// The token program behind /cgi-bin/tokens.cgi: the settings page's list of API tokens (GET get=1, as
// JSON), a new token (POST token_make with token_name and token_scope) and a revoke (POST
// token_revoke with token_id). Only a login that may write reaches any of it: a read-only token that
// could list the others, or make a token that writes, would be no read-only token.
//
// The secret of a new token is printed once, in the answer to its making; the list never holds it
// nor its hash.
#include "web/form/api_token.h"
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include <nlohmann/json.hpp>

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kFieldSize = 256;

// A plain-text answer; `status` nullptr for 200, which the programs never write out.
void answerText(const char *status, const std::string &text)
{
    if (status != nullptr) {
        std::fprintf(cgiOut, "Status: %s\r\n", status);
    }
    cgiHeaderContentType("text/plain");
    std::fputs(text.c_str(), cgiOut);
}

void list()
{
    nlohmann::json tokens = nlohmann::json::array();
    for (const ApiTokenInfo &t : ApiToken_list()) {
        tokens.push_back({{"id", t.id},
                          {"name", t.name},
                          {"scope", TokenScope_name(t.scope)},
                          {"created", t.createdS},
                          {"last_used", t.lastUsedS}});
    }
    cgiHeaderContentType("application/json");
    std::fprintf(cgiOut, "%s\n", nlohmann::json{{"tokens", tokens}}.dump().c_str());
}

// A text field as sent; "" and `tooLong` when it does not fit.
std::string field(const char *name, bool &tooLong)
{
    char buf[kFieldSize] = "";
    tooLong = cgiFormStringNoNewlines(name, buf, kFieldSize) == cgiFormTruncated;
    return tooLong ? "" : buf;
}

std::string refusal(const std::string &why)
{
    return "refused token: " + why + "; nothing changed\n";
}

std::string make()
{
    bool tooLong = false;
    std::string name = field("token_name", tooLong);
    if (tooLong) {
        return refusal("the name is longer than 40 characters");
    }
    const char *scopes[] = {"read", "write"};
    int scope = 0;
    if (cgiFormSelectSingle("token_scope", scopes, 2, &scope, 0) != cgiFormSuccess) {
        return refusal("the scope is read or write");
    }
    std::string secret;
    std::string why;
    ApiTokenInfo made{};
    if (!ApiToken_make(name, scope == 0 ? TokenScope::Read : TokenScope::Write, &secret, &made, &why)) {
        return refusal(why);
    }
    std::string text = "made token " + made.name + " (" + TokenScope_name(made.scope) + "): " + secret + "\n" +
                       "The secret is shown only now: the box keeps only its hash. The client sends it as "
                       "\"Authorization: Bearer <secret>\".\n";
    explicit_bzero(secret.data(), secret.size());
    return text;
}

std::string revoke()
{
    bool tooLong = false;
    std::string id = field("token_id", tooLong);
    std::string name;
    for (const ApiTokenInfo &t : ApiToken_list()) {
        name = t.id == id ? t.name : name;
    }
    if (name.empty()) {
        return "no such token; nothing changed\n";
    }
    if (ApiToken_revoke(id)) {
        return "revoked token " + name + "\n";
    }
    // It was there a moment ago: either another client revoked it meanwhile, or the store refused.
    for (const ApiTokenInfo &t : ApiToken_list()) {
        if (t.id == id) {
            return "token " + name + " is not revoked: the token store could not be changed; nothing changed, try again\n";
        }
    }
    return "no such token; nothing changed\n";
}

} // namespace

int cgiMain()
{
    if (!cgiRequestAllowed({"get"})) {
        return 0;
    }
    if (cgiLoginScope() != LoginScope::Write) {
        answerText("403 Forbidden", "refused: a read-only token may not list or make tokens\n");
        return 0;
    }
    if (strcasecmp(cgiRequestMethod, "post") != 0) {
        list();
        return 0;
    }
    std::string text;
    if (cgiFormButtonPressed("token_make")) {
        text += make();
    }
    if (cgiFormButtonPressed("token_revoke")) {
        text += revoke();
    }
    answerText(nullptr, text);
    return 0;
}
