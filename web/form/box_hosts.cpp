// The box's own names and addresses. One request per process: the list is made when a request asks,
// from the interfaces as they are now and the store files as they stand.
#include "web/form/box_hosts.h"

#include "encode/core/config_store.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

// The part of a list file that is read; a sane list is a few lines.
constexpr int kListFileLimit = 64 * 1024;

bool isDigits(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view trimmed(std::string_view s)
{
    const char *blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// An IPv6 address as inet_ntop writes it, its zone ("%eth0", "%25eth0") dropped; "" when it is none.
std::string canonicalIpv6(std::string_view text)
{
    std::string address(text.substr(0, text.find('%')));
    in6_addr a{};
    char out[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET6, address.c_str(), &a) != 1 || inet_ntop(AF_INET6, &a, out, sizeof out) == nullptr) {
        return "";
    }
    return out;
}

std::string canonicalName(std::string_view name)
{
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty()) {
        return "";
    }
    std::string out;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) {
            return "";
        }
        out += c;
    }
    return out;
}

void addCanonical(std::vector<std::string> &list, std::string_view host)
{
    std::string c = BoxHosts_canonical(host);
    if (!c.empty() && std::find(list.begin(), list.end(), c) == list.end()) {
        list.push_back(c);
    }
}

void addInterfaceAddresses(std::vector<std::string> &list)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        return;
    }
    for (const ifaddrs *i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = "";
        if (i->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr, text, sizeof text);
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr)->sin6_addr, text, sizeof text);
        }
        addCanonical(list, text);
    }
    freeifaddrs(all);
}

void addHostName(std::vector<std::string> &list)
{
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0) {
        return;
    }
    name[HOST_NAME_MAX] = '\0';
    std::string base = BoxHosts_canonical(name);
    if (base.empty()) {
        return;
    }
    addCanonical(list, base);
    // The name the box announces itself by on the local network (mDNS).
    if (base.size() < 6 || base.compare(base.size() - 6, 6, ".local") != 0) {
        addCanonical(list, base + ".local");
    }
}

void addListFile(std::vector<std::string> &list, const char *path)
{
    std::string text;
    if (!Config_readText(path, text, kListFileLimit + 1)) {
        return;
    }
    if (text.size() > static_cast<size_t>(kListFileLimit)) {
        // The line the bound cuts would be a name nobody wrote.
        size_t lastWhole = text.rfind('\n', kListFileLimit);
        text.resize(lastWhole == std::string::npos ? 0 : lastWhole + 1);
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        addCanonical(list, trimmed(line.substr(0, line.find('#'))));
    }
}

} // namespace

std::string BoxHosts_canonical(std::string_view host)
{
    host = trimmed(host);
    std::string_view port;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return "";
        }
        std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !isDigits(rest.substr(1)))) {
            return "";
        }
        return canonicalIpv6(host.substr(1, close - 1));
    }
    // More than one colon: an IPv6 address without brackets (a list line), which has no port.
    if (std::count(host.begin(), host.end(), ':') > 1) {
        return canonicalIpv6(host);
    }
    size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
        if (!isDigits(port)) {
            return "";
        }
    }
    return canonicalName(host);
}

std::vector<std::string> BoxHosts_list()
{
    std::vector<std::string> list;
    for (const char *always : {"localhost", "127.0.0.1", "::1"}) {
        addCanonical(list, always);
    }
    addInterfaceAddresses(list);
    addHostName(list);
    addListFile(list, BOX_HOSTS_CERTIFICATE_FILE);
    addListFile(list, BOX_HOSTS_OPERATOR_FILE);
    return list;
}

bool BoxHosts_isBox(std::string_view host)
{
    std::string c = BoxHosts_canonical(host);
    if (c.empty()) {
        return false;
    }
    std::vector<std::string> list = BoxHosts_list();
    return std::find(list.begin(), list.end(), c) != list.end();
}
