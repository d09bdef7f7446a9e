// The login of the pages and programs: who may use a CGI. A request is logged in when it carries a
// live session (the cookie the login program gives after the password: what a browser uses), Basic
// credentials that check against the store's password file (what a script with the login sends:
// `curl -u admin:...`) or an API token as "Authorization: Bearer <secret>" (api_token.h: what software
// sends instead of the password). The web server asks for none; every program asks here first.
//
// Sessions: a random token of 32 bytes in an `encoder_session` cookie (HttpOnly, SameSite=Strict,
// Secure over HTTPS); the store keeps only its SHA-256, one file per session under /tmp/web/sessions
// (a RAM disk on the box: a reboot ends every session), whose modification time is its last use. A
// session ends when it has been idle for SESSION_IDLE_S, is older than SESSION_LIFE_S, is logged out,
// or when the password changes; every login removes the files of sessions that have ended.
//
// Guessing is slowed per client address (REMOTE_ADDR), whatever the way the password or token comes: every
// failure delays its own answer a little more (100 ms for the first, growing to 2 s); after
// SESSION_FAILURE_LIMIT failures within a minute the address gets at most one try a second, and a
// try sooner is refused without looking at the password. The first refusal of such a run is written
// once to the web server's log of the programs (programs.log of its run directory). The record of an
// address lives under /tmp/web/throttle, updated under a lock, so that parallel connections share it.
//
// One request per process: the functions read the CGI environment (HTTP_COOKIE, HTTP_AUTHORIZATION,
// REMOTE_ADDR, HTTPS) and the store under ENCODE_ROOT.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int SESSION_IDLE_S = 30 * 60;
inline constexpr int SESSION_LIFE_S = 12 * 60 * 60;
inline constexpr int SESSION_FAILURE_LIMIT = 10;
inline constexpr char SESSION_COOKIE[] = "encoder_session";
inline constexpr char SESSION_USER[] = "admin";

enum class LoginState {
    Session,   // a live session
    Password,  // Basic credentials that checked
    Token,     // an API token that checked
    None,      // no credentials at all
    Wrong,     // credentials that did not check, or a dead session
    Throttled, // too many failures from this address: not even looked at
};

// The request's login; a live session's or a token's last use is moved to now.
LoginState cgiLogin();

// What the request's credentials may do: Write for a session, the password, or a read-write token;
// Read for a read-only token; None before cgiLogin or when not logged in.
enum class LoginScope { None, Read, Write };
LoginScope cgiLoginScope();

// How a login that did not pass is answered: the status, the one line, and the Set-Cookie value that
// clears a dead session's cookie ("" for none). cgiLoginRequired writes it as text; the JSON API as
// its own error document.
struct LoginRefusal {
    const char *status;
    const char *line;
    std::string cookie;
};
LoginRefusal Session_refusal(LoginState s);

// True when the program may go on. Otherwise the whole answer has been written (401 with "refused:
// log in first" for no or wrong credentials, a wrong or revoked token among them; 429 with "refused: too many failed logins from this
// address; try again in a second" when throttled) and the program must do nothing.
bool cgiLoginRequired();

// The login program's: `password` for the login user checked (throttled as above). On success a new
// session is made and `cookie` gets the Set-Cookie header's value. Returns the state: Password on
// success, Wrong or Throttled otherwise.
LoginState Session_logIn(const std::string &user, const std::string &password, std::string *cookie);

// The request's session ended; `cookie` gets the Set-Cookie value that clears it in the browser.
void Session_logOut(std::string *cookie);

// Every session ended (the password changed: whoever knew the old one is out).
void Session_endAll();

// One client address's record of failed logins, and the rule over it (what the programs apply under
// the record's lock; here for the tests of the rule).
struct SessionThrottle {
    int failures = 0;          // within the window
    int64_t windowStartMs = 0; // the first failure of the window
    int64_t lastTryMs = 0;     // the last try that was looked at

    // Too many failures lately, and the last try less than a second ago: refuse without looking.
    bool holdsBack(int64_t nowMs) const;
    // A try that was looked at: the record updated; how long the answer of a failure waits (0 for a
    // success). Sets `startsHolding` when this failure is the one that starts holding back.
    int64_t tried(int64_t nowMs, bool passed, bool *startsHolding);
};

// The password file's hash of the login user checks against `password` (crypt(3), any scheme it
// knows: yescrypt, SHA-512); compared in constant time. No throttling: the caller's business.
bool Session_passwordMatches(const std::string &password);

// The same check against one hash of that file's form ("$scheme$...").
bool Session_hashMatches(const std::string &password, const std::string &hash);

