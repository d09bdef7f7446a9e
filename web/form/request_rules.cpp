// Request rules of the CGI programs: only requests to the box's own names, changes by POST only, and
// only from the box's own pages. One request per process; reads the CGI environment and the form
// layer's entry list.
#include "web/form/request_rules.h"

#include "web/form/box_hosts.h"
#include "web/form/form.h"
#include "web/form/session.h"

#include <nlohmann/json.hpp>

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string envText(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string lowerCase(std::string_view s)
{
    std::string out(s);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool isDigits(std::string_view s)
{
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// "host[:port]" (an IPv6 host in brackets) -> "host:port" with the host in lower case and
// `defaultPort` when none is written; "" for anything else.
std::string authorityHostPort(std::string_view authority, std::string_view defaultPort)
{
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host;
    std::string_view rest;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return "";
        }
        host = authority.substr(0, close + 1);
        rest = authority.substr(close + 1);
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (host.empty()) {
        return "";
    }
    std::string_view port = defaultPort;
    if (!rest.empty()) {
        if (rest[0] != ':' || !isDigits(rest.substr(1))) {
            return "";
        }
        port = rest.substr(1);
        // "8080" and "08080" are the same port.
        while (port.size() > 1 && port[0] == '0') {
            port.remove_prefix(1);
        }
    }
    return lowerCase(host) + ":" + std::string(port);
}

bool httpsRequest()
{
    return lowerCase(envText("HTTPS")) == "on" || lowerCase(envText("REQUEST_SCHEME")) == "https";
}

// "scheme://host:port" this request was sent to: the Host header, else the server's own name and port.
std::string requestOrigin()
{
    bool https = httpsRequest();
    std::string host;
    if (const char *header = std::getenv("HTTP_HOST")) {
        host = header;
    } else {
        std::string name = envText("SERVER_NAME");
        std::string port = envText("SERVER_PORT");
        host = port.empty() ? name : name + ":" + port;
    }
    std::string hostPort = authorityHostPort(host, https ? "443" : "80");
    return hostPort.empty() ? "" : std::string(https ? "https" : "http") + "://" + hostPort;
}

// Origin and Referer are the same origin when they name the request's own; Sec-Fetch-Site is the
// browser's own verdict, where "none" is a request the operator made (typed, a bookmark).
bool sameOrigin(const char *origin, const char *referer, const char *fetchSite)
{
    const std::string own = requestOrigin();
    for (const char *url : {origin, referer}) {
        if (url != nullptr && (own.empty() || cgiUrlOrigin(url) != own)) {
            return false;
        }
    }
    if (fetchSite != nullptr) {
        std::string site = lowerCase(fetchSite);
        return site == "same-origin" || site == "none";
    }
    return true;
}

bool isQuery(const char *field, std::initializer_list<const char *> queries)
{
    for (const char *q : queries) {
        if (std::strcmp(field, q) == 0) {
            return true;
        }
    }
    return false;
}

bool changesSomething(std::initializer_list<const char *> queries)
{
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        if (!isQuery(e->attr, queries)) {
            return true;
        }
    }
    return false;
}

constexpr char kOtherHost[] = "refused: the request named another host than this box; nothing changed";
constexpr char kOtherSite[] = "refused: the request came from a page of another site; nothing changed";
constexpr char kReadOnly[] = "refused: this token may only read";

void refuse(const char *status, const char *extraHeader, const char *line)
{
    std::fprintf(cgiOut, "Status: %s\r\n%s", status, extraHeader);
    cgiHeaderContentType("text/plain");
    std::fprintf(cgiOut, "%s\n", line);
}

// The API's refusals: the same statuses and lines as a JSON error document.
void refuseJson(const char *status, const std::string &extraHeader, const char *line)
{
    std::fprintf(cgiOut, "Status: %s\r\n%s", status, extraHeader.c_str());
    cgiHeaderContentType("application/json");
    std::fprintf(cgiOut, "%s\n", nlohmann::json{{"error", line}}.dump().c_str());
}

bool sameOriginRequest()
{
    return sameOrigin(std::getenv("HTTP_ORIGIN"), std::getenv("HTTP_REFERER"), std::getenv("HTTP_SEC_FETCH_SITE"));
}

bool onlyReads()
{
    return strcasecmp(cgiRequestMethod, "get") == 0 || strcasecmp(cgiRequestMethod, "head") == 0;
}

} // namespace

std::string cgiUrlOrigin(std::string_view url)
{
    size_t sep = url.find("://");
    if (sep == std::string_view::npos) {
        return "";
    }
    std::string scheme = lowerCase(url.substr(0, sep));
    if (scheme != "http" && scheme != "https") {
        return "";
    }
    std::string_view rest = url.substr(sep + 3);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    std::string hostPort = authorityHostPort(authority, scheme == "https" ? "443" : "80");
    return hostPort.empty() ? "" : scheme + "://" + hostPort;
}

bool cgiHostAllowed()
{
    const char *host = std::getenv("HTTP_HOST");
    if (host == nullptr || BoxHosts_isBox(host)) {
        return true;
    }
    refuse("403 Forbidden", "", kOtherHost);
    return false;
}

bool cgiRequestRulesKept(std::initializer_list<const char *> queries)
{
    if (!cgiHostAllowed()) {
        return false;
    }
    if (strcasecmp(cgiRequestMethod, "post") != 0) {
        if (changesSomething(queries)) {
            refuse("405 Method Not Allowed", "Allow: POST\r\n",
                   "refused: settings are changed with a POST request only; nothing changed");
            return false;
        }
        return true;
    }
    // An empty header is present all the same (the server passes HTTP_ORIGIN= for "Origin:"): it
    // vouches for nothing, and "null" (a sandboxed or privacy-hiding page) names no host; both are
    // refused like any other site.
    if (!sameOriginRequest()) {
        refuse("403 Forbidden", "", kOtherSite);
        return false;
    }
    return true;
}

bool cgiRequestAllowed(std::initializer_list<const char *> queries)
{
    if (!cgiRequestRulesKept(queries) || !cgiLoginRequired()) {
        return false;
    }
    if (cgiLoginScope() == LoginScope::Read && (!onlyReads() || changesSomething(queries))) {
        refuse("403 Forbidden", "", kReadOnly);
        return false;
    }
    return true;
}

bool cgiApiRequestAllowed(bool changes)
{
    const char *host = std::getenv("HTTP_HOST");
    if (host != nullptr && !BoxHosts_isBox(host)) {
        refuseJson("403 Forbidden", "", kOtherHost);
        return false;
    }
    if (changes && !sameOriginRequest()) {
        refuseJson("403 Forbidden", "", kOtherSite);
        return false;
    }
    LoginState s = cgiLogin();
    if (s != LoginState::Session && s != LoginState::Password && s != LoginState::Token) {
        LoginRefusal r = Session_refusal(s);
        refuseJson(r.status, r.cookie.empty() ? "" : "Set-Cookie: " + r.cookie + "\r\n", r.line);
        return false;
    }
    if (changes && cgiLoginScope() != LoginScope::Write) {
        refuseJson("403 Forbidden", "", kReadOnly);
        return false;
    }
    return true;
}
