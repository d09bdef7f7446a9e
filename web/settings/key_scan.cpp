// Key scanner. Stateless apart from the KeyState it is given; used by the settings CGI only, one
// request per process. Every pattern and value read is bounded by the text it is given.
#include "web/settings/key_scan.h"

#include "encode/core/rtmp_destinations.h"

#include <algorithm>
#include <array>

namespace {

enum class Kind { Text, Int, Digit, Color };

struct Pattern {
    std::string_view text; // '?' stands for any one character
    Key key;
    Kind kind;
    size_t limit;      // longest value taken
    int colorField;    // field of color.ini for Kind::Color
};

// In the order they are tested at each position.
constexpr std::array<Pattern, 24> kPatterns = {{
    {"dth=", Key::Width, Kind::Int, 19, 0},
    {"ss?d=", Key::Ssid, Kind::Text, kWifiWordMax, 0},
    {"psk=", Key::Psk, Kind::Text, kWifiWordMax, 0},
    {"wi???p=", Key::WifiIp, Kind::Text, 49, 0},
    {"ght=", Key::Height, Kind::Int, 19, 0},
    {"url=", Key::Url, Kind::Text, kUrlMax, 0},
    {"ip=", Key::Ip, Kind::Text, kAddressMax, 0},
    {"tz=", Key::Tz, Kind::Text, kAddressMax, 0},
    {"ask=", Key::Netmask, Kind::Text, kAddressMax, 0},
    {"way=", Key::Gateway, Kind::Text, kAddressMax, 0},
    {"ode=", Key::CtrlEncode, Kind::Digit, 1, 0},
    {"l???ec=", Key::CtrlCodec, Kind::Digit, 1, 0},
    {"t??te=", Key::Bitrate, Kind::Int, 9, 0},
    {"a??le=", Key::AudioSample, Kind::Int, 9, 0},
    {"i??ps=", Key::AudioBps, Kind::Int, 9, 0},
    {"e??te=", Key::FrameRate, Kind::Int, 9, 0},
    {"tc=", Key::Tc, Kind::Int, 7, 0},
    {"fi=", Key::Fi, Kind::Int, 7, 0},
    {"bb=", Key::Color, Kind::Color, 4, 1},
    {"bg=", Key::Color, Kind::Color, 4, 2},
    {"br=", Key::Color, Kind::Color, 4, 3},
    {"lb=", Key::Color, Kind::Color, 4, 4},
    {"lg=", Key::Color, Kind::Color, 4, 5},
    {"lr=", Key::Color, Kind::Color, 4, 6},
}};

bool matchAt(std::string_view text, size_t i, std::string_view pattern)
{
    if (text.size() - i < pattern.size()) {
        return false;
    }
    for (size_t k = 0; k < pattern.size(); k++) {
        if (pattern[k] != '?' && pattern[k] != text[i + k]) {
            return false;
        }
    }
    return true;
}

// The value after the '=' at `start`, when a line end follows within `limit` characters.
std::optional<std::string_view> lineValue(std::string_view text, size_t start, size_t limit)
{
    size_t stop = text.size() - start > limit ? start + limit + 1 : text.size();
    for (size_t e = start; e < stop; e++) {
        if (text[e] == '\r' || text[e] == '\n') {
            return text.substr(start, e - start);
        }
    }
    return std::nullopt;
}

// atoi as the block's readers have it: blanks, a sign, digits; saturating instead of overflowing.
int toInt(std::string_view v)
{
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) {
        i++;
    }
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) {
        negative = v[i] == '-';
        i++;
    }
    long long n = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') {
        if (n <= 2147483648LL) {
            n = n * 10 + (v[i] - '0');
        }
        i++;
    }
    if (negative) {
        n = -n;
    }
    if (n > 2147483647LL) {
        n = 2147483647LL;
    } else if (n < -2147483648LL) {
        n = -2147483648LL;
    }
    return static_cast<int>(n);
}

