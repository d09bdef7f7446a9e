// Current values of the main settings page. Read-only over the store: the start script's block
// through the key scanner, the flag files, records and Wi-Fi files through the store's readers, each
// choice turned back into the radio value the CGI stores it from. A file that is missing, or a value
// its reader cannot take, gives null and a note saying what the encoder does without it. No secret is
// answered: a secret's field is always empty, and the field "<name>_secret" says whether one is stored
// (Secret_shown); an RTMP URL is answered with its stream key hidden, as the status shows it.
#include "web/settings/current.h"

#include "encode/core/config_store.h"
#include "encode/core/hls_settings.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/srt_settings.h"
#include "encode/core/webrtc_settings.h"
#include "web/settings/certificate.h"
#include "web/settings/mac.h"
#include "web/settings/report.h"
#include "web/settings/secret.h"
#include "web/settings/start_script.h"
#include "web/settings/store.h"
#include "web/settings/subtitle.h"
#include "web/settings/wifi.h"

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

std::string missing(const std::string &path)
{
    return path + " is missing";
}

// --- The start script ---

struct ScriptField {
    const char *field;
    const char *key;
    Key scanKey;
    std::string KeyState::*text; // a text key, else
    int KeyState::*number;       // a number key
};

constexpr std::array<ScriptField, 13> kScriptFields = {{
    {"ip", "ip", Key::Ip, &KeyState::ip, nullptr},
    {"netmask", "netmask", Key::Netmask, &KeyState::netmask, nullptr},
    {"gateway", "gateway", Key::Gateway, &KeyState::gateway, nullptr},
    {"tz", "tz", Key::Tz, &KeyState::tz, nullptr},
    {"rtmpurl", "url", Key::Url, &KeyState::url, nullptr},
    {"tc", "tc", Key::Tc, nullptr, &KeyState::tc},
    {"fi", "fi", Key::Fi, nullptr, &KeyState::fi},
    {"bitrate", "bitrate", Key::Bitrate, nullptr, &KeyState::bitrate},
    {"framerate", "framerate", Key::FrameRate, nullptr, &KeyState::framerate},
    {"audiosample", "audiosample", Key::AudioSample, nullptr, &KeyState::audiosample},
    {"audiobitrate", "audiobps", Key::AudioBps, nullptr, &KeyState::audiobps},
    {"vs_width", "width", Key::Width, nullptr, &KeyState::width},
    {"vs_height", "height", Key::Height, nullptr, &KeyState::height},
}};

// A single-digit key of the block as a two-way radio: the digit of its first and of its second choice.
struct ScriptRadio {
    const char *field;
    const char *key;
    Key scanKey;
    int KeyState::*number;
    int male;
    int female;
};

constexpr std::array<ScriptRadio, 2> kScriptRadios = {{
    {"selvs", "ctrlcodec", Key::CtrlCodec, &KeyState::ctrlcodec, 1, 2},
    {"audioen", "ctrlencode", Key::CtrlEncode, &KeyState::ctrlencode, 2, 1},
}};

// The body of a start script: from the "end" in its first 300 bytes on.
std::optional<std::string> scriptBody(const std::string &path)
{
    std::string text;
    if (!Store_read(path, text, static_cast<int>(kScriptLimit) + 1)) {
        return std::nullopt;
    }
    std::optional<size_t> end = KeyScan_findEnd(std::string_view(text).substr(0, kBlockWindow));
    if (!end) {
        return std::nullopt;
    }
    return text.substr(*end);
}

// The audio codec is the template whose body the start script carries (the codec switch copies a
// whole template; later rewrites change only the block).
void codecValue(PageValues &out)
{
    std::optional<std::string> body = scriptBody(kStartScript);
    if (!body) {
        out.unknown("ctrlts", "no script body found in /mnt/autorun.sh");
        return;
    }
    if (body == scriptBody("/mnt/autorun.sh.h264.aac.org")) {
        out.set("ctrlts", "male");
    } else if (body == scriptBody("/mnt/autorun.sh.h264.mp3.org")) {
        out.set("ctrlts", "female");
    } else {
        out.unknown("ctrlts", "the body of /mnt/autorun.sh matches neither the AAC nor the MP3 template");
    }
}

