// Settings and format reports of the settings CGI: read-only over the store, printed to the response.
#include "web/settings/report.h"

#include "encode/core/config_store.h"
#include "encode/core/rtmp_destinations.h"
#include "web/settings/mixer.h"
#include "web/settings/secret.h"
#include "web/settings/store.h"
#include "web/settings/wifi.h"

#include <array>
#include <cstdio>

namespace {

struct FormatName {
    int index;
    const char *text;
};

constexpr std::array<FormatName, 39> kFormats = {{
    {1, "VGA,640x480,60HZ"},
    {2, "VGA,640x480,73HZ"},
    {3, "VGA,640x480,75HZ"},
    {4, "VGA,640x480,85HZ"},
    {5, "SVGA,800x600,60HZ"},
    {6, "SVGA,800x600,72HZ"},
    {7, "SVGA,800x600,75HZ"},
    {8, "SVGA,800x600,85HZ"},
    {9, "XGA,1024x768,60HZ"},
    {10, "XGA,1024x768,75HZ"},
    {11, "XGA,1024x768,85HZ"},
    {12, "WXGA,1280x768,60HZ"},
    {13, "WXGA,1280x768,75HZ"},
    {14, "WXGA,1280x768,85HZ"},
    {15, "WXGA,1280x1024,60HZ"},
    {16, "WXGA,1280x1024,85HZ"},
    {17, "UXGA,1600x1200,60HZ"},
    {18, "1280x800,60HZ"},
    {19, "1440x900,60HZ"},
    {20, "1280x960,60HZ"},
    {21, "1440x1050,60HZ"},
    {22, "1680x1050,60HZ"},
    {23, "1920x1080,60HZ"},
    {24, "1920x1200,60HZ"},
    {25, "1280x720,60HZ"},
    {26, "1360x768,60HZ"},
    {27, "1366x768,60HZ"},
    {28, "1400x1050,60HZ"},
    {29, "1600x900,60HZ"},
    {32, "1080P,60HZ"},
    {33, "1080P,50HZ"},
    {34, "1080I,60HZ"},
    {35, "1080I,50HZ"},
    {36, "720P,50HZ,PAL"},
    {37, "720P,60HZ,NTSC"},
    {38, "SD,525P(720x480),60HZ,NTSC"},
    {39, "SD,625P(720x576),50HZ,PAL"},
    {40, "SD,PAL"},
    {41, "SD,NTSC"},
}};

// The page is UTF-8; the first input's name holds the character 转 ("to").
constexpr std::array<const char *, 5> kInputs = {
    ">>>>>>VGA input(DVI-I\xE8\xBD\xACVGA)",
    ">>>>>>DVI-D input(DVI-I)",
    ">>>>>>HDMI input",
    ">>>>>>BNC input",
    ">>>>>>YPbPr input(DVI-I to VGA(VGA to YPbpr) or DVI-I to YPbPr",
};

struct LevelName {
    int value;
    const char *text;
};

constexpr std::array<LevelName, 16> kLevels = {{
    {0, "4.0"},  {40, "4.0"}, {9, "1.b"},  {10, "1.0"}, {11, "1.1"}, {12, "1.2"}, {13, "1.3"}, {20, "2.0"},
    {21, "2.1"}, {22, "2.2"}, {30, "3.0"}, {31, "3.1"}, {32, "3.2"}, {41, "4.1"}, {42, "4.2"}, {50, "5.0"},
}};

// A one-field "%d" record; `missing` when the file cannot be opened, 0 when it holds no number.
int readNumber(std::string_view path, int missing)
{
    int v[1] = {0};
    return Config_readRecord(path, v, kRecordLimitSecondStream) == Config_ENOFILE ? missing : v[0];
}

void reportWifi(std::string_view pending)
{
    FlagRead flag = Config_readFlag("/mnt/wifi/ifwifi");
    if (flag.state == FileState::Missing) {
        return;
    }
    if (flag.state == FileState::Empty) {
        std::printf("error\n");
        return;
    }
    if (flag.on()) {
        std::printf("wifi: disable\n");
        return;
    }
    std::printf("wifi: enable\n");
    if (!pending.empty()) {
        Wifi_networkRewrite(pending);
        Wifi_addressRewrite(pending);
        return;
    }
    KeyState s;
    if (Wifi_readNetwork(s)) {
        std::printf("ssid=%s\n", s.ssid.c_str());
    } else {
        std::printf("Can't open file");
    }
    std::string address;
    if (Wifi_readAddress(address)) {
        std::printf("wifi ip=%s\n", address.c_str());
    } else {
        std::printf("Can't open file");
    }
}

void reportEncoder()
{
    std::printf("H264 Max Delay: %dms\n", readNumber("/mnt/kavex_maxdelay.ini", 1) * 100);
    FlagRead profile = Config_readFlag("/mnt/kavex_encProfileIdc.ini");
    if (profile.state == FileState::Read && profile.first == '1') {
        std::printf("H264 encode select: Main Profile\n");
    } else if (profile.state == FileState::Read && profile.first == '2') {
        std::printf("H264 encode select: Baseline Profile\n");
    } else {
        std::printf("H264 encode select: High Profile\n");
    }
    if (Config_readFlag("/mnt/kavex_encQuality.ini").on()) {
        std::printf("H264 encode select: High Speed Mode\n");
    } else {
        std::printf("H264 encode select: High Quality Mode\n");
    }
    if (Config_exists("/mnt/kavex_encLevel.ini")) {
        std::printf("%s\n", Report_levelLine(Config_readEncLevel()).c_str());
    }
}

void reportRtmp(const KeyState &s)
{
    std::printf("rtmp: enable\n");
    std::printf("rtmp live url: %s\n", Secret_rtmpShown(s.url).c_str());
    RtmpExtraDestinations extra = RtmpDestinations_readExtra();
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        const RtmpExtraLine &l = extra.line[i];
        if (!l.url.empty()) {
            std::printf("rtmp live url %d: %s\n", i + 2, Secret_rtmpShown(l.url).c_str());
        } else if (!l.problem.empty()) {
            std::printf("rtmp live url %d: not used, %s\n", i + 2, l.problem.c_str());
        }
    }
}

