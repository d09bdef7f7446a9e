// The main settings CGI's actions: one request applies every pressed button of the settings page, in
// a fixed order, to the configuration store and prints a plain-text account. Nothing here talks to
// the running encoder; new values take effect at its next start.
//
// Every typed value that ends up in a file run as shell at boot (the start script, wifi_ip.conf,
// mac.sh) or parsed by the Wi-Fi start-up (wpa.conf) is checked first; a refused value prints one
// line and changes nothing. Shell commands are fixed texts only.
#include "web/settings/settings_apply.h"

#include "web/form/form.h"

#include "encode/core/config_store.h"
#include "encode/core/shell.h"
#include "web/settings/current.h"
#include "web/settings/mac.h"
#include "web/settings/mixer.h"
#include "web/settings/password.h"
#include "web/settings/report.h"
#include "web/settings/rtmp_form.h"
#include "web/settings/secret.h"
#include "web/settings/hls_form.h"
#include "web/settings/https_form.h"
#include "web/settings/srt_form.h"
#include "web/settings/webrtc_form.h"
#include "web/settings/start_script.h"
#include "web/settings/store.h"
#include "web/settings/text_field.h"
#include "web/settings/subtitle.h"
#include "web/settings/validate.h"
#include "web/settings/wifi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The page's radio values, in choice order; a radio of N ways takes the first N.
const char *kChoices[] = {"male", "female", "amale", "afemale"};

const char *kFormatChoices[] = {"1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11", "12", "13",
                                "14", "15", "16", "17", "18", "19", "20", "21", "22", "23", "24", "25", "26",
                                "27", "28", "29", "32", "33", "34", "35", "36", "37", "38", "39", "40", "41"};
const char *kInputChoices[] = {"0", "1", "2", "3", "4"};
const char *kLevelChoices[] = {"50", "42", "41", "40", "32", "31", "30", "22", "21", "20", "13", "12", "11", "9", "10"};

constexpr char kMask[] = "/mnt/m.ini";
constexpr char kSubtitle[] = "/mnt/zk.ini";

struct Request {
    bool ra202 = false;
    std::string pending;
};

// A list's value must be one of its choices: any other is refused with the refusal line of a typed
// value, never read as the first choice. A list the form did not send is simply not applied.
bool choiceResult(const char *name, cgiFormResultType r)
{
    if (r == cgiFormNoSuchChoice) {
        std::printf("refused %s: not one of the offered choices\n", name);
    }
    return r == cgiFormSuccess;
}

// A radio with one of its choice texts.
bool radio(const char *name, int ways, int &choice)
{
    choice = 0;
    return choiceResult(name, cgiFormRadio(name, kChoices, ways, &choice, 0));
}

// A select's choice index, by the same rule.
bool listChoice(const char *name, const char **choices, int count, int &index)
{
    index = 0;
    return choiceResult(name, cgiFormSelectSingle(name, choices, count, &index, 0));
}


// The text rule over two fields; a missing one counts as the empty text.
bool textPair(const char *nameA, const char *nameB, std::string &a, std::string &b)
{
    char bufA[SETTINGS_TEXT_FIELD_SIZE];
    char bufB[SETTINGS_TEXT_FIELD_SIZE];
    cgiFormResultType ra = cgiFormStringNoNewlines(nameA, bufA, SETTINGS_TEXT_FIELD_SIZE);
    cgiFormResultType rb = cgiFormStringNoNewlines(nameB, bufB, SETTINGS_TEXT_FIELD_SIZE);
    if (ra == cgiFormTruncated || rb == cgiFormTruncated) {
        std::printf("error len");
        return false;
    }
    if (ra == cgiFormEmpty || rb == cgiFormEmpty) {
        std::printf("input empty");
        return false;
    }
    a = ra == cgiFormSuccess ? bufA : "";
    b = rb == cgiFormSuccess ? bufB : "";
    return true;
}