void scriptValues(PageValues &out)
{
    std::string file;
    if (!Store_read(kStartScript, file, static_cast<int>(kScriptLimit) + 1)) {
        for (const ScriptField &f : kScriptFields) {
            out.unknown(f.field, "Can't open file autorun.sh");
        }
        for (const ScriptRadio &r : kScriptRadios) {
            out.unknown(r.field, "Can't open file autorun.sh");
        }
        out.unknown("ctrlts", "Can't open file autorun.sh");
        return;
    }
    KeyState s;
    KeyScan_scan(s, std::string_view(file).substr(0, kBlockWindow), true);
    for (const ScriptField &f : kScriptFields) {
        if ((s.hits & keyBit(f.scanKey)) == 0) {
            out.unknown(f.field, std::string("no readable ") + f.key + "= line in the settings block of /mnt/autorun.sh");
        } else {
            out.set(f.field, f.text != nullptr ? s.*f.text : std::to_string(s.*f.number));
        }
    }
    for (const ScriptRadio &r : kScriptRadios) {
        int v = s.*r.number;
        if ((s.hits & keyBit(r.scanKey)) == 0 || (v != r.male && v != r.female)) {
            out.unknown(r.field, std::string("no ") + r.key + "=" + std::to_string(r.male) + " or " +
                                     std::to_string(r.female) + " line in the settings block of /mnt/autorun.sh");
        } else {
            out.set(r.field, v == r.male ? "male" : "female");
        }
    }
    codecValue(out);
}

// --- Flag files ---

// A flag file as a two-way radio: "1" is the choice `on`, any other first byte the other one. For the
// files whose report calls an empty file an error, an empty file is no value either.
struct FlagRadio {
    const char *field;
    const char *path;
    const char *on;
    const char *off;
    bool emptyIsError;
};

constexpr std::array<FlagRadio, 4> kFlagRadios = {{
    {"ctrldz", "/mnt/tcp.ini", "female", "male", false},
    {"ctrlcz", "/mnt/kavex_encQuality.ini", "female", "male", false},
    {"audioin", "/mnt/ha.ini", "female", "male", true},
    {"ifwifi", "/mnt/wifi/ifwifi", "female", "male", true},
}};

void flagValues(PageValues &out)
{
    for (const FlagRadio &f : kFlagRadios) {
        FlagRead r = Config_readFlag(f.path);
        if (r.state == FileState::Missing) {
            out.unknown(f.field, missing(f.path));
        } else if (r.state == FileState::Empty && f.emptyIsError) {
            out.unknown(f.field, std::string(f.path) + " is empty");
        } else {
            out.set(f.field, r.on() ? f.on : f.off);
        }
    }
    // Two files each: UDP, off or HTTP; RTSP, off, RTMP or both.
    FlagRead ts = Config_readFlag("/mnt/ts.ini");
    if (ts.state == FileState::Missing) {
        out.unknown("ctrlaz", missing("/mnt/ts.ini") + " (the encoder then sends the transport stream)");
    } else {
        out.set("ctrlaz", ts.on() ? "female" : Config_readFlag("/mnt/httpts.ini").on() ? "amale" : "male");
    }
    FlagRead rtsp = Config_readFlag("/mnt/rtsp.ini");
    if (rtsp.state == FileState::Missing) {
        out.unknown("ctrlez", missing("/mnt/rtsp.ini") + " (the encoder then runs neither RTSP nor RTMP)");
    } else {
        FlagRead rtmp = Config_readFlag("/mnt/rtsporrtmp.ini");
        bool both = rtmp.state == FileState::Read && rtmp.first == '2';
        out.set("ctrlez", !rtsp.on() ? "male" : rtmp.on() ? "amale" : both ? "afemale" : "female");
    }
    FlagRead profile = Config_readFlag("/mnt/kavex_encProfileIdc.ini");
    if (profile.state == FileState::Missing) {
        out.unknown("ctrlbz", missing("/mnt/kavex_encProfileIdc.ini") + " (the encoder then uses High profile)");
    } else {
        out.set("ctrlbz", profile.first == '1' ? "female" : profile.first == '2' ? "amale" : "male");
    }
}