void reportOutputs(const KeyState &s)
{
    FlagRead ts = Config_readFlag("/mnt/ts.ini");
    if (ts.on()) {
        std::printf("ts output: disable\n");
    } else if (ts.state == FileState::Read) {
        std::printf("ts output: enable, ");
        std::printf(Config_readFlag("/mnt/httpts.ini").on() ? "mode: http \n" : "mode: udp \n");
    } else {
        std::printf("ts output: enable\n");
    }
    int rsc[2] = {0, 0};
    if (Config_readRecord("/mnt/kavex_rsc.ini", rsc, kRecordLimitSecondStream) != Config_ENOFILE) {
        std::printf(rsc[0] != 0 ? "ts select:second stream\n" : "ts select:main stream\n");
        std::printf(rsc[1] != 0 ? "rtsp/rtmp select:second stream\n" : "rtsp/rtmp select:main stream\n");
    }
    std::printf(Config_readFlag("/mnt/tcp.ini").on() ? "tcp stream tag output: enable\n"
                                                      : "tcp stream tag output: disable\n");
    FlagRead rtmp = Config_readFlag("/mnt/rtsporrtmp.ini");
    if (!Config_readFlag("/mnt/rtsp.ini").on()) {
        std::printf("rtsp server and rtmp: disable\n");
        return;
    }
    // '1' publishes instead of feeding the server, '2' does both; any other byte, or no file (as the
    // encoder takes it), feeds the server only.
    if (!rtmp.on()) {
        std::printf("rtsp server: enable\n");
    }
    if (rtmp.on() || rtmp.first == '2') {
        reportRtmp(s);
    }
}

} // namespace

FormatSetting Report_readFormat()
{
    FormatSetting f;
    int v[2] = {0, 0};
    if (Config_readRecord("/mnt/format.ini", v, kRecordLimitFormat) == Config_ENOFILE) {
        return f;
    }
    f.present = true;
    f.mode = v[0];
    f.index = v[1];
    return f;
}

const char *Report_formatName(int index)
{
    for (const FormatName &f : kFormats) {
        if (f.index == index) {
            return f.text;
        }
    }
    return nullptr;
}