// Prints the refusal; true when `why` is empty (the value is good).
bool accept(const char *field, const std::string &why)
{
    if (why.empty()) {
        return true;
    }
    std::printf("refused %s: %s\n", field, why.c_str());
    return false;
}

void scriptAction(Request &req, std::string line)
{
    req.pending = std::move(line);
    StartScript_rewrite(req.pending, req.ra202);
}

enum class Check { Address, Digits9, Digits7, IntraInterval, Port, Color };

std::string checkValue(Check c, const std::string &v)
{
    switch (c) {
    case Check::Address: return Check_ipv4(v);
    case Check::Digits9: return Check_digits(v, 9);
    case Check::Digits7: return Check_digits(v, 7);
    // The encoder refuses to start without key frames to send (a player that joins late would never
    // decode), so an interval of 0 is refused here, before it can reach the start script.
    case Check::IntraInterval: return Check_number(v, 7, 1, 9999999);
    case Check::Port: return Check_number(v, 5, 1, 65535);
    case Check::Color: return Check_number(v, 3, 0, 256);
    }
    return {};
}

// A start-script text action: button, field, the key written, the confirmation ("%s" = typed text).
void scriptText(Request &req, const char *button, const char *field, const char *key, const char *confirm, Check c)
{
    std::string v;
    if (!cgiFormButtonPressed(button) || !SettingsForm_text(field, v) || !accept(field, checkValue(c, v))) {
        return;
    }
    std::printf(confirm, v.c_str());
    scriptAction(req, std::string(key) + "=" + v + "\n");
}

// --- Mask and region (/mnt/m.ini) ---

void showMask()
{
    int m[10] = {0};
    if (Config_readRecord(kMask, m, kRecordLimitMask) == Config_ENOFILE) {
        std::printf("Can't open file /mnt/m.ini\n");
        return;
    }
    std::printf(m[0] == 1 ? "mg enable\n" : "mg disable\n");
    std::printf(m[5] == 1 ? "gx enable\n" : "gx disable\n");
    std::printf("mg x=%d\nmg y=%d\n\nmg width=%d\n mg height=%d\n\ngx x=%d\ngx y=%d\n\ngx width=%d\n gx height=%d\n", m[1],
                m[2], m[3], m[4], m[6], m[7], m[8], m[9]);
}

void maskSwitch(const char *button, const char *name, int field, const char *on, const char *off)
{
    int c = 0;
    if (!cgiFormButtonPressed(button) || !radio(name, 2, c)) {
        return;
    }
    if (Config_replaceField(kMask, field, c == 1 ? "1" : "0", kRecordLimitMask) != Config_EOK) {
        std::printf("Can't open file /mnt/m.ini\n");
        return;
    }
    std::printf("%s", c == 1 ? on : off);
}

// Mask and region positions and sizes are kept on the 16-pixel macroblock grid.
std::string gridValue(const std::string &typed)
{
    long v = std::strtol(typed.c_str(), nullptr, 10);
    return std::to_string((v / 16 + 1) * 16);
}

void maskPair(const char *button, const char *nameA, const char *nameB, int field, const char *confirm)
{
    std::string a;
    std::string b;
    if (!cgiFormButtonPressed(button) || !textPair(nameA, nameB, a, b)) {
        return;
    }
    if ((!a.empty() && !accept(nameA, Check_digits(a, 5))) || (!b.empty() && !accept(nameB, Check_digits(b, 5)))) {
        return;
    }
    if (Config_replaceField(kMask, field, gridValue(a), kRecordLimitMask) != Config_EOK ||
        Config_replaceField(kMask, field + 1, gridValue(b), kRecordLimitMask) != Config_EOK) {
        std::printf("Can't open file /mnt/m.ini\n");
        return;
    }
    std::printf(confirm, a.c_str(), b.c_str());
}

// --- The radios of the codec button ---