// --- Numbers and records ---

// A one-field "%d" file whose typed text the CGI stores.
void numberValue(PageValues &out, const char *field, const char *path, const char *without)
{
    int v[1] = {0};
    int n = Config_readRecord(path, v, kRecordLimitSecondStream);
    if (n == Config_ENOFILE) {
        out.unknown(field, missing(path) + without);
    } else if (n == 0) {
        out.unknown(field, std::string(path) + " holds no number" + without);
    } else {
        out.set(field, std::to_string(v[0]));
    }
}

void encoderValues(PageValues &out)
{
    DigitRead ttl = Config_readDigits("/mnt/ttl.ini", 3);
    if (ttl.state == FileState::Missing) {
        out.unknown("ttl", missing("/mnt/ttl.ini") + " (the encoder then uses 0)");
    } else if (ttl.digits == 0) {
        out.unknown("ttl", "/mnt/ttl.ini holds no number (the encoder then uses 0)");
    } else {
        out.set("ttl", std::to_string(ttl.value));
    }
    numberValue(out, "idr", "/mnt/idr.ini", " (every I frame is then an IDR frame)");
    numberValue(out, "cvbr", "/mnt/kavex_maxdelay.ini", " (the encoder then uses 1000 ms)");
    if (!Config_exists("/mnt/kavex_encLevel.ini")) {
        out.unknown("menu_encst", missing("/mnt/kavex_encLevel.ini") + " (the encoder then uses level 4.0)");
    } else {
        int level = Config_readEncLevel();
        if (Report_levelLine(level).empty()) {
            out.unknown("menu_encst", "/mnt/kavex_encLevel.ini holds " + std::to_string(level) + ", no level of the list");
        } else {
            out.set("menu_encst", std::to_string(level));
        }
    }
    int volume = 0;
    if (Report_readVolume(volume)) {
        out.set("volume", std::to_string(volume));
    } else {
        out.unknown("volume", "no analog input volume in /mnt/asound.state");
    }
}

void captureValues(PageValues &out)
{
    FormatSetting f = Report_readFormat();
    if (!f.present) {
        out.unknown("menu_set_vga_mode", missing("/mnt/format.ini"));
        out.unknown("ctrlau", missing("/mnt/format.ini"));
    } else {
        if (Report_formatName(f.index) == nullptr) {
            out.unknown("menu_set_vga_mode", "/mnt/format.ini holds format " + std::to_string(f.index) +
                                                 ", which does not exist");
        } else {
            out.set("menu_set_vga_mode", std::to_string(f.index));
        }
        out.set("ctrlau", f.mode == 1 ? "female" : "male");
    }
    DigitRead input = Config_readDigits("/mnt/ra101.ini", 1);
    if (input.state == FileState::Missing) {
        out.unknown("menu_set_signal_mode", missing("/mnt/ra101.ini") + ": this board has no input selector");
    } else if (input.digits != 1 || Report_inputLine(input.value).empty()) {
        out.unknown("menu_set_signal_mode", "/mnt/ra101.ini holds no input 0-4");
    } else {
        out.set("menu_set_signal_mode", std::to_string(input.value));
    }
    int q[1] = {0};
    int n = Config_readRecord("/mnt/qiehuan", q, kRecordLimitSecondStream);
    if (n < 1) {
        out.unknown("ctrlax", n == Config_ENOFILE ? missing("/mnt/qiehuan") : "/mnt/qiehuan holds no number");
    } else {
        out.set("ctrlax", q[0] == 1 ? "male" : "female");
    }
}

