// Secret markers of the settings page and program; pure functions over the texts they are given.
#include "web/settings/secret.h"

#include "encode/core/rtmp_destinations.h"

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr size_t kTailFrom = 12;
constexpr size_t kTail = 4;
// What RtmpUrl_public puts where the stream key stands; the page sends it back unchanged.
constexpr std::string_view kHiddenKey = "/\u2026";

// Where the parts of an RTMP URL start, cut as RtmpUrl_public cuts it (librtmp takes the first path
// element as the application, the rest as the stream name).
struct UrlParts {
    size_t host = npos;      // the authority (its user part included)
    size_t afterUser = npos; // the host itself: past "user@", or `host` when there is none
    size_t path = npos;      // the '/' before the application
    size_t rest = npos;      // the '/' or '?' that ends the application: the hidden stream key follows
};

UrlParts split(std::string_view url)
{
    UrlParts p;
    size_t scheme = url.find("://");
    if (scheme == npos) {
        return p;
    }
    p.host = scheme + 3;
    p.path = url.find('/', p.host);
    std::string_view authority = url.substr(p.host, p.path == npos ? npos : p.path - p.host);
    size_t at = authority.rfind('@');
    p.afterUser = at == npos ? p.host : p.host + at + 1;
    if (p.path != npos) {
        p.rest = url.find_first_of("/?", p.path + 1);
    }
    return p;
}

bool endsWith(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

} // namespace

std::string Secret_shown(std::string_view secret)
{
    if (secret.empty()) {
        return "not set";
    }
    if (secret.size() < kTailFrom) {
        return "set";
    }
    return "set (\u2026" + std::string(secret.substr(secret.size() - kTail)) + ")";
}

std::string_view Secret_streamKey(std::string_view url)
{
    UrlParts p = split(url);
    return p.rest == npos ? std::string_view() : url.substr(p.rest + 1);
}

std::string Secret_rtmpShown(std::string_view url)
{
    return RtmpUrl_public(url) + ", stream key " + Secret_shown(Secret_streamKey(url));
}

std::string Secret_postedUrl(std::string_view posted, std::string_view stored, std::string &url)
{
    if (!stored.empty() && posted == RtmpUrl_public(stored)) {
        url = stored;
        return {};
    }
    if (!endsWith(posted, kHiddenKey)) {
        url = posted;
        return {};
    }
    std::string_view base = posted.substr(0, posted.size() - kHiddenKey.size());
    UrlParts b = split(base);
    // Only scheme, host and application may stand before the marker: a user part, a second path
    // element or a query there would be a key of its own beside the stored one.
    bool plain = RtmpUrl_check(base).empty() && RtmpUrl_public(base) == base && b.path != npos &&
                 b.path + 1 < base.size();
    if (!plain) {
        return "\"/\u2026\" stands for the stored stream key and may only follow rtmp://host/application";
    }
    UrlParts s = split(stored);
    if (s.rest == npos) {
        return "no stream key is stored here to keep; type the whole URL";
    }
    url = std::string(base.substr(0, b.host)) + std::string(stored.substr(s.host, s.afterUser - s.host)) +
          std::string(base.substr(b.host)) + std::string(stored.substr(s.rest));
    return {};
}

std::string Secret_iceShown(std::string_view ice)
{
    if (ice.empty()) {
        return "none";
    }
    size_t at = ice.rfind('@');
    size_t scheme = ice.find("://");
    if (at == std::string_view::npos || scheme == std::string_view::npos || at < scheme) {
        return std::string(ice);
    }
    // Only the credentials are held back: the server's host and port tell the operator which one it is.
    return "TURN server " + std::string(ice.substr(at + 1)) + ", credentials " +
           Secret_shown(ice.substr(scheme + 3, at - scheme - 3));
}
