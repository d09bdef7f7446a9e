// The HLS settings file: parser, checker and writer's text over the one key=value walk. Stateless; the
// encoder's main thread reads it at start, hls_cgi per request, the settings CGI checks and writes it.
#include "encode/core/hls_settings.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/key_value_file.h"

namespace {

constexpr const char *kPath = "/mnt/hls.ini";
constexpr size_t kUrlMax = 1024;

// A decimal number lo..hi, nothing else; -1 when it is not one.
int number(std::string_view v, int lo, int hi)
{
    long long n = 0;
    if (!Config_parseDecimal(v, false, 2, n) || n < lo || n > hi) {
        return -1;
    }
    return static_cast<int>(n);
}

std::string flag(std::string_view v)
{
    return v == "0" || v == "1" ? std::string() : "not 0 or 1";
}

bool startsWith(std::string_view v, std::string_view prefix)
{
    return v.substr(0, prefix.size()) == prefix;
}

// Printable, no blank, quote or backslash: what may stand in a URL handed to the HTTP client as it is.
bool urlCharacters(std::string_view v)
{
    if (!KeyValue_printable(v)) {
        return false;
    }
    for (char c : v) {
        if (c == ' ' || c == '"' || c == '\'' || c == '\\') {
            return false;
        }
    }
    return true;
}

std::string pushUrl(std::string_view v)
{
    if (v.empty()) {
        return {};
    }
    if (!startsWith(v, "http://") && !startsWith(v, "https://")) {
        return "not an http:// or https:// URL";
    }
    std::string_view rest = v.substr(v.find("//") + 2);
    if (v.size() > kUrlMax || !urlCharacters(v) || rest.empty() || rest.front() == '/' || rest.front() == '@') {
        return "not a URL of up to 1024 printable characters without blank, quote or backslash";
    }
    return {};
}

// The value's check and where it goes; the table is the file's whole vocabulary.
struct Key {
    const char *name;
    std::string (*check)(std::string_view v);
    void (*store)(HlsSettings &s, std::string_view v);
};

const Key kKeys[] = {
    {"enable", flag, [](HlsSettings &s, std::string_view v) { s.enable = v == "1"; }},
    {"segment", [](std::string_view v) { return number(v, 1, 10) > 0 ? std::string() : "not 1..10 s"; },
     [](HlsSettings &s, std::string_view v) { s.segmentS = number(v, 1, 10); }},
    {"segments", [](std::string_view v) { return number(v, 3, 30) > 0 ? std::string() : "not 3..30"; },
     [](HlsSettings &s, std::string_view v) { s.segments = number(v, 3, 30); }},
    {"public", flag, [](HlsSettings &s, std::string_view v) { s.open = v == "1"; }},
    {"push_url", pushUrl, [](HlsSettings &s, std::string_view v) { s.pushUrl.assign(v); }},
};

const Key *find(std::string_view name)
{
    for (const Key &k : kKeys) {
        if (name == k.name) {
            return &k;
        }
    }
    return nullptr;
}

// The refusal line; a value that is not printable is not echoed as it stands, and a push URL's
// password never is (the log is on the status page).
std::string refusal(std::string_view key, std::string_view value, const std::string &why)
{
    std::string shown = !KeyValue_printable(value) ? "(unprintable)"
                        : key == "push_url"         ? HlsSettings_shownUrl(value)
                                                    : std::string(value);
    if (shown.size() > 80) {
        shown = shown.substr(0, 80) + "...";
    }
    return "hls.ini: bad " + std::string(key) + "=" + shown + " (" + why + "), hls output off";
}

} // namespace

std::string HlsSettings_checkValue(std::string_view key, std::string_view value)
{
    const Key *k = find(key);
    return k == nullptr ? "no such key" : k->check(value);
}

int HlsSettings_parse(std::string_view text, HlsSettings &out, std::string &why)
{
    out = HlsSettings{};
    if (text.size() > static_cast<size_t>(HLS_SETTINGS_FILE_BYTES)) {
        why = "hls.ini: longer than " + std::to_string(HLS_SETTINGS_FILE_BYTES) + " bytes, hls output off";
        return HlsSettings_EINVAL;
    }
    bool clean = KeyValue_forEach(text, [&](std::string_view key, std::string_view value, bool hasEquals) {
        const Key *k = hasEquals ? find(key) : nullptr;
        std::string bad = k == nullptr ? "no such key" : k->check(value);
        if (!bad.empty()) {
            why = refusal(key, value, bad);
            return false;
        }
        k->store(out, value);
        return true;
    });
    if (!clean) {
        out = HlsSettings{};
        return HlsSettings_EINVAL;
    }
    return HlsSettings_EOK;
}

std::string HlsSettings_format(const HlsSettings &s)
{
    return std::string("enable=") + (s.enable ? "1" : "0") + "\nsegment=" + std::to_string(s.segmentS) +
           "\nsegments=" + std::to_string(s.segments) + "\npublic=" + (s.open ? "1" : "0") +
           "\npush_url=" + s.pushUrl + "\n";
}

int HlsSettings_read(HlsSettings &out)
{
    out = HlsSettings{};
    std::string text;
    // One byte past the limit tells an oversize file from one that just fits.
    if (!Config_readText(kPath, text, HLS_SETTINGS_FILE_BYTES + 1)) {
        return HlsSettings_EMISSING;
    }
    std::string why;
    int r = HlsSettings_parse(text, out, why);
    if (r != HlsSettings_EOK) {
        Console_say("%s\n", why.c_str());
    }
    return r;
}

std::string HlsSettings_shownUrl(std::string_view url)
{
    // The credentials can only stand in the authority: between the scheme's "//" and the first '/',
    // '?' or '#'. An '@' further on belongs to the path and hides nothing.
    size_t start = url.find("//");
    start = start == std::string_view::npos ? 0 : start + 2;
    size_t end = url.find_first_of("/?#", start);
    std::string_view authority = url.substr(start, end == std::string_view::npos ? url.npos : end - start);
    size_t at = authority.rfind('@');
    size_t colon = at == std::string_view::npos ? at : authority.substr(0, at).find(':');
    if (colon == std::string_view::npos) {
        return std::string(url);
    }
    return std::string(url.substr(0, start + colon + 1)) + "***" + std::string(url.substr(start + at));
}