// Fields of a record, in file order; fields the record does not hold are null.
void recordValues(PageValues &out, const char *path, int limit, const std::vector<const char *> &fields)
{
    std::vector<int> v(fields.size(), 0);
    int n = Config_readRecord(path, v, limit);
    for (size_t i = 0; i < fields.size(); i++) {
        if (n == Config_ENOFILE) {
            out.unknown(fields[i], missing(path));
        } else if (static_cast<int>(i) >= n) {
            out.unknown(fields[i], std::string(path) + " holds only " + std::to_string(n) + " readable fields");
        } else {
            out.set(fields[i], std::to_string(v[i]));
        }
    }
}

void pictureValues(PageValues &out)
{
    recordValues(out, "/mnt/color.ini", kRecordLimitColor, {"bb", "bg", "br", "lb", "lg", "lr"});
    recordValues(out, "/mnt/m.ini", kRecordLimitMask,
                 {"mg_a", "mg_x", "mg_y", "mg_w", "mg_h", "gx_a", "gx_x", "gx_y", "gx_w", "gx_h"});
    for (const char *sw : {"mg_a", "gx_a"}) {
        if (!out.values[sw].is_null()) {
            out.set(sw, out.values[sw] == "1" ? "female" : "male");
        }
    }
    std::string text;
    if (!Store_read("/mnt/zk.ini", text, kSubtitleRecordLimit)) {
        for (const char *f : {"sub_a", "s_x", "s_y", "sub_text"}) {
            out.unknown(f, missing("/mnt/zk.ini") + " (no subtitle is drawn)");
        }
    } else {
        SubtitleRecord r = Subtitle_parse(text);
        const char *fields[] = {"sub_a", "s_x", "s_y", "sub_text"};
        std::string got[] = {r.enable == 1 ? "female" : "male", std::to_string(r.x), std::to_string(r.y),
                             Subtitle_decode(r.text)};
        for (int i = 0; i < 4; i++) {
            if (i < r.fields) {
                out.set(fields[i], got[i]);
            } else {
                out.unknown(fields[i], "/mnt/zk.ini holds only " + std::to_string(r.fields) + " readable fields");
            }
        }
    }
    // As the overlay reads it: a digit other than 0 is the small font; 0, another character or an
    // empty file the big one.
    FlagRead font = Config_readFlag("/mnt/zhiti.ini");
    if (font.state == FileState::Missing) {
        out.unknown("sub_z", missing("/mnt/zhiti.ini") + " (no font is chosen, no subtitle is drawn)");
    } else {
        bool small = font.state == FileState::Read && font.first >= '1' && font.first <= '9';
        out.set("sub_z", small ? "male" : "female");
    }
}

// --- Network and Wi-Fi ---

// The typed word of a stored Wi-Fi value: the CGI stores what was typed inside double quotes.
std::optional<std::string> unquoted(const std::string &stored)
{
    if (stored.size() < 2 || stored.front() != '"' || stored.back() != '"') {
        return std::nullopt;
    }
    return stored.substr(1, stored.size() - 2);
}

void networkValues(PageValues &out)
{
    std::string script;
    if (!Store_read(kMacScript, script, 256)) {
        out.unknown("mac", missing(kMacScript));
    } else if (std::optional<std::string> mac = Mac_parse(script)) {
        out.set("mac", *mac);
    } else {
        out.unknown("mac", std::string(kMacScript) + " holds no address line");
    }
    KeyState s;
    bool network = Wifi_readNetwork(s);
    struct {
        const char *field;
        Key key;
        const std::string &stored;
    } words[] = {{"ssid", Key::Ssid, s.ssid}, {"passkey", Key::Psk, s.psk}};
    out.set("passkey", "");
    for (const auto &w : words) {
        std::optional<std::string> typed = unquoted(w.stored);
        std::string field = w.key == Key::Ssid ? w.field : std::string(w.field) + "_secret";
        if (!network) {
            out.unknown(field, missing(kWpaConf));
        } else if ((s.hits & keyBit(w.key)) == 0 || !typed) {
            out.unknown(field, std::string("no readable ") + (w.key == Key::Ssid ? "ssid" : "psk") + "= line in " +
                                   kWpaConf);
        } else {
            out.set(field, w.key == Key::Ssid ? *typed : Secret_shown(*typed));
        }
    }
    std::string text;
    if (!Store_read(kWifiIpConf, text, 1024)) {
        out.unknown("wifi_ip", missing(kWifiIpConf));
    } else if (std::string address = Wifi_parseAddress(text, ""); address.empty()) {
        out.unknown("wifi_ip", std::string(kWifiIpConf) + " holds no address line");
    } else {
        out.set("wifi_ip", address);
    }
}

