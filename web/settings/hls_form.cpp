// HLS settings action of the settings CGI; one request per process, no state.
#include "web/settings/hls_form.h"

#include "encode/core/hls_settings.h"
#include "web/form/form.h"
#include "web/settings/store.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr char kPath[] = "/mnt/hls.ini";
constexpr char kSwap[] = "/mnt/hls.ini.swp";
// Room for the longest URL the file takes and more, so that a longer one is refused by the check
// rather than cut by the form layer.
constexpr int kFieldSize = 2048;
const char *kOnOff[] = {"male", "female"};
constexpr std::string_view kHidden = "***";

void refuse(const char *field, const std::string &why)
{
    std::printf("refused %s: %s; nothing changed\n", field, why.c_str());
}

// Where a URL's authority ends: the first '/', '?' or '#' after the scheme's "//" (the end when none).
size_t authorityEnd(std::string_view url)
{
    size_t start = url.find("//");
    size_t end = url.find_first_of("/?#", start == std::string_view::npos ? 0 : start + 2);
    return end == std::string_view::npos ? url.size() : end;
}

// The push URL the posted field stands for, given the stored one; "" when it is set, else the refusal.
std::string postedUrl(std::string_view posted, const std::string &stored, std::string &url)
{
    std::string shown = HlsSettings_shownUrl(stored);
    if (posted == shown) {
        url = stored;
        return {};
    }
    size_t end = authorityEnd(posted);
    std::string_view authority = posted.substr(0, end);
    if (authority.find(std::string(":") + std::string(kHidden) + "@") == std::string_view::npos) {
        url.assign(posted);
        return {};
    }
    // The hidden password goes on only to the user and host it was stored for.
    if (shown == stored || authority != std::string_view(shown).substr(0, authorityEnd(shown))) {
        return "the password shown as *** belongs to the stored user and host: type it again";
    }
    url = stored.substr(0, authorityEnd(stored)) + std::string(posted.substr(end));
    return {};
}

// One typed field into `s` through the encoder's reader; false after a refusal.
bool applyText(const char *field, const char *key, HlsSettings &s)
{
    char buf[kFieldSize];
    // Not the no-newlines read: a line end in a value must be refused, not silently dropped.
    cgiFormResultType r = cgiFormString(field, buf, kFieldSize);
    if (r == cgiFormNotFound) {
        return true;
    }
    if (r == cgiFormTruncated) {
        refuse(field, "too long");
        return false;
    }
    std::string v = r == cgiFormSuccess ? buf : "";
    std::string why;
    if (std::string_view(key) == "push_url") {
        std::string url;
        why = postedUrl(v, s.pushUrl, url);
        v = url;
    }
    if (why.empty()) {
        why = HlsSettings_checkValue(key, v);
    }
    if (!why.empty()) {
        refuse(field, why);
        return false;
    }
    // The value as the encoder will read it: the reader is the one place that turns text into values.
    HlsSettings parsed;
    HlsSettings_parse(std::string(key) + "=" + v + "\n", parsed, why);
    if (std::string_view(key) == "segment") {
        s.segmentS = parsed.segmentS;
    } else if (std::string_view(key) == "segments") {
        s.segments = parsed.segments;
    } else {
        s.pushUrl = parsed.pushUrl;
    }
    return true;
}

// The form over the stored values; false after a refusal.
bool apply(HlsSettings &s)
{
    int c = 0;
    if (cgiFormRadio("hls_enable", kOnOff, 2, &c, 0) == cgiFormSuccess) {
        s.enable = c == 1;
    }
    if (cgiFormRadio("hls_public", kOnOff, 2, &c, 0) == cgiFormSuccess) {
        s.open = c == 1;
    }
    return applyText("hls_segment", "segment", s) && applyText("hls_segments", "segments", s) &&
           applyText("hls_push_url", "push_url", s);
}

} // namespace

void HlsForm_action()
{
    if (!cgiFormButtonPressed("hls_submit")) {
        return;
    }
    std::string old;
    bool had = Store_read(kPath, old, HLS_SETTINGS_FILE_BYTES + 1);
    HlsSettings s;
    std::string why;
    if (had && HlsSettings_parse(old, s, why) != HlsSettings_EOK) {
        s = HlsSettings{}; // a spoilt file is replaced from the defaults and what the form sends
    }
    if (!apply(s)) {
        return;
    }
    std::string text = HlsSettings_format(s);
    HlsSettings whole;
    why.clear();
    if (HlsSettings_parse(text, whole, why) != HlsSettings_EOK) {
        refuse("hls", why.substr(0, why.rfind(", hls output off")));
        return;
    }
    if (!Store_replace(kPath, kSwap, had ? &old : nullptr, text)) {
        return;
    }
    std::string push = s.pushUrl.empty() ? "no push" : "push to " + HlsSettings_shownUrl(s.pushUrl);
    std::printf("set hls: %s, segments of %d s, %d in the playlist, /hls/ %s, %s\n", s.enable ? "on" : "off",
                s.segmentS, s.segments, s.open ? "open to all" : "behind the login", push.c_str());
}
