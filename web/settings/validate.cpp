// Typed-value checks of the settings CGI.
#include "web/settings/validate.h"

#include "encode/core/config_store.h"
#include "encode/core/rtmp_destinations.h"

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

} // namespace

std::string Check_ipv4(std::string_view v)
{
    const std::string bad = "not an IPv4 address (four numbers 0-255 joined by dots)";
    int groups = 0;
    size_t i = 0;
    while (true) {
        size_t b = i;
        int n = 0;
        while (i < v.size() && isDigit(v[i]) && i - b < 3) {
            n = n * 10 + (v[i] - '0');
            i++;
        }
        size_t len = i - b;
        if (len == 0 || n > 255 || (len > 1 && v[b] == '0')) {
            return bad;
        }
        groups++;
        if (i == v.size()) {
            break;
        }
        if (v[i] != '.' || groups == 4) {
            return bad;
        }
        i++;
    }
    return groups == 4 ? std::string() : bad;
}

std::string Check_digits(std::string_view v, size_t maxDigits)
{
    long long n = 0;
    if (!Config_parseDecimal(v, false, static_cast<int>(maxDigits), n)) {
        return "decimal digits only, 1 to " + std::to_string(maxDigits) + " of them";
    }
    return {};
}

std::string Check_number(std::string_view v, size_t maxDigits, long lo, long hi)
{
    long long n = 0;
    if (!Config_parseDecimal(v, false, static_cast<int>(maxDigits), n) || n < lo || n > hi) {
        return "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    }
    return {};
}

std::string Check_rtmpUrl(std::string_view v)
{
    return RtmpUrl_check(v);
}

std::string Check_ssid(std::string_view v)
{
    if (v.empty() || v.size() > 32) {
        return "an SSID is 1 to 32 bytes";
    }
    for (char c : v) {
        if (c == '"' || c == '\\' || isControl(static_cast<unsigned char>(c))) {
            return "no double quote, backslash or control character allowed";
        }
    }
    return {};
}

std::string Check_passkey(std::string_view v)
{
    if (v.size() < 8 || v.size() > 63) {
        return "a passphrase is 8 to 63 characters";
    }
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || isControl(u) || u >= 0x80) {
            return "printable ASCII only, no double quote or backslash";
        }
    }
    return {};
}

std::string Check_readsBack(std::string_view line, Key key, std::string_view expected, uint32_t guarded, bool noEnd)
{
    if (noEnd && KeyScan_findEnd(line)) {
        return "the text \"end\" in it would be taken as the end of the settings block";
    }
    KeyState s;
    KeyScan_scan(s, line, false);
    bool same = (s.hits & keyBit(key)) != 0;
    if (same) {
        switch (key) {
        case Key::Url: same = s.url == expected; break;
        case Key::Ssid: same = s.ssid == expected; break;
        case Key::Psk: same = s.psk == expected; break;
        case Key::WifiIp: same = s.wifiip == expected; break;
        default: break;
        }
    }
    if (!same || (s.hits & guarded & ~keyBit(key)) != 0) {
        return "it holds text that would be read back as another setting (such as \"ip=\")";
    }
    return {};
}