void codecTemplate()
{
    int c = 0;
    if (!radio("ctrlts", 2, c)) {
        return;
    }
    const char *tmpl = c == 1 ? "/mnt/autorun.sh.h264.mp3.org" : "/mnt/autorun.sh.h264.aac.org";
    if (!Config_exists(tmpl)) {
        std::printf("Can't copy the start script template; nothing changed\n");
        return;
    }
    // The template replaces the whole script; the old one stays recoverable like after a rewrite.
    if (Config_exists(kStartScript)) {
        Shell_run("cp -f /mnt/autorun.sh /mnt/autorun.sh.swp");
    }
    int rc = Shell_run(c == 1 ? "cp -f /mnt/autorun.sh.h264.mp3.org /mnt/autorun.sh"
                              : "cp -f /mnt/autorun.sh.h264.aac.org /mnt/autorun.sh");
    if (rc != 0) {
        std::printf("Can't copy the start script template; nothing changed\n");
        return;
    }
    Store_restoreFactory(kWebPasswd);
    Config_syncTwice();
    std::printf(c == 1 ? "h264 and mp3)\n" : "h264 and aac\n");
}

void codecCaptureMode(bool ra202)
{
    int c = 0;
    if (!radio("ctrlau", 2, c)) {
        return;
    }
    Report_format(ra202);
    FormatSetting f = Report_readFormat();
    if (!f.present) {
        return; // the report said so; a mode without a format index is no setting
    }
    std::string rec = std::to_string(c == 1 ? 1 : 0) + " " + std::to_string(f.index);
    if (!Store_write("/mnt/format.ini", rec)) {
        std::printf("Can't open file");
        return;
    }
    std::printf(c == 1 ? "\nSet: fix format capture\n" : "\nSet: detect capture\n");
}

void codecAutoReboot(bool ra202)
{
    int c = 0;
    if (!radio("ctrlax", 2, c)) {
        return;
    }
    Report_format(ra202);
    if (!Store_write("/mnt/qiehuan", c == 1 ? "0\n" : "1\n")) {
        std::printf("Can't open file");
        return;
    }
    std::printf(c == 1 ? "\nSet: sdk control(default)\n" : "\nSet: auto reboot\n");
}

// Two flag files set together, then the confirmation.
void flags2(const char *pathA, char a, const char *pathB, char b, const char *confirm)
{
    if (Store_setFlag(pathA, a) && (pathB == nullptr || Store_setFlag(pathB, b))) {
        std::printf("%s", confirm);
    }
}

