// The SRT settings file: parser, checker and writer's text. Stateless; the encoder's main thread reads
// it at start, the settings CGI checks and writes it.
#include "encode/core/srt_settings.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/key_value_file.h"

#include <arpa/inet.h>

#include <cstdio>

namespace {

constexpr const char *kPath = "/mnt/srt.ini";
constexpr size_t kPassphraseMin = 10;
constexpr size_t kPassphraseMax = 79;
constexpr size_t kStreamIdMax = 512;

// A decimal number lo..hi, nothing else; -1 when it is not one.
int number(std::string_view v, int lo, int hi)
{
    long long n = 0;
    if (!Config_parseDecimal(v, false, 5, n) || n < lo || n > hi) {
        return -1;
    }
    return static_cast<int>(n);
}

bool ipv4(std::string_view v)
{
    in_addr a{};
    std::string s(v);
    return v.size() <= 15 && inet_pton(AF_INET, s.c_str(), &a) == 1;
}

// The value's check and where it goes; the table is the file's whole vocabulary.
struct Key {
    const char *name;
    std::string (*check)(std::string_view v);
    void (*store)(SrtSettings &s, std::string_view v);
};

const Key kKeys[] = {
    {"enable", [](std::string_view v) { return v == "0" || v == "1" ? std::string() : "not 0 or 1"; },
     [](SrtSettings &s, std::string_view v) { s.enable = v == "1"; }},
    {"mode",
     [](std::string_view v) { return v == "caller" || v == "listener" ? std::string() : "not caller or listener"; },
     [](SrtSettings &s, std::string_view v) { s.mode = v == "listener" ? SrtMode::Listener : SrtMode::Caller; }},
    {"host", [](std::string_view v) { return v.empty() || ipv4(v) ? std::string() : "not an IPv4 address"; },
     [](SrtSettings &s, std::string_view v) { s.host.assign(v); }},
    {"port",
     [](std::string_view v) { return v.empty() || number(v, 1, 65535) > 0 ? std::string() : "not a port 1..65535"; },
     [](SrtSettings &s, std::string_view v) { s.port = v.empty() ? 0 : number(v, 1, 65535); }},
    {"latency",
     [](std::string_view v) { return number(v, 20, 8000) > 0 ? std::string() : "not 20..8000 ms"; },
     [](SrtSettings &s, std::string_view v) { s.latencyMs = number(v, 20, 8000); }},
    {"passphrase",
     [](std::string_view v) {
         return v.empty() || (v.size() >= kPassphraseMin && v.size() <= kPassphraseMax && KeyValue_printable(v))
                    ? std::string()
                    : "not empty or 10..79 printable characters";
     },
     [](SrtSettings &s, std::string_view v) { s.passphrase.assign(v); }},
    {"pbkeylen",
     [](std::string_view v) { return v == "16" || v == "24" || v == "32" ? std::string() : "not 16, 24 or 32"; },
     [](SrtSettings &s, std::string_view v) { s.pbkeylen = number(v, 16, 32); }},
    {"streamid",
     [](std::string_view v) {
         return v.size() <= kStreamIdMax && KeyValue_printable(v) ? std::string() : "not up to 512 printable characters";
     },
     [](SrtSettings &s, std::string_view v) { s.streamid.assign(v); }},
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

// The refusal line; a value that is not printable is not echoed as it stands, and a passphrase is
// never echoed (the log is on the status page): only its length.
std::string refusal(std::string_view key, std::string_view value, const std::string &why)
{
    std::string shown = key == "passphrase" ? "(" + std::to_string(value.size()) + " characters)"
                        : KeyValue_printable(value)  ? std::string(value)
                                            : "(unprintable)";
    if (shown.size() > 80) {
        shown = shown.substr(0, 80) + "...";
    }
    return "srt.ini: bad " + std::string(key) + "=" + shown + " (" + why + "), srt output off";
}

} // namespace

std::string SrtSettings_checkValue(std::string_view key, std::string_view value)
{
    const Key *k = find(key);
    return k == nullptr ? "no such key" : k->check(value);
}

int SrtSettings_parse(std::string_view text, SrtSettings &out, std::string &why)
{
    out = SrtSettings{};
    if (text.size() > static_cast<size_t>(SRT_SETTINGS_FILE_BYTES)) {
        why = "srt.ini: longer than " + std::to_string(SRT_SETTINGS_FILE_BYTES) + " bytes, srt output off";
        return SrtSettings_EINVAL;
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
    if (clean && out.enable && out.port <= 0) {
        why = refusal("port", "", "a port is needed");
    } else if (clean && out.enable && out.mode == SrtMode::Caller && out.host.empty()) {
        why = refusal("host", "", "a caller needs the address to call");
    }
    if (!why.empty()) {
        out = SrtSettings{};
        return SrtSettings_EINVAL;
    }
    return SrtSettings_EOK;
}

std::string SrtSettings_format(const SrtSettings &s)
{
    return std::string("enable=") + (s.enable ? "1" : "0") + "\nmode=" +
           (s.mode == SrtMode::Listener ? "listener" : "caller") + "\nhost=" + s.host +
           "\nport=" + (s.port > 0 ? std::to_string(s.port) : "") + "\nlatency=" + std::to_string(s.latencyMs) +
           "\npassphrase=" + s.passphrase + "\npbkeylen=" + std::to_string(s.pbkeylen) + "\nstreamid=" + s.streamid +
           "\n";
}

int SrtSettings_read(SrtSettings &out)
{
    out = SrtSettings{};
    std::string text;
    // One byte past the limit tells an oversize file from one that just fits.
    if (!Config_readText(kPath, text, SRT_SETTINGS_FILE_BYTES + 1)) {
        return SrtSettings_EMISSING;
    }
    std::string why;
    int r = SrtSettings_parse(text, out, why);
    if (r != SrtSettings_EOK) {
        Console_say("%s\n", why.c_str());
    }
    return r;
}
