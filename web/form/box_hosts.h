// The names and addresses this box is reached by, for the Host rule of every request (request_rules.h).
// The web server answers any Host; a page of another site whose name an attacker points at the box's
// address (DNS rebinding) would otherwise be "same origin" with it, and could read and change settings
// with the operator's browser.
//
// The list: "localhost", "127.0.0.1" and "::1"; every address of the machine's interfaces; the host
// name, alone and with ".local"; the names of the box's certificate (BOX_HOSTS_CERTIFICATE_FILE,
// written by whoever makes the certificate) and the operator's own names (BOX_HOSTS_OPERATOR_FILE).
// Both files hold one name or address per line; '#' starts a comment, blank lines are skipped; a
// missing file adds nothing. Names are compared without regard to case and without the port: which
// port answers is the server's business.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr char BOX_HOSTS_CERTIFICATE_FILE[] = "/mnt/web/names";
inline constexpr char BOX_HOSTS_OPERATOR_FILE[] = "/mnt/web_hosts.ini";

// The host of a Host header or a list line in the one form they are compared in: lower case, the port
// and an IPv6 address's brackets and zone dropped, an address written as inet_ntop writes it, one
// final dot dropped ("Box.Local.:8443" -> "box.local", "[::1]:80" -> "::1", "FE80::1" -> "fe80::1").
// "" for text that names no host (empty, a bad port, characters no host name has, "*.example").
std::string BoxHosts_canonical(std::string_view host);

// The whole list, each entry canonical, read anew at each call.
std::vector<std::string> BoxHosts_list();

// True when `host` (a Host header's value) names this box.
bool BoxHosts_isBox(std::string_view host);