std::string Report_formatText(int mode, int index)
{
    const char *name = Report_formatName(index);
    if (name == nullptr) {
        return "Set out of range, Please set it again";
    }
    return std::string(mode == 1 ? "Set format: " : "Format: ") + name + "\n\n";
}

std::string Report_inputLine(int input)
{
    if (input < 0 || input >= static_cast<int>(kInputs.size())) {
        return {};
    }
    return std::string(kInputs[static_cast<size_t>(input)]) + "\n";
}

std::string Report_levelLine(int level)
{
    for (const LevelName &l : kLevels) {
        if (l.value == level) {
            return std::string("H264 encode standard: Level ") + l.text + "\n";
        }
    }
    return {};
}

void Report_format(bool ra202)
{
    FormatSetting f = Report_readFormat();
    if (!f.present) {
        std::printf("error open color config file\r");
        return;
    }
    std::printf("\n");
    bool fixed = f.mode == 1;
    if (Config_exists("/mnt/ra101.ini")) {
        if (!ra202) {
            DigitRead input = Config_readDigits("/mnt/ra101.ini", 1);
            if (input.digits == 1) {
                std::printf("%s", Report_inputLine(input.value).c_str());
            }
        }
        if (fixed) {
            std::printf("Read: fix format capture\n");
        } else {
            std::printf("Read: detect format\n");
            int q[1] = {0};
            if (Config_readRecord("/mnt/qiehuan", q, kRecordLimitSecondStream) != Config_ENOFILE) {
                std::printf(q[0] == 1 ? "autodetect: auto reboot\n" : "autodetect: sdk control\n");
            }
        }
        std::printf("%s", Report_formatText(f.mode, f.index).c_str());
        return;
    }
    if (fixed) {
        std::printf("Read: fix format capture\n");
        std::printf("%s", Report_formatText(f.mode, f.index).c_str());
        return;
    }
    std::printf("Read: detect format\n");
    int size[2] = {0, 0};
    if (Config_readRecord("/tmp/format.ini", size, kRecordLimitSecondStream) != Config_ENOFILE) {
        std::printf("detect format:%dx%d\n\n", size[0], size[1]);
    }
}

bool Report_readVolume(int &volume)
{
    std::string state;
    if (!Store_read("/mnt/asound.state", state, 1 << 16)) {
        return false;
    }
    std::optional<MixerVolume> v = Mixer_find(state);
    if (!v) {
        return false;
    }
    volume = v->value;
    return true;
}

void Report_settings(const KeyState &s, bool ra202, std::string_view pending)
{
    std::printf("\nip=%s\nnetmask=%s\ngateway=%s\n", s.ip.c_str(), s.netmask.c_str(), s.gateway.c_str());
    reportWifi(pending);
    DigitRead ttl = Config_readDigits("/mnt/ttl.ini", 3);
    std::printf("ttl=%d\n", ttl.state == FileState::Missing ? 100 : ttl.value);
    std::printf("\nts receive ip=%s\nts receive port=%d\n", s.tz.c_str(), s.tc);
    Report_format(ra202);
    std::printf("bitrate=%d\nframerate=%d\nI frame num=%d,IDR frame num=%d\n", s.bitrate, s.framerate, s.fi,
                readNumber("/mnt/idr.ini", 100));
    reportEncoder();
    reportOutputs(s);
    if (s.ctrlcodec == 1) {
        std::printf("enable video sclaing\nvideo sclaing width=%d\nvideo sclaing height=%d\n\n", s.width, s.height);
    } else if (s.ctrlcodec == 2) {
        std::printf("disable video sclaing\n\n");
    }
    std::printf("audio enable=%d\n", s.ctrlencode);
    FlagRead ha = Config_readFlag("/mnt/ha.ini");
    if (ha.state == FileState::Empty) {
        std::printf("error\n");
    } else if (ha.on()) {
        std::printf(ra202 ? "audio in: sdi\n" : "audio in: hdmi\n");
    } else if (ha.state == FileState::Read) {
        std::printf("audio in: 3.5\n");
    }
    int volume = 0;
    if (Report_readVolume(volume)) {
        std::printf("3.5 audio volume+:%d\n", volume);
    }
    std::printf("audio sample=%d\naudio bitrate=%d\n\n", s.audiosample, s.audiobps);
}
