// WebRTC and WHIP settings actions of the settings CGI; one request per process, no state.
#include "web/settings/webrtc_form.h"

#include "encode/core/webrtc_settings.h"
#include "web/form/form.h"
#include "web/settings/secret.h"
#include "web/settings/store.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Room for the longest value either file takes (a URL or a token of 1024) and more, so that a longer
// one is refused as too long by the check rather than cut by the form layer.
constexpr int kFieldSize = 2048;
const char *kOnOff[] = {"male", "female"};

void refuse(const std::string &field, const std::string &why)
{
    std::printf("refused %s: %s; nothing changed\n", field.c_str(), why.c_str());
}

// One of a file's text fields: its form name, its key, whether the page holds it back.
template <class S> struct Text {
    const char *field;
    const char *key;
    std::string S::*value;
    bool (*secret)(const std::string &stored); // held back while the stored value is one
};

bool always(const std::string &) { return true; }
bool never(const std::string &) { return false; }
bool turnServer(const std::string &stored) { return WebrtcSettings_stunIsSecret(stored); }

// Everything one file's form needs: its paths, its reader, its fields and its clear button.
template <class S> struct File {
    const char *path;
    const char *swap;
    const char *name; // in refusals of the whole file
    int (*parse)(std::string_view, S &, std::string &);
    std::string (*check)(std::string_view, std::string_view);
    std::string (*format)(const S &);
    const char *enableField;
    const char *viewersField; // "" when the file has none
    std::vector<Text<S>> texts;
    const char *clearButton; // stores the form without the secret text field
    const char *clearField;
};

// The value as the server will read it, through its own parser.
template <class S> S parsedValue(const File<S> &f, const std::string &key, const std::string &value)
{
    S parsed;
    std::string unused;
    f.parse(key + "=" + value + "\n", parsed, unused);
    return parsed;
}

// The form's fields into `s`; false after a refusal.
template <class S> bool apply(const File<S> &f, S &s, bool clear)
{
    int c = 0;
    if (cgiFormRadio(f.enableField, kOnOff, 2, &c, 0) == cgiFormSuccess) {
        s.enable = c == 1;
    }
    if constexpr (requires { s.viewers; }) {
        char buf[16];
        cgiFormResultType r = cgiFormStringNoNewlines(f.viewersField, buf, sizeof buf);
        if (r != cgiFormNotFound) {
            std::string v = r == cgiFormSuccess ? buf : "";
            std::string why = r == cgiFormTruncated ? "not 1..16" : f.check("viewers", v);
            if (!why.empty()) {
                refuse(f.viewersField, why);
                return false;
            }
            s.viewers = parsedValue(f, "viewers", v).viewers;
        }
    }
    for (const Text<S> &t : f.texts) {
        char buf[kFieldSize];
        // Not the no-newlines read: a line end in a value must be refused, not silently dropped.
        cgiFormResultType r = cgiFormString(t.field, buf, kFieldSize);
        bool heldBack = t.secret(s.*t.value);
        bool isClearField = std::string(t.field) == f.clearField;
        if (r == cgiFormNotFound || (isClearField && clear) || (heldBack && r == cgiFormEmpty)) {
            continue;
        }
        if (r == cgiFormTruncated) {
            refuse(t.field, "too long");
            return false;
        }
        std::string v = r == cgiFormSuccess ? buf : "";
        std::string why = f.check(t.key, v);
        if (!why.empty()) {
            refuse(t.field, why);
            return false;
        }
        s.*t.value = parsedValue(f, t.key, v).*t.value;
    }
    if (clear) {
        for (const Text<S> &t : f.texts) {
            if (std::string(t.field) == f.clearField) {
                (s.*t.value).clear();
            }
        }
    }
    return true;
}

// The whole action over one file: the stored values, the form's over them, the file checked whole
// and written; true when it was written (`s` then holds what was stored).
template <class S> bool store(const File<S> &f, const char *submit, S &s)
{
    bool clear = cgiFormButtonPressed(f.clearButton);
    if (!cgiFormButtonPressed(submit) && !clear) {
        return false;
    }
    std::string old;
    bool had = Store_read(f.path, old, WEBRTC_SETTINGS_FILE_BYTES + 1);
    std::string why;
    if (had && f.parse(old, s, why) != WebrtcSettings_EOK) {
        s = S{}; // a spoilt file is replaced from the defaults and what the form sends
    }
    if (!apply(f, s, clear)) {
        return false;
    }
    std::string text = f.format(s);
    S whole;
    why.clear();
    if (f.parse(text, whole, why) != WebrtcSettings_EOK) {
        // The reader's line ends in what the server then does ("..., whip output off"): nothing is stored.
        refuse(f.name, why.substr(0, why.rfind(", ")));
        return false;
    }
    if (!Store_replace(f.path, f.swap, had ? &old : nullptr, text)) {
        return false;
    }
    return true;
}

const File<WebrtcSettings> kWebrtc = {
    "/mnt/webrtc.ini", "/mnt/webrtc.ini.swp", "webrtc", WebrtcSettings_parse, WebrtcSettings_checkValue,
    WebrtcSettings_format, "webrtc_enable", "webrtc_viewers",
    {{"webrtc_stun", "stun", &WebrtcSettings::stun, turnServer}}, "webrtc_stun_clear", "webrtc_stun",
};

const File<WhipSettings> kWhip = {
    "/mnt/whip.ini", "/mnt/whip.ini.swp", "whip", WhipSettings_parse, WhipSettings_checkValue, WhipSettings_format,
    "whip_enable", "",
    {{"whip_url", "url", &WhipSettings::url, never}, {"whip_token", "token", &WhipSettings::token, always}},
    "whip_token_clear", "whip_token",
};

} // namespace

void WebrtcForm_action()
{
    WebrtcSettings s;
    if (store(kWebrtc, "webrtc_submit", s)) {
        std::printf("set webrtc: %s, up to %d viewers, ICE server %s\n", s.enable ? "on" : "off", s.viewers,
                    Secret_iceShown(s.stun).c_str());
    }
}

void WhipForm_action()
{
    WhipSettings s;
    if (store(kWhip, "whip_submit", s)) {
        std::printf("set whip: %s, %s, token %s\n", s.enable ? "on" : "off", s.url.empty() ? "no URL" : s.url.c_str(),
                    Secret_shown(s.token).c_str());
    }
}
