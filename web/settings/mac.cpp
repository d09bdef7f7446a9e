// MAC address script of the settings CGI: pure text functions, the CGI does the file I/O.
#include "web/settings/mac.h"

#include <cctype>

namespace {

constexpr std::string_view kPrefix = "ifconfig eth0 hw ether ";

} // namespace

bool Mac_isValid(std::string_view mac)
{
    int groups = 0;
    size_t i = 0;
    while (i <= mac.size()) {
        size_t e = mac.find(':', i);
        if (e == std::string_view::npos) {
            e = mac.size();
        }
        if (e - i != 2 || !std::isxdigit(static_cast<unsigned char>(mac[i])) ||
            !std::isxdigit(static_cast<unsigned char>(mac[i + 1]))) {
            return false;
        }
        groups++;
        i = e + 1;
    }
    return groups == 6;
}

std::string Mac_scriptText(std::string_view mac)
{
    return std::string(kPrefix) + std::string(mac) + "\n";
}

std::optional<std::string> Mac_parse(std::string_view script)
{
    if (script.substr(0, kPrefix.size()) != kPrefix) {
        return std::nullopt;
    }
    std::string_view rest = script.substr(kPrefix.size());
    std::string_view mac = rest.substr(0, rest.find('\n'));
    if (mac.size() != kMacLength || !Mac_isValid(mac) || rest.size() > mac.size() + 1) {
        return std::nullopt;
    }
    return std::string(mac);
}