void codecRadios(Request &req)
{
    int c = 0;
    codecTemplate();
    if (radio("selvs", 2, c)) {
        std::printf(c == 1 ? "set no video scaling\n" : "set video scaling\n");
        scriptAction(req, c == 1 ? "ctrlcodec=2\n" : "ctrlcodec=1\n");
    }
    codecCaptureMode(req.ra202);
    codecAutoReboot(req.ra202);
    if (radio("ctrlaz", 3, c)) {
        if (c == 1) {
            flags2("/mnt/ts.ini", '1', "/mnt/httpts.ini", '0', "disable ts output\n");
        } else if (c == 2) {
            flags2("/mnt/ts.ini", '0', "/mnt/httpts.ini", '1', "enable ts output, mode: http\n");
        } else {
            flags2("/mnt/ts.ini", '0', "/mnt/httpts.ini", '0', "enable ts output, mode: udp\n");
        }
    }
    if (radio("ifwifi", 2, c)) {
        flags2("/mnt/wifi/ifwifi", c == 1 ? '1' : '0', nullptr, 0, c == 1 ? "disable wifi\n" : "enable wifi\n");
    }
    if (radio("ctrldz", 2, c)) {
        flags2("/mnt/tcp.ini", c == 1 ? '1' : '0', nullptr, 0,
               c == 1 ? "enable stream tag output\n" : "disable stream tag output\n");
    }
    if (radio("ctrlez", 4, c)) {
        // Off, RTSP server, RTMP instead of the server's FIFOs, both at once.
        static const struct { char rtsp, rtmp; const char *confirm; } kRtspRtmp[] = {
            {'0', '0', "disable rtsp server and rtmp\n"}, {'1', '0', "enable rtsp server\n"},
            {'1', '1', "enable rtmp\n"}, {'1', '2', "enable rtsp server and rtmp\n"}};
        flags2("/mnt/rtsp.ini", kRtspRtmp[c].rtsp, "/mnt/rtsporrtmp.ini", kRtspRtmp[c].rtmp, kRtspRtmp[c].confirm);
    }
    if (radio("ctrlbz", 3, c)) {
        static const char *const kProfiles[] = {"H264 encode High Profile select\n",
                                                "H264 encode Main Profile select\n",
                                                "H264 encode Baseline Profile select\n"};
        flags2("/mnt/kavex_encProfileIdc.ini", static_cast<char>('0' + c), nullptr, 0, kProfiles[c]);
    }
    if (radio("ctrlcz", 2, c)) {
        flags2("/mnt/kavex_encQuality.ini", c == 1 ? '1' : '0', nullptr, 0,
               c == 1 ? "H264 encode High speed mode select\n" : "H264 encode High quality mode select\n");
    }
    if (radio("audioen", 2, c)) {
        scriptAction(req, c == 1 ? "ctrlencode=1\n" : "ctrlencode=2\n");
    }
    if (radio("audioin", 2, c)) {
        const char *digital = req.ra202 ? "select audio in of sdi\n" : "select audio in of hdmi\n";
        if (Store_setFlag("/mnt/ha.ini", c == 1 ? '1' : '0')) {
            Config_syncTwice();
            std::printf("%s", c == 1 ? digital : "select audio in of 3.5\n");
        }
    }
}

// --- Network, Wi-Fi and MAC ---

void macAction()
{
    std::string v;
    if (!cgiFormButtonPressed("mac_submit") || !SettingsForm_text("mac", v)) {
        return;
    }
    std::printf("set mac=%s\n", v.c_str());
    bool good = true;
    if (v.size() != kMacLength) {
        std::printf("mac's length is illegal");
        good = false;
    }
    if (!good || !Mac_isValid(v)) {
        std::printf("set failed, please check your typed mac address and try again!");
        return;
    }
    std::printf("mac check pass...");
    if (!Store_write(kMacScript, Mac_scriptText(v))) {
        std::printf("Can't open file");
        return;
    }
    std::printf("set ok");
}

// The passkey is a secret: an empty field keeps the stored one, and no answer shows it.
void wifiWord(const char *button, const char *field, const char *key, Key k, const char *confirm)
{
    std::string v;
    if (!cgiFormButtonPressed(button)) {
        return;
    }
    char probe[2];
    if (k == Key::Psk && cgiFormStringNoNewlines(field, probe, sizeof probe) == cgiFormEmpty) {
        std::printf("%s kept: the field was empty\n", field);
        return;
    }
    if (!SettingsForm_text(field, v)) {
        return;
    }
    std::string why = k == Key::Ssid ? Check_ssid(v) : Check_passkey(v);
    std::string quoted = "\"" + v + "\"";
    std::string line = std::string(key) + "=" + quoted + "\n";
    if (why.empty()) {
        why = Check_readsBack(line, k, quoted, kWpaKeys, false);
    }
    if (!accept(field, why)) {
        return;
    }
    std::printf(confirm, k == Key::Psk ? Secret_shown(v).c_str() : v.c_str());
    Wifi_networkRewrite(line);
}

void wifiAddress()
{
    std::string v;
    if (!cgiFormButtonPressed("wifi_ip_submit") || !SettingsForm_text("wifi_ip", v) || !accept("wifi_ip", Check_ipv4(v))) {
        return;
    }
    std::printf("set wifi ip:%s\n", v.c_str());
    Wifi_addressRewrite("wifiip=" + v + "\n");
}

