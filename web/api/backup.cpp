#include "web/api/backup.h"

#include "encode/core/hls_settings.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/srt_settings.h"
#include "encode/core/webrtc_settings.h"
#include "web/api/settings_values.h"
#include "web/settings/current.h"
#include "web/settings/key_scan.h"
#include "web/settings/password.h"
#include "web/settings/store.h"
#include "web/settings/wifi.h"

#include <cstdio>

namespace {

constexpr int kFileLimit = 64 * 1024;

template <class S>
bool parsed(const char *path, int (*parse)(std::string_view, S &, std::string &), S &s)
{
    std::string text;
    std::string why;
    return Store_read(path, text, kFileLimit) && parse(text, s, why) == 0;
}

// A quoted value of wpa.conf without its quotes.
std::string unquoted(std::string v)
{
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

void put(nlohmann::json &out, const char *name, const std::string &value)
{
    if (!value.empty()) {
        out[name] = value;
    }
}

} // namespace

nlohmann::json Backup_secrets()
{
    nlohmann::json out = nlohmann::json::object();
    std::string script;
    if (Store_read("/mnt/autorun.sh", script, kFileLimit)) {
        KeyState keys;
        if (KeyScan_scan(keys, script, true)) {
            put(out, "rtmpurl", keys.url);
        }
    }
    RtmpExtraDestinations extra = RtmpDestinations_readExtra();
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        std::string name = "rtmpx" + std::to_string(i + 2);
        if (extra.line[i].problem.empty()) {
            put(out, name.c_str(), extra.line[i].url);
        }
    }
    SrtSettings srt;
    if (parsed("/mnt/srt.ini", SrtSettings_parse, srt)) {
        put(out, "srt_passphrase", srt.passphrase);
    }
    HlsSettings hls;
    if (parsed("/mnt/hls.ini", HlsSettings_parse, hls)) {
        put(out, "hls_push_url", hls.pushUrl);
    }
    WebrtcSettings rtc;
    if (parsed("/mnt/webrtc.ini", WebrtcSettings_parse, rtc)) {
        put(out, "webrtc_stun", rtc.stun);
    }
    WhipSettings whip;
    if (parsed("/mnt/whip.ini", WhipSettings_parse, whip)) {
        put(out, "whip_token", whip.token);
    }
    KeyState wifi;
    if (Wifi_readNetwork(wifi)) {
        put(out, "passkey", unquoted(wifi.psk));
    }
    return out;
}

std::string Backup_startBlock()
{
    std::string script;
    if (!Store_read("/mnt/autorun.sh", script, kFileLimit)) {
        return {};
    }
    std::optional<size_t> end = KeyScan_findEnd(script);
    return end ? script.substr(0, *end) : std::string();
}

std::string Backup_check(const nlohmann::json &file)
{
    if (!file.is_object() || file.value("backup", "") != "encoder settings") {
        return "not a backup of this box's settings (no \"backup\": \"encoder settings\")";
    }
    const nlohmann::json &format = file["format"];
    if (!format.is_number_integer()) {
        return "the backup names no format";
    }
    if (format.get<int>() > BACKUP_FORMAT) {
        return "made by newer software (backup format " + std::to_string(format.get<int>()) +
               "); this software reads format " + std::to_string(BACKUP_FORMAT) + " and older";
    }
    if (!file.contains("settings") || !file["settings"].is_object()) {
        return "the backup holds no settings";
    }
    if (file.contains("secrets") && !file["secrets"].is_object()) {
        return "its secrets are no object";
    }
    return {};
}

std::string Backup_factoryReset(bool keepLogin)
{
    return SettingsValues_captured([keepLogin] {
        PageValues now;
        Current_settings(now);
        bool mp3 = now.values.value("ctrlts", "") == "female";
        const char *templ = mp3 ? "/mnt/autorun.sh.h264.mp3.org" : "/mnt/autorun.sh.h264.aac.org";
        std::string text;
        std::string old;
        if (!Store_read(templ, text, 1 << 20)) {
            std::printf("Can't read %s; the start script is kept\n", templ);
        } else {
            bool had = Store_read("/mnt/autorun.sh", old, 1 << 20);
            Store_replace("/mnt/autorun.sh", "/mnt/autorun.sh.swp", had ? &old : nullptr, text);
        }
        Store_restoreFactory(keepLogin ? kWebPasswd : "");
    });
}