std::string *textField(KeyState &s, Key k)
{
    switch (k) {
    case Key::Ssid: return &s.ssid;
    case Key::Psk: return &s.psk;
    case Key::WifiIp: return &s.wifiip;
    case Key::Url: return &s.url;
    case Key::Ip: return &s.ip;
    case Key::Tz: return &s.tz;
    case Key::Netmask: return &s.netmask;
    case Key::Gateway: return &s.gateway;
    default: return nullptr;
    }
}

int *intField(KeyState &s, Key k)
{
    switch (k) {
    case Key::Width: return &s.width;
    case Key::Height: return &s.height;
    case Key::CtrlEncode: return &s.ctrlencode;
    case Key::CtrlCodec: return &s.ctrlcodec;
    case Key::Bitrate: return &s.bitrate;
    case Key::AudioSample: return &s.audiosample;
    case Key::AudioBps: return &s.audiobps;
    case Key::FrameRate: return &s.framerate;
    case Key::Tc: return &s.tc;
    case Key::Fi: return &s.fi;
    default: return nullptr;
    }
}

// A URL as the start script holds it: bare, or in single quotes (the settings page quotes one the
// shell would otherwise act on). A quoted value with a quote inside, or without its closing quote, is
// no value.
std::optional<std::string_view> urlValue(std::string_view v)
{
    if (v.empty() || v.front() != '\'') {
        return v;
    }
    if (v.size() < 2 || v.back() != '\'') {
        return std::nullopt;
    }
    v = v.substr(1, v.size() - 2);
    if (v.find('\'') != std::string_view::npos) {
        return std::nullopt;
    }
    return v;
}

// Takes the value at `start`; for a URL taken, the offset of its line end (the scan goes on from
// there), else 0.
size_t take(KeyState &s, const Pattern &p, std::string_view text, size_t start)
{
    if (p.kind == Kind::Digit) {
        // One character; a non-digit is no value (it would store a nonsense number).
        if (start < text.size() && text[start] >= '0' && text[start] <= '9') {
            *intField(s, p.key) = text[start] - '0';
            s.hits |= keyBit(p.key);
        }
        return 0;
    }
    std::optional<std::string_view> v = lineValue(text, start, p.limit);
    if (!v) {
        return 0;
    }
    if (p.key == Key::Url) {
        std::optional<std::string_view> url = urlValue(*v);
        if (!url) {
            return 0;
        }
        s.url = std::string(*url);
        s.hits |= keyBit(Key::Url);
        return start + v->size();
    }
    switch (p.kind) {
    case Kind::Text: *textField(s, p.key) = std::string(*v); break;
    case Kind::Int: *intField(s, p.key) = toInt(*v); break;
    case Kind::Color: s.colors.push_back({p.colorField, toInt(*v)}); break;
    case Kind::Digit: break;
    }
    s.hits |= keyBit(p.key);
    return 0;
}

} // namespace

std::optional<size_t> KeyScan_scan(KeyState &state, std::string_view text, bool stopAtEnd)
{
    for (size_t i = 0; i < text.size(); i++) {
        size_t urlEnd = 0;
        for (const Pattern &p : kPatterns) {
            if (matchAt(text, i, p.text)) {
                urlEnd = std::max(urlEnd, take(state, p, text, i + p.text.size()));
            }
        }
        if (stopAtEnd && matchAt(text, i, "end")) {
            return i;
        }
        if (urlEnd > i) {
            i = urlEnd - 1; // the rest of a URL's line is the URL: no key and no "end" stands in it
        }
    }
    return std::nullopt;
}

std::optional<size_t> KeyScan_findEnd(std::string_view text)
{
    KeyState scratch;
    return KeyScan_scan(scratch, text, true);
}

std::string KeyScan_storedUrl(std::string_view url)
{
    return RtmpUrl_stored(url);
}