// A typed text stored as it is; false ends the request when the file cannot be created.
bool rawText(const char *button, const char *field, const char *path, const char *confirm)
{
    std::string v;
    if (!cgiFormButtonPressed(button) || !SettingsForm_text(field, v)) {
        return true;
    }
    if (!Store_write(path, v)) {
        std::printf("Can't open file");
        return false;
    }
    std::printf(confirm, v.c_str());
    return true;
}

void volumeAction()
{
    std::string v;
    if (!cgiFormButtonPressed("name_volume_submit") || !SettingsForm_text("volume", v) || !accept("volume", Check_digits(v, 3))) {
        return;
    }
    std::string state;
    if (!Store_read("/mnt/asound.state", state, 1 << 16)) {
        std::printf("Can't open file /mnt/asound.state\n");
        return;
    }
    std::optional<MixerVolume> vol = Mixer_find(state);
    if (!vol) {
        std::printf("no analog input volume in /mnt/asound.state; nothing changed\n");
        return;
    }
    if (vol->hasRange && !accept("volume", Check_number(v, 3, vol->lo, vol->hi))) {
        return;
    }
    std::printf("set volume:%s\n", v.c_str());
    if (!Store_write("/mnt/asound.state", Mixer_replace(state, *vol, v))) {
        std::printf("Can't open file");
    }
}

// --- Subtitle (/mnt/zk.ini, /mnt/zhiti.ini) ---

SubtitleRecord readSubtitle()
{
    std::string text;
    Store_read(kSubtitle, text, kSubtitleRecordLimit);
    return Subtitle_parse(text);
}

bool writeSubtitle(const SubtitleRecord &r)
{
    if (!Store_write(kSubtitle, Subtitle_format(r))) {
        std::printf("Can't open file");
        return false;
    }
    std::printf("set ok\n");
    return true;
}

void subtitleActions()
{
    int c = 0;
    if (cgiFormButtonPressed("sub_a_submit") && radio("sub_a", 2, c)) {
        SubtitleRecord r = readSubtitle();
        r.enable = c == 1 ? 1 : 0;
        std::printf(c == 1 ? "subtitle enable\n" : "subtitle disable\n");
        writeSubtitle(r);
    }
    if (cgiFormButtonPressed("sub_z_submit") && radio("sub_z", 2, c)) {
        if (!Store_write("/mnt/zhiti.ini", c == 1 ? "0" : "1")) {
            std::printf("Can't open file");
        } else {
            std::printf(c == 1 ? "choose the big font \n" : "choose the small font\n");
        }
    }
    std::string v;
    if (cgiFormButtonPressed("sub_submit") && SettingsForm_text("sub_text", v)) {
        std::string gb;
        int detail = 0;
        int err = 0;
        SubtitleStatus st = Subtitle_encode(v, gb, detail, err);
        if (st == SubtitleStatus::NoConverter) {
            std::printf("erro1=%d\n%s\n", detail, std::strerror(err));
        } else if (st == SubtitleStatus::BadText) {
            // A half-converted text would be drawn wrong; nothing is stored.
            std::printf("erro=%d\n", detail);
        } else {
            SubtitleRecord r = readSubtitle();
            r.text = gb;
            if (accept("sub_text", Subtitle_format(r).size() > static_cast<size_t>(kSubtitleRecordLimit)
                                        ? "too long for /mnt/zk.ini"
                                        : "")) {
                std::printf("set sub:%s\n", v.c_str());
                writeSubtitle(r);
            }
        }
    }
    if (cgiFormButtonPressed("s_x_submit") && SettingsForm_text("s_x", v) && accept("s_x", Check_digits(v, 5))) {
        SubtitleRecord r = readSubtitle();
        r.x = std::atoi(v.c_str());
        std::printf("set x:%s\n", v.c_str());
        writeSubtitle(r);
    }
    if (cgiFormButtonPressed("s_y_submit") && SettingsForm_text("s_y", v) && accept("s_y", Check_digits(v, 5))) {
        SubtitleRecord r = readSubtitle();
        r.y = std::atoi(v.c_str());
        std::printf("set y:%s\n", v.c_str());
        writeSubtitle(r);
    }
    if (cgiFormButtonPressed("sub_v")) {
        SubtitleRecord r = readSubtitle();
        FlagRead font = Config_readFlag("/mnt/zhiti.ini");
        std::printf(r.enable == 1 ? "subtitle:enable\n" : "subtitle:disable\n");
        std::printf(font.state == FileState::Read && font.first == '0' ? "font:big\n" : "font:small\n");
        std::printf("x:%d\ny:%d\nsubtitle value:%s\n", r.x, r.y, Subtitle_decode(r.text).c_str());
    }
}

