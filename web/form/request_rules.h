// The rules a request must keep before a CGI program may act on it. The programs answer whatever
// reaches them, and the pages are seen by the same browser that visits other sites: without these
// rules a link, an image or a form on any page the operator opens could change the box or reboot it
// with the operator's login.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// True when the program may act on the request. Otherwise the whole answer (status, plain-text
// header and one line) has been written to cgiOut and the program must change nothing:
// - a request that is not a POST and carries any field but the program's `queries` (the fields that
//   only report) answers 405: changes are made with POST only;
// - a POST whose Origin header (without one, its Referer) names another host:port than the Host it
//   was sent to answers 403. A request with neither header (a script on the box, curl) is allowed:
//   browsers always send Origin on a POST from another site.
bool cgiRequestAllowed(std::initializer_list<const char *> queries);

// "host:port" of a URL ("http://Box:8080/x" -> "box:8080", the scheme's port when none is written);
// "" when the URL names no host of an http or https scheme.
std::string cgiUrlHostPort(std::string_view url);