// A URL field as the status shows it, the stream key's marker beside it; no marker for no URL or an
// unreadable one (whose note says why).
void hideStreamKey(PageValues &out, const std::string &field)
{
    const nlohmann::json &v = out.values[field];
    std::string url = v.is_string() ? v.get<std::string>() : "";
    if (v.is_string()) {
        out.set(field, url.empty() ? "" : RtmpUrl_public(url));
    }
    out.set(field + "_secret", url.empty() ? "" : Secret_shown(Secret_streamKey(url)));
}

// Destinations 2 to 4: an empty field for none, so that the page can tell "none" from "unreadable".
void rtmpValues(PageValues &out)
{
    RtmpExtraDestinations extra = RtmpDestinations_readExtra();
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        std::string field = "rtmpx" + std::to_string(i + 2);
        if (extra.line[i].problem.empty()) {
            out.set(field, extra.line[i].url);
        } else {
            out.unknown(field, "line " + std::to_string(i + 1) + " of " + kRtmpExtraFile + " is not used: " +
                                   extra.line[i].problem);
        }
        hideStreamKey(out, field);
    }
}

// --- SRT (/mnt/srt.ini) ---

void srtValues(PageValues &out)
{
    static const char *const kFields[] = {"srt_enable", "srt_mode", "srt_host", "srt_port", "srt_latency",
                                          "srt_passphrase_secret", "srt_pbkeylen", "srt_streamid"};
    std::string text;
    SrtSettings s;
    std::string why;
    out.set("srt_passphrase", "");
    if (!Store_read("/mnt/srt.ini", text, SRT_SETTINGS_FILE_BYTES + 1)) {
        why = missing("/mnt/srt.ini") + " (SRT is off)";
    } else if (SrtSettings_parse(text, s, why) != SrtSettings_EOK) {
        why = why.substr(why.find(' ') + 1); // the reader's line without its file name
        // The reader's line quotes the value it refuses: not when it is the passphrase.
        if (why.compare(0, 15, "bad passphrase=") == 0) {
            why = "bad passphrase" + why.substr(why.rfind(" ("));
        }
    }
    if (!why.empty()) {
        for (const char *f : kFields) {
            out.unknown(f, why);
        }
        return;
    }
    out.set("srt_enable", s.enable ? "female" : "male");
    out.set("srt_mode", s.mode == SrtMode::Listener ? "female" : "male");
    out.set("srt_host", s.host);
    out.set("srt_port", s.port > 0 ? std::to_string(s.port) : "");
    out.set("srt_latency", std::to_string(s.latencyMs));
    out.set("srt_passphrase_secret", Secret_shown(s.passphrase));
    out.set("srt_pbkeylen", std::to_string(s.pbkeylen));
    out.set("srt_streamid", s.streamid);
}

// --- HLS (/mnt/hls.ini) ---