// --- Capture format, input, level, maximum delay ---

void formatAction(bool ra202)
{
    if (!cgiFormButtonPressed("name29_submit")) {
        return;
    }
    int idx = 0;
    if (!listChoice("menu_set_vga_mode", kFormatChoices, 39, idx)) {
        return;
    }
    int value = std::atoi(kFormatChoices[idx]);
    std::printf("%d\n", value);
    Report_format(ra202);
    FormatSetting f = Report_readFormat();
    std::printf("%s", Report_formatText(f.mode, value).c_str());
    if (!Store_write("/mnt/format.ini", std::to_string(f.mode) + " " + std::to_string(value))) {
        std::printf("Can't open file");
    }
}

void inputAction(bool ra202)
{
    if (!cgiFormButtonPressed("name129_submit")) {
        return;
    }
    int idx = 0;
    if (!listChoice("menu_set_signal_mode", kInputChoices, 5, idx)) {
        return;
    }
    std::printf("set signal format:%s\n", kInputChoices[idx]);
    Report_format(ra202);
    int input = std::atoi(kInputChoices[idx]);
    std::printf("set_signal_mode=%d\n", input);
    if (input < 0 || input > 4) {
        std::printf("error");
        return;
    }
    const char digit[1] = {static_cast<char>('0' + input)};
    if (!Store_write("/mnt/ra101.ini", std::string_view(digit, 1))) {
        std::printf("Can't open file");
        return;
    }
    std::printf("set vga format=%d ok\n", Report_readFormat().index);
}

bool levelAction()
{
    if (!cgiFormButtonPressed("encst_submit")) {
        return true;
    }
    int idx = 0;
    if (!listChoice("menu_encst", kLevelChoices, 15, idx)) {
        return true;
    }
    if (!Store_write("/mnt/kavex_encLevel.ini", std::string(kLevelChoices[idx]) + "\n")) {
        std::printf("Can't open file");
        return false;
    }
    std::printf("%s\nset ok", Report_levelLine(std::atoi(kLevelChoices[idx])).c_str());
    return true;
}

void maxDelayAction()
{
    std::string v;
    if (!cgiFormButtonPressed("cvbr_submit") || !SettingsForm_text("cvbr", v)) {
        return;
    }
    std::printf("set :%s\n", v.c_str());
    if (!Check_number(v, 3, 1, 300).empty()) {
        std::printf("The value is invalid or out of range.");
        return;
    }
    if (!Store_write("/mnt/kavex_maxdelay.ini", v + "\n")) {
        std::printf("can not open file\n");
        return;
    }
    std::printf("set H264 Max Delay: %dms\n", std::atoi(v.c_str()) * 100);
    std::printf("set ok\n");
}

// --- Groups of actions; cgiMain applies them in one fixed order, whatever the form's order ---

