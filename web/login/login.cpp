// The login program (/cgi-bin/login.cgi): the login page posts the password here and gets a session
// cookie, the pages' log-out button ends the session, and a page asks whether it is logged in. It is
// the one program that needs no login of its own, under the same request rules as the others.
//
//   POST login_submit, user, password  "logged in" and the session's cookie; 401 "refused: wrong user
//                                      or password"; 429 while the address is held back
//   POST logout_submit                 "logged out" and the cookie cleared
//   GET  state=1                       {"logged_in": true|false}
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kFieldSize = 256;

void answer(const char *status, const std::string &cookie, const char *type, const char *text)
{
    if (status != nullptr) {
        std::fprintf(cgiOut, "Status: %s\r\n", status);
    }
    if (!cookie.empty()) {
        std::fprintf(cgiOut, "Set-Cookie: %s\r\n", cookie.c_str());
    }
    cgiHeaderContentType(type);
    std::fputs(text, cgiOut);
}

// A field's whole value, or "" (a value that is cut, empty or missing is no password anyone has).
std::string field(const char *name)
{
    char buf[kFieldSize];
    if (cgiFormString(name, buf, sizeof buf) != cgiFormSuccess) {
        return "";
    }
    std::string v = buf;
    explicit_bzero(buf, sizeof buf);
    return v;
}

void logIn()
{
    std::string password = field("password");
    std::string cookie;
    LoginState s = Session_logIn(field("user"), password, &cookie);
    explicit_bzero(password.data(), password.size());
    if (s == LoginState::Password) {
        answer(nullptr, cookie, "text/plain", "logged in\n");
    } else if (s == LoginState::Throttled) {
        answer("429 Too Many Requests", "", "text/plain",
               "refused: too many failed logins from this address; try again in a second\n");
    } else {
        answer("401 Unauthorized", "", "text/plain", "refused: wrong user or password\n");
    }
}

} // namespace

int cgiMain()
{
    if (!cgiRequestRulesKept({"state"})) {
        return 0;
    }
    if (cgiFormButtonPressed("login_submit")) {
        logIn();
    } else if (cgiFormButtonPressed("logout_submit")) {
        std::string cookie;
        Session_logOut(&cookie);
        answer(nullptr, cookie, "text/plain", "logged out\n");
    } else if (cgiFormButtonPressed("state")) {
        LoginState s = cgiLogin();
        bool in = s == LoginState::Session || s == LoginState::Password;
        answer(nullptr, "", "application/json", in ? "{\"logged_in\":true}\n" : "{\"logged_in\":false}\n");
    } else {
        answer("400 Bad Request", "", "text/plain", "login_submit, logout_submit or state=1\n");
    }
    return 0;
}
