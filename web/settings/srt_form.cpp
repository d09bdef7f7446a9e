// SRT settings action of the settings CGI; one request per process, no state.
#include "web/settings/srt_form.h"

#include "encode/core/srt_settings.h"
#include "web/form/form.h"
#include "web/settings/secret.h"
#include "web/settings/store.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr char kPath[] = "/mnt/srt.ini";
constexpr char kSwap[] = "/mnt/srt.ini.swp";
constexpr int kFieldSize = 1024;
const char *kTwoWay[] = {"male", "female"};
const char *kKeyLengths[] = {"16", "24", "32"};

void refuse(const char *field, const std::string &why)
{
    std::printf("refused %s: %s; nothing changed\n", field, why.c_str());
}

// The passphrase and the stream id go to peers and logs as they are: a quote, a blank or a control
// character in them is more likely a slip of the keyboard than meant.
std::string plainWord(std::string_view v)
{
    for (unsigned char c : v) {
        if (c == '"' || c == '\'' || c == ' ' || c == '\t' || c < 0x20 || c == 0x7F) {
            return "a quote, a blank or a control character";
        }
    }
    return {};
}

struct TextField {
    const char *field;
    const char *key;
    bool plain;  // the plainWord rule applies
    bool secret; // the page never shows it, so an empty field keeps the stored value
    std::string SrtSettings::*text; // a text key, else
    int SrtSettings::*number;       // a number key
};

const TextField kTexts[] = {
    {"srt_host", "host", false, false, &SrtSettings::host, nullptr},
    {"srt_port", "port", false, false, nullptr, &SrtSettings::port},
    {"srt_latency", "latency", false, false, nullptr, &SrtSettings::latencyMs},
    {"srt_passphrase", "passphrase", true, true, &SrtSettings::passphrase, nullptr},
    {"srt_streamid", "streamid", true, false, &SrtSettings::streamid, nullptr},
};

// Every text field the form sent, checked, into `s` (the secret ones not when they are to be
// cleared); false after a refusal.
bool applyTexts(SrtSettings &s, bool clearSecrets)
{
    for (const TextField &t : kTexts) {
        char buf[kFieldSize];
        // Not the no-newlines read: a line end in a passphrase must be refused, not silently dropped.
        cgiFormResultType r = cgiFormString(t.field, buf, kFieldSize);
        if (r == cgiFormNotFound || (t.secret && (r == cgiFormEmpty || clearSecrets))) {
            continue;
        }
        if (r == cgiFormTruncated) {
            refuse(t.field, "too long");
            return false;
        }
        std::string v = r == cgiFormSuccess ? buf : "";
        std::string why = t.plain ? plainWord(v) : "";
        if (why.empty()) {
            why = SrtSettings_checkValue(t.key, v);
        }
        if (!why.empty()) {
            refuse(t.field, why);
            return false;
        }
        // The value as the encoder will read it: the reader is the one place that turns text into values.
        SrtSettings parsed;
        std::string unused;
        SrtSettings_parse(std::string(t.key) + "=" + v + "\n", parsed, unused);
        if (t.text != nullptr) {
            s.*t.text = parsed.*t.text;
        } else {
            s.*t.number = parsed.*t.number;
        }
    }
    return true;
}

// The radios and the key length; false after a refusal.
bool applyChoices(SrtSettings &s)
{
    int c = 0;
    if (cgiFormRadio("srt_enable", kTwoWay, 2, &c, 0) == cgiFormSuccess) {
        s.enable = c == 1;
    }
    if (cgiFormRadio("srt_mode", kTwoWay, 2, &c, 0) == cgiFormSuccess) {
        s.mode = c == 1 ? SrtMode::Listener : SrtMode::Caller;
    }
    cgiFormResultType r = cgiFormSelectSingle("srt_pbkeylen", kKeyLengths, 3, &c, 0);
    if (r == cgiFormNoSuchChoice) {
        refuse("srt_pbkeylen", "not 16, 24 or 32");
        return false;
    }
    if (r == cgiFormSuccess) {
        s.pbkeylen = c == 2 ? 32 : c == 1 ? 24 : 16;
    }
    return true;
}

} // namespace

void SrtForm_action()
{
    // The page's second button sends the same form and takes the passphrase away.
    bool clear = cgiFormButtonPressed("srt_passphrase_clear");
    if (!cgiFormButtonPressed("srt_submit") && !clear) {
        return;
    }
    std::string old;
    bool had = Store_read(kPath, old, SRT_SETTINGS_FILE_BYTES + 1);
    SrtSettings s;
    std::string why;
    if (had && SrtSettings_parse(old, s, why) != SrtSettings_EOK) {
        s = SrtSettings{}; // a spoilt file is replaced from the defaults and what the form sends
    }
    if (!applyChoices(s) || !applyTexts(s, clear)) {
        return;
    }
    if (clear) {
        s.passphrase.clear();
    }
    std::string text = SrtSettings_format(s);
    SrtSettings whole;
    why.clear();
    if (SrtSettings_parse(text, whole, why) != SrtSettings_EOK) {
        refuse("srt", why.substr(0, why.rfind(", srt output off")));
        return;
    }
    if (!Store_replace(kPath, kSwap, had ? &old : nullptr, text)) {
        return;
    }
    std::string port = s.port > 0 ? std::to_string(s.port) : "(no port)";
    std::string secret = s.passphrase.empty() ? "no passphrase"
                                              : "passphrase " + Secret_shown(s.passphrase) + ", AES-" +
                                                    std::to_string(s.pbkeylen * 8);
    std::printf("set srt: %s, %s %s:%s, latency %d ms, %s, %s\n", s.enable ? "on" : "off",
                s.mode == SrtMode::Listener ? "listener on" : "caller to", s.host.empty() ? "*" : s.host.c_str(),
                port.c_str(), s.latencyMs, secret.c_str(), s.streamid.empty() ? "no stream id" : "stream id set");
}