void maskActions()
{
    if (cgiFormButtonPressed("mg_gx")) {
        showMask();
    }
    maskSwitch("mg_a_submit", "mg_a", 1, "mg enable\n", "mg disable\n");
    maskSwitch("gx_a_submit", "gx_a", 6, "gx enable\n", "gx disable\n");
    maskPair("mg_xy", "mg_x", "mg_y", 2, "set x=%s,y=%s\n");
    maskPair("mg_wh", "mg_w", "mg_h", 4, "set w=%s,h=%s\n");
    maskPair("gx_xy", "gx_x", "gx_y", 7, "set x=%s,y=%s\n");
    maskPair("gx_wh", "gx_w", "gx_h", 9, "set w=%s,h=%s\n");
}

void networkActions(Request &req)
{
    if (std::string url = RtmpForm_url(); !url.empty()) {
        scriptAction(req, url);
    }
    RtmpForm_extraDestinations();
    scriptText(req, "name1_submit", "ip", "ip", "set ip:%s\n", Check::Address);
    scriptText(req, "name2_submit", "netmask", "netmask", "set netmask:%s\n", Check::Address);
    scriptText(req, "name45_submit", "gateway", "gateway", "set gateway:%s\n", Check::Address);
    macAction();
    wifiWord("ssid_submit", "ssid", "ssid", Key::Ssid, "set ssid:%s\n");
    wifiWord("passkey_submit", "passkey", "psk", Key::Psk, "passkey: %s\n");
    wifiAddress();
}

// Stream, audio, subtitle and colour settings; false when a store file could not be created, which
// ends the request before anything later (a reboot above all) runs.
bool streamActions(Request &req)
{
    if (!rawText("ttl_submit", "ttl", "/mnt/ttl.ini", "set ttl:%s\n")) {
        return false;
    }
    scriptText(req, "name3_submit", "bitrate", "bitrate", "set bitrate:%s\n", Check::Digits9);
    scriptText(req, "name_audio_submit", "audiosample", "audiosample", "set audiosample:%s\n", Check::Digits9);
    volumeAction();
    scriptText(req, "name_audio2_submit", "audiobitrate", "audiobps", "set bitrate:%s\n", Check::Digits9);
    subtitleActions();
    scriptText(req, "name4_submit", "framerate", "framerate", "set framerate:%s\n", Check::Digits9);
    scriptText(req, "namez_submit", "tz", "tz", "set ts receive ip:%s\n", Check::Address);
    scriptText(req, "namec_submit", "tc", "tc", "set ts receive port:%s\n", Check::Port);
    scriptText(req, "namei_submit", "fi", "fi", "set i frame num:%s\n", Check::IntraInterval);
    if (!rawText("nameidr_submit", "idr", "/mnt/idr.ini", "set idr frame num:%s\n")) {
        return false;
    }
    static const char *const kColors[] = {"lr", "lg", "lb", "br", "bg", "bb"};
    for (const char *color : kColors) {
        std::string button = std::string("name") + color + "_submit";
        scriptText(req, button.c_str(), color, color, "set ok:%s", Check::Color);
    }
    return true;
}

} // namespace

bool SettingsCgi_apply()
{
    Request req;
    req.ra202 = Config_exists("/mnt/ra202.ini");

    if (cgiFormButtonPressed("name44_submit")) {
        scriptAction(req, "");
    }
    maskActions();
    scriptText(req, "vs_width_submit", "vs_width", "width", "set video scaling width=%s\n", Check::Digits9);
    scriptText(req, "vs_height_submit", "vs_height", "height", "set video scaling height=%s\n", Check::Digits9);
    if (cgiFormButtonPressed("codec_submit")) {
        codecRadios(req);
    }
    networkActions(req);
    if (!streamActions(req)) {
        return false;
    }
    formatAction(req.ra202);
    inputAction(req.ra202);
    if (!levelAction()) {
        return false;
    }
    maxDelayAction();
    SrtForm_action();
    HlsForm_action();
    WebrtcForm_action();
    WhipForm_action();
    HttpsForm_action();
    Password_action();
    return true;
}
