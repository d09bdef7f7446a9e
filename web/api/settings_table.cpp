#include "web/api/settings_table.h"

#include <cstdlib>

namespace {

using K = SettingKind;
constexpr SettingPage S = SettingPage::Settings;
constexpr SettingPage S2 = SettingPage::Stream2;

const std::vector<SettingChoice> kOnOff = {{"on", "female"}, {"off", "male"}};
const std::vector<SettingChoice> kOnOffReversed = {{"on", "male"}, {"off", "female"}};
const std::vector<SettingChoice> kProfiles = {{"high", "male"}, {"main", "female"}, {"baseline", "amale"}};
const std::vector<SettingChoice> kPresets = {{"high quality", "male"}, {"high speed", "female"}};
const std::vector<SettingChoice> kStreams = {{"second", "male"}, {"main", "female"}};
const std::vector<SettingChoice> kLevels = {{"5.0", "50"}, {"4.2", "42"}, {"4.1", "41"}, {"4.0", "40"}, {"3.2", "32"},
                                            {"3.1", "31"}, {"3.0", "30"}, {"2.2", "22"}, {"2.1", "21"}, {"2.0", "20"},
                                            {"1.3", "13"}, {"1.2", "12"}, {"1.1", "11"}, {"1b", "9"},   {"1.0", "10"}};
const std::vector<SettingChoice> kFormats = {
    {"VGA,640x480,60HZ", "1"},      {"VGA,640x480,73HZ", "2"},       {"VGA,640x480,75HZ", "3"},
    {"VGA,640x480,85HZ", "4"},      {"SVGA,800x600,60HZ", "5"},      {"SVGA,800x600,72HZ", "6"},
    {"SVGA,800x600,75HZ", "7"},     {"SVGA,800x600,85HZ", "8"},      {"XGA,1024x768,60HZ", "9"},
    {"XGA,1024x768,75HZ", "10"},    {"XGA,1024x768,85HZ", "11"},     {"WXGA,1280x768,60HZ", "12"},
    {"WXGA,1280x768,75HZ", "13"},   {"WXGA,1280x768,85HZ", "14"},    {"WXGA,1280x1024,60HZ", "15"},
    {"WXGA,1280x1024,85HZ", "16"},  {"UXGA,1600x1200,60HZ", "17"},   {"1280x800,60HZ", "18"},
    {"1440x900,60HZ", "19"},        {"1280x960,60HZ", "20"},         {"1440x1050,60HZ", "21"},
    {"1680x1050,60HZ", "22"},       {"1920x1080,60HZ", "23"},        {"1920x1200,60HZ", "24"},
    {"1280x720,60HZ", "25"},        {"1360x768,60HZ", "26"},         {"1366x768,60HZ", "27"},
    {"1400x1050,60HZ", "28"},       {"1600x900,60HZ", "29"},         {"1080P,60HZ", "32"},
    {"1080P,50HZ", "33"},           {"1080I,60HZ", "34"},            {"1080I,50HZ", "35"},
    {"720P,50HZ,PAL", "36"},        {"720P,60HZ,NTSC", "37"},        {"SD,525P(720x480),60HZ,NTSC", "38"},
    {"SD,625P(720x576),50HZ,PAL", "39"}, {"SD,PAL", "40"},           {"SD,NTSC", "41"}};

ApiSetting row(const char *group, const char *name, K kind, SettingPage page, const char *button, const char *about,
               std::vector<SettingChoice> choices = {})
{
    ApiSetting s{group, name, kind, page, button, nullptr, nullptr, {}, SettingEffect::Restart, ""};
    s.about = about;
    s.choices = std::move(choices);
    return s;
}

ApiSetting withClear(ApiSetting s, const char *clear)
{
    s.clear = clear;
    return s;
}

ApiSetting withPartner(ApiSetting s, const char *partner)
{
    s.partner = partner;
    return s;
}

ApiSetting atOnce(ApiSetting s)
{
    s.effect = SettingEffect::AtOnce;
    return s;
}

// The network and the outputs.
void outputRows(std::vector<ApiSetting> &rows)
{
    const char *net = "Network";
    const char *ts = "Transport stream output";
    const char *other = "Other outputs";
    const char *srt = "SRT output";
    const char *hls = "HLS output";
    const char *rtc = "Live picture (WebRTC)";
    const char *whip = "WHIP output";
    rows.insert(rows.end(), {
        row(net, "ip", K::Text, S, "name1_submit", "the box's IPv4 address"),
        row(net, "netmask", K::Text, S, "name2_submit", "its network mask"),
        row(net, "gateway", K::Text, S, "name45_submit", "its default gateway"),
        row(net, "mac", K::Text, S, "mac_submit", "the wired interface's MAC address"),
        row(ts, "ctrlaz", K::Choice, S, "codec_submit", "the transport stream output",
            {{"udp", "male"}, {"http", "amale"}, {"off", "female"}}),
        row(ts, "tz", K::Text, S, "namez_submit", "the UDP receiver's address"),
        row(ts, "tc", K::Integer, S, "namec_submit", "the UDP receiver's port"),
        row(ts, "ttl", K::Integer, S, "ttl_submit", "the multicast TTL"),
        row(other, "ctrldz", K::Choice, S, "codec_submit", "the TCP stream tag output", kOnOff),
        row(other, "ctrlez", K::Choice, S, "codec_submit", "RTSP server and RTMP",
            {{"off", "male"}, {"rtsp", "female"}, {"rtmp", "amale"}, {"rtsp and rtmp", "afemale"}}),
        row(other, "rtmpurl", K::Text, S, "rtmpurl_submit",
            "the RTMP destination (its stream key shown hidden; sent back as shown it is kept)"),
        withClear(row(other, "rtmpx2", K::Text, S, "rtmpx2_submit", "RTMP destination 2 (empty removes it)"),
                  "rtmpx2_remove"),
        withClear(row(other, "rtmpx3", K::Text, S, "rtmpx3_submit", "RTMP destination 3 (empty removes it)"),
                  "rtmpx3_remove"),
        withClear(row(other, "rtmpx4", K::Text, S, "rtmpx4_submit", "RTMP destination 4 (empty removes it)"),
                  "rtmpx4_remove"),
        row(srt, "srt_enable", K::Choice, S, "srt_submit", "the SRT output", kOnOff),
        row(srt, "srt_mode", K::Choice, S, "srt_submit", "caller or listener", {{"caller", "male"}, {"listener", "female"}}),
        row(srt, "srt_host", K::Text, S, "srt_submit", "the listener's host (caller mode)"),
        row(srt, "srt_port", K::Integer, S, "srt_submit", "the port"),
        row(srt, "srt_latency", K::Integer, S, "srt_submit", "the latency in milliseconds"),
        withClear(row(srt, "srt_passphrase", K::Secret, S, "srt_submit", "the passphrase (empty clears it)"),
                  "srt_passphrase_clear"),
        row(srt, "srt_pbkeylen", K::Choice, S, "srt_submit", "the key length",
            {{"aes-128", "16"}, {"aes-192", "24"}, {"aes-256", "32"}}),
        row(srt, "srt_streamid", K::Text, S, "srt_submit", "the stream id"),
        row(hls, "hls_enable", K::Choice, S, "hls_submit", "the HLS output", kOnOff),
        row(hls, "hls_segment", K::Integer, S, "hls_submit", "the target segment duration in seconds"),
        row(hls, "hls_segments", K::Integer, S, "hls_submit", "the segments a playlist holds"),
        atOnce(row(hls, "hls_public", K::Choice, S, "hls_submit", "who may fetch /hls/",
                   {{"login", "male"}, {"open", "female"}})),
        row(hls, "hls_push_url", K::Text, S, "hls_submit",
            "the ingest the segments are pushed to (its password shown as ***; sent back so it is kept)"),
        row(rtc, "webrtc_enable", K::Choice, S, "webrtc_submit", "the live picture", kOnOff),
        row(rtc, "webrtc_viewers", K::Integer, S, "webrtc_submit", "viewers at most"),
        withClear(row(rtc, "webrtc_stun", K::Secret, S, "webrtc_submit", "the STUN or TURN server (empty clears it)"),
                  "webrtc_stun_clear"),
        row(whip, "whip_enable", K::Choice, S, "whip_submit", "the WHIP output", kOnOff),
        row(whip, "whip_url", K::Text, S, "whip_submit", "the WHIP endpoint"),
        withClear(row(whip, "whip_token", K::Secret, S, "whip_submit", "the bearer token (empty clears it)"),
                  "whip_token_clear"),
    });
}

// The picture, its coding and the audio.
void encodingRows(std::vector<ApiSetting> &rows)
{
    const char *video = "Video encoding";
    const char *cap = "Capture";
    const char *col = "Colour";
    const char *aud = "Audio";
    rows.insert(rows.end(), {
        row(video, "bitrate", K::Integer, S, "name3_submit", "the main stream's bit rate, kbit/s"),
        row(video, "framerate", K::Integer, S, "name4_submit", "its frame rate"),
        row(video, "fi", K::Integer, S, "namei_submit", "frames from one I picture to the next"),
        row(video, "idr", K::Integer, S, "nameidr_submit", "frames from one IDR picture to the next"),
        row(video, "cvbr", K::Integer, S, "cvbr_submit", "the maximum delay, 100 ms units"),
        row(video, "menu_encst", K::Choice, S, "encst_submit", "the H.264 level", kLevels),
        row(video, "ctrlbz", K::Choice, S, "codec_submit", "the H.264 profile", kProfiles),
        row(video, "ctrlcz", K::Choice, S, "codec_submit", "the encoder mode", kPresets),
        row(video, "selvs", K::Choice, S, "codec_submit", "video scaling", {{"scale", "male"}, {"no scaling", "female"}}),
        row(video, "vs_width", K::Integer, S, "vs_width_submit", "the scaled width"),
        row(video, "vs_height", K::Integer, S, "vs_height_submit", "the scaled height"),
        row(cap, "menu_set_vga_mode", K::Choice, S, "name29_submit", "the fixed capture format", kFormats),
        row(cap, "menu_set_signal_mode", K::Choice, S, "name129_submit", "the video input",
            {{"VGA", "0"}, {"DVI-D", "1"}, {"HDMI", "2"}, {"BNC", "3"}, {"YPbPr", "4"}}),
        row(cap, "ctrlau", K::Choice, S, "codec_submit", "the capture mode", {{"detect", "male"}, {"fixed", "female"}}),
        row(cap, "ctrlax", K::Choice, S, "codec_submit", "on a format change in detect mode",
            {{"reboot", "male"}, {"encoder", "female"}}),
        row(col, "lr", K::Integer, S, "namelr_submit", "red contrast"),
        row(col, "lg", K::Integer, S, "namelg_submit", "green contrast"),
        row(col, "lb", K::Integer, S, "namelb_submit", "blue contrast"),
        row(col, "br", K::Integer, S, "namebr_submit", "red brightness"),
        row(col, "bg", K::Integer, S, "namebg_submit", "green brightness"),
        row(col, "bb", K::Integer, S, "namebb_submit", "blue brightness"),
        row(aud, "audioen", K::Choice, S, "codec_submit", "audio encoding", kOnOffReversed),
        row(aud, "audioin", K::Choice, S, "codec_submit", "the audio input", {{"digital", "female"}, {"analog", "male"}}),
        row(aud, "audiosample", K::Integer, S, "name_audio_submit", "the sampling rate, Hz"),
        row(aud, "audiobitrate", K::Integer, S, "name_audio2_submit", "the audio bit rate, bit/s"),
        row(aud, "volume", K::Integer, S, "name_volume_submit", "the analog input volume"),
    });
}

// Web access, Wi-Fi and the overlays.
void boxRows(std::vector<ApiSetting> &rows)
{
    const char *web = "Web access";
    const char *wifi = "Wi-Fi";
    const char *sub = "Subtitle";
    const char *mask = "Privacy mask and region of interest";
    rows.insert(rows.end(), {
        row(web, "https", K::Choice, S, "https_submit", "what plain HTTP does",
            {{"to https", "female"}, {"serves the pages", "male"}}),
        row(wifi, "ifwifi", K::Choice, S, "codec_submit", "Wi-Fi", kOnOffReversed),
        row(wifi, "ssid", K::Text, S, "ssid_submit", "the network's name"),
        row(wifi, "passkey", K::Secret, S, "passkey_submit", "the WPA passphrase"),
        row(wifi, "wifi_ip", K::Text, S, "wifi_ip_submit", "the Wi-Fi address"),
        row(sub, "sub_a", K::Choice, S, "sub_a_submit", "the subtitle", kOnOff),
        row(sub, "sub_z", K::Choice, S, "sub_z_submit", "its font", {{"big", "female"}, {"small", "male"}}),
        row(sub, "sub_text", K::Text, S, "sub_submit", "its text"),
        row(sub, "s_x", K::Integer, S, "s_x_submit", "its x"),
        row(sub, "s_y", K::Integer, S, "s_y_submit", "its y"),
        row(mask, "mg_a", K::Choice, S, "mg_a_submit", "the privacy mask", kOnOff),
        withPartner(row(mask, "mg_x", K::Integer, S, "mg_xy", "the mask's x (on the 16-pixel grid)"), "mg_y"),
        withPartner(row(mask, "mg_y", K::Integer, S, "mg_xy", "the mask's y"), "mg_x"),
        withPartner(row(mask, "mg_w", K::Integer, S, "mg_wh", "the mask's width"), "mg_h"),
        withPartner(row(mask, "mg_h", K::Integer, S, "mg_wh", "the mask's height"), "mg_w"),
        row(mask, "gx_a", K::Choice, S, "gx_a_submit", "the region of interest", kOnOff),
        withPartner(row(mask, "gx_x", K::Integer, S, "gx_xy", "the region's x"), "gx_y"),
        withPartner(row(mask, "gx_y", K::Integer, S, "gx_xy", "the region's y"), "gx_x"),
        withPartner(row(mask, "gx_w", K::Integer, S, "gx_wh", "the region's width"), "gx_h"),
        withPartner(row(mask, "gx_h", K::Integer, S, "gx_wh", "the region's height"), "gx_w"),
    });
}

// The second-stream page.
void secondRows(std::vector<ApiSetting> &rows)
{
    const char *two = "Second stream";
    const char *twoPic = "Second stream: picture and rate";
    const char *twoEnc = "Second stream: H.264";
    rows.insert(rows.end(), {
        row(two, "sbnt", K::Choice, S2, "sbnt_submit", "the second stream", kOnOffReversed),
        row(two, "ts_stream", K::Choice, S2, "ts_stream_submit", "the stream the UDP/HTTP TS carries", kStreams),
        row(two, "r_stream", K::Choice, S2, "r_stream_submit", "the stream RTSP/RTMP carry", kStreams),
        row(twoPic, "l", K::Integer, S2, "l_submit", "the second picture's width"),
        row(twoPic, "w", K::Integer, S2, "w_submit", "its height"),
        row(twoPic, "s_bitrate", K::Integer, S2, "s_bitrate_submit", "its bit rate, bit/s"),
        row(twoPic, "s_framerate", K::Integer, S2, "s_framerate_submit", "its frame rate"),
        row(twoPic, "s_fi", K::Integer, S2, "s_fi_submit", "frames from one I picture to the next"),
        row(twoPic, "s_idr", K::Integer, S2, "s_idr_submit", "frames from one IDR picture to the next"),
        row(twoPic, "s_cvbr", K::Integer, S2, "s_cvbr_submit", "the maximum delay, 100 ms units"),
        row(twoEnc, "s_ctrlbz", K::Choice, S2, "s_codec_submit", "its H.264 profile", kProfiles),
        row(twoEnc, "s_ctrlcz", K::Choice, S2, "s_ctrlcz_submit", "its encoder mode", kPresets),
        row(twoEnc, "s_menu_encst", K::Choice, S2, "s_encst_submit", "its H.264 level", kLevels),
    });
}

std::vector<ApiSetting> makeRows()
{
    std::vector<ApiSetting> rows;
    outputRows(rows);
    encodingRows(rows);
    boxRows(rows);
    secondRows(rows);
    return rows;
}

} // namespace