void hlsValues(PageValues &out)
{
    std::string text;
    HlsSettings s;
    std::string why;
    if (!Store_read("/mnt/hls.ini", text, HLS_SETTINGS_FILE_BYTES + 1)) {
        why = missing("/mnt/hls.ini") + " (HLS is off)";
    } else if (HlsSettings_parse(text, s, why) != HlsSettings_EOK) {
        why = why.substr(why.find(' ') + 1); // the reader's line without its file name; it hides the password
    }
    if (!why.empty()) {
        for (const char *f : {"hls_enable", "hls_segment", "hls_segments", "hls_public", "hls_push_url"}) {
            out.unknown(f, why);
        }
        return;
    }
    out.set("hls_enable", s.enable ? "female" : "male");
    out.set("hls_segment", std::to_string(s.segmentS));
    out.set("hls_segments", std::to_string(s.segments));
    out.set("hls_public", s.open ? "female" : "male");
    // Its password as "***": the form sends it back so, and the stored one is kept.
    out.set("hls_push_url", HlsSettings_shownUrl(s.pushUrl));
}

// --- WebRTC (/mnt/webrtc.ini) and WHIP (/mnt/whip.ini) ---

// The file through the WebRTC server's own parser (its reader would print a refusal into this answer);
// "" when it is good, else the note every field of it gets.
template <class S>
std::string readWebrtcFile(const char *path, int (*parse)(std::string_view, S &, std::string &), S &s,
                           const char *whenMissing)
{
    std::string text;
    std::string why;
    if (!Store_read(path, text, WEBRTC_SETTINGS_FILE_BYTES + 1)) {
        return missing(path) + whenMissing;
    }
    if (parse(text, s, why) != WebrtcSettings_EOK) {
        return why; // a secret in it is named by its length only
    }
    return {};
}

void webrtcValues(PageValues &out)
{
    WebrtcSettings w;
    std::string why = readWebrtcFile("/mnt/webrtc.ini", WebrtcSettings_parse, w, " (the live picture is off)");
    if (!why.empty()) {
        for (const char *f : {"webrtc_enable", "webrtc_viewers", "webrtc_stun", "webrtc_stun_secret"}) {
            out.unknown(f, why);
        }
    } else {
        out.set("webrtc_enable", w.enable ? "female" : "male");
        out.set("webrtc_viewers", std::to_string(w.viewers));
        // A TURN server's address carries its password: the field stays empty and keeps it.
        out.set("webrtc_stun", WebrtcSettings_stunIsSecret(w.stun) ? "" : w.stun);
        out.set("webrtc_stun_secret", Secret_iceShown(w.stun));
    }
    WhipSettings h;
    out.set("whip_token", "");
    why = readWebrtcFile("/mnt/whip.ini", WhipSettings_parse, h, " (the WHIP output is off)");
    if (!why.empty()) {
        for (const char *f : {"whip_enable", "whip_url", "whip_token_secret"}) {
            out.unknown(f, why);
        }
        return;
    }
    out.set("whip_enable", h.enable ? "female" : "male");
    out.set("whip_url", h.url);
    out.set("whip_token_secret", Secret_shown(h.token));
}

// --- HTTPS (/mnt/https.ini, /mnt/web/cert.pem) ---

void httpsValues(PageValues &out)
{
    std::string flag;
    if (!Store_read("/mnt/https.ini", flag, 16)) {
        out.set("https", "male");
        out.unknown("https", missing("/mnt/https.ini") + " (plain HTTP serves the pages)");
    } else {
        out.set("https", !flag.empty() && flag[0] == '1' ? "female" : "male");
    }
    std::string cert;
    std::string shown = Store_read("/mnt/web/cert.pem", cert, static_cast<int>(CERTIFICATE_PEM_MAX))
                            ? Certificate_describe(cert, static_cast<int64_t>(std::time(nullptr)))
                            : "";
    out.set("cert_shown", shown);
    if (shown.empty()) {
        out.unknown("cert_shown", "/mnt/web/cert.pem holds no certificate: the web server makes one at its start");
    }
}

} // namespace

void Current_settings(PageValues &out)
{
    scriptValues(out);
    hideStreamKey(out, "rtmpurl");
    flagValues(out);
    encoderValues(out);
    captureValues(out);
    pictureValues(out);
    networkValues(out);
    rtmpValues(out);
    srtValues(out);
    hlsValues(out);
    webrtcValues(out);
    httpsValues(out);
}
