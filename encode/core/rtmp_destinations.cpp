// Store rules of the RTMP destinations; shared by `encode` (which publishes to them) and the settings
// CGI (which writes and shows them), so that both judge a URL alike.
#include "encode/core/rtmp_destinations.h"

namespace {

// A line is at most the stored URL and a carriage return: anything past a few of them is no store
// file the settings CGI wrote.
constexpr int kReadLimit = 1024;

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

} // namespace

std::string RtmpUrl_stored(std::string_view url)
{
    // Letters, digits and these stand for themselves in an unquoted shell word; '~' is left out, as
    // it expands after ':' in an assignment.
    constexpr std::string_view kLiteral = "/:._-@%+,";
    bool bare = !url.empty();
    for (char c : url) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        bare = bare && (alnum || kLiteral.find(c) != std::string_view::npos);
    }
    return bare ? std::string(url) : "'" + std::string(url) + "'";
}

std::string_view RtmpUrl_unstored(std::string_view stored)
{
    if (stored.size() >= 2 && stored.front() == '\'' && stored.back() == '\'') {
        return stored.substr(1, stored.size() - 2);
    }
    return stored;
}

std::string RtmpUrl_check(std::string_view url)
{
    if (url.substr(0, 7) != "rtmp://" && url.substr(0, 8) != "rtmps://") {
        return "it must start with rtmp:// or rtmps://";
    }
    // Stored in single quotes whenever the shell would act on it (a query string's '&' and '=' are
    // common in ingest URLs), so only what would break the quoting or the line, or what no URL holds,
    // is refused.
    for (char c : url) {
        unsigned char u = static_cast<unsigned char>(c);
        if (isControl(u) || u >= 0x80 || c == ' ' || c == '\'' || c == '"' || c == '\\') {
            return "no blank, quote, backslash, control or non-ASCII character allowed";
        }
    }
    if (RtmpUrl_stored(url).size() > kRtmpUrlStoredMax) {
        return "longer than " + std::to_string(kRtmpUrlStoredMax) + " characters as stored";
    }
    return {};
}

std::string RtmpUrl_public(std::string_view url)
{
    size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    size_t hostAt = scheme + 3;
    size_t pathAt = url.find('/', hostAt);
    std::string_view authority = url.substr(hostAt, pathAt == std::string_view::npos ? pathAt : pathAt - hostAt);
    size_t user = authority.rfind('@');
    if (user != std::string_view::npos) {
        authority.remove_prefix(user + 1);
    }
    std::string shown = std::string(url.substr(0, hostAt)) + std::string(authority);
    if (pathAt == std::string_view::npos) {
        return shown;
    }
    // librtmp takes the first path element as the application, the rest as the stream name.
    std::string_view path = url.substr(pathAt + 1);
    size_t appEnd = path.find_first_of("/?");
    shown += "/" + std::string(path.substr(0, appEnd));
    if (appEnd != std::string_view::npos) {
        shown += "/\u2026";
    }
    return shown;
}

RtmpExtraDestinations RtmpDestinations_parseExtra(std::string_view text, bool cut)
{
    RtmpExtraDestinations d;
    d.state = text.empty() && !cut ? FileState::Empty : FileState::Read;
    int n = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        bool whole = end != std::string_view::npos || !cut;
        std::string_view stored = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!stored.empty() && stored.back() == '\r') {
            stored.remove_suffix(1);
        }
        if (n >= kRtmpExtraDestinations) {
            d.ignoredLines += stored.empty() ? 0 : 1;
            continue;
        }
        RtmpExtraLine &l = d.line[n++];
        if (stored.empty()) {
            continue;
        }
        std::string_view url = RtmpUrl_unstored(stored);
        l.problem = whole ? RtmpUrl_check(url) : "longer than " + std::to_string(kRtmpUrlStoredMax) + " characters as stored";
        if (l.problem.empty()) {
            l.url = url;
        }
    }
    return d;
}

RtmpExtraDestinations RtmpDestinations_readExtra()
{
    std::string text;
    if (!Config_readText(kRtmpExtraFile, text, kReadLimit + 1)) {
        return {};
    }
    bool cut = text.size() > static_cast<size_t>(kReadLimit);
    if (cut) {
        text.resize(kReadLimit);
    }
    return RtmpDestinations_parseExtra(text, cut);
}

std::string RtmpDestinations_formatExtra(const std::string (&urls)[kRtmpExtraDestinations])
{
    int last = -1;
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        last = urls[i].empty() ? last : i;
    }
    std::string text;
    for (int i = 0; i <= last; i++) {
        text += (urls[i].empty() ? "" : RtmpUrl_stored(urls[i])) + "\n";
    }
    return text;
}
