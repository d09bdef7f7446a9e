// The rules a request must keep before a CGI program may act on it. The programs answer whatever
// reaches them, and the pages are seen by the same browser that visits other sites: without these
// rules a link, an image or a form on any page the operator opens could change the box or reboot it
// with the operator's login, and a site whose name points at the box's address could read it.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// True when the request's Host header names this box (box_hosts.h), or when it has none: only a
// browser can be led to another site's address, and every browser sends Host; a script speaking
// HTTP/1.0 may not. Otherwise the whole answer (403, plain text, one line) has been written to cgiOut
// and the program must do nothing at all, not even answer a report.
bool cgiHostAllowed();

// True when the program may act on the request: the rules below are kept and the request is logged
// in (session.h: a live session or Basic credentials that check; else 401, or 429 for an address
// that keeps guessing). Otherwise the whole answer has been written and the program must change
// nothing. cgiRequestRulesKept is the rules alone, for the login program itself:
// - the Host rule above, for every method;
// - a request that is not a POST and carries any field but the program's `queries` (the fields that
//   only report) answers 405: changes are made with POST only;
// - a POST that carries any of Origin, Referer and Sec-Fetch-Site answers 403 unless every one of
//   them says the box's own origin: Origin and Referer the scheme, host and port the request was sent
//   to, Sec-Fetch-Site "same-origin" or "none" (typed or bookmarked). A header sent empty says
//   nothing of the kind. A POST with none of them (a script with the login, curl) is taken: browsers
//   send at least one with every POST.
// - after the login, a read-only token (api_token.h) is refused with 403 "refused: this token may
//   only read" for any request that could change something: any method but GET and HEAD, or any field
//   but the `queries`. It reads the status and the pages' values and changes nothing.
bool cgiRequestAllowed(std::initializer_list<const char *> queries);
bool cgiRequestRulesKept(std::initializer_list<const char *> queries);

// The API's request rules: the Host rule; the login (session, Basic or Bearer; 401/429 as the login's rules);
// when `changes`: the Origin/Referer/Sec-Fetch-Site rule that a form POST keeps (for every method, since
// the API changes with PATCH and POST), and a read-only token refused 403. Every refusal is answered
// whole as `Status: N`, `Content-Type: application/json` and {"error":"<the one line>"}; then false.
bool cgiApiRequestAllowed(bool changes);

// "scheme://host:port" of an http or https URL ("HTTP://Box:8080/x" -> "http://box:8080", the
// scheme's port when none is written); "" when the URL names no host of those schemes.
std::string cgiUrlOrigin(std::string_view url);