const std::vector<ApiSetting> &ApiSettings_all()
{
    static const std::vector<ApiSetting> rows = makeRows();
    return rows;
}

const ApiSetting *ApiSettings_find(std::string_view name)
{
    for (const ApiSetting &s : ApiSettings_all()) {
        if (name == s.name) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<std::string> ApiSettings_groups()
{
    std::vector<std::string> out;
    for (const ApiSetting &s : ApiSettings_all()) {
        if (out.empty() || out.back() != s.group) {
            out.emplace_back(s.group);
        }
    }
    return out;
}

std::string ApiSettings_formToApi(const ApiSetting &s, const std::string &form)
{
    if (s.kind == SettingKind::Choice) {
        for (const SettingChoice &c : s.choices) {
            if (form == c.form) {
                return c.api;
            }
        }
        return {};
    }
    return form;
}

bool ApiSettings_apiToForm(const ApiSetting &s, const std::string &api, std::string &form, std::string &why)
{
    if (s.kind != SettingKind::Choice) {
        form = api;
        return true;
    }
    std::string names;
    for (const SettingChoice &c : s.choices) {
        if (api == c.api) {
            form = c.form;
            return true;
        }
        names += std::string(names.empty() ? "" : ", ") + "\"" + c.api + "\"";
    }
    why = "not one of the choices " + names;
    return false;
}
