// RTMP URL actions of the settings CGI; one request per process, no state.
#include "web/settings/rtmp_form.h"

#include "encode/core/config_store.h"
#include "encode/core/rtmp_destinations.h"
#include "web/form/form.h"
#include "web/settings/key_scan.h"
#include "web/settings/secret.h"
#include "web/settings/start_script.h"
#include "web/settings/store.h"
#include "web/settings/text_field.h"
#include "web/settings/validate.h"

#include <cstdio>
#include <string>

namespace {

// The URL the field stands for, checked as the store needs it; false after the refusal line.
bool postedUrl(const char *field, const std::string &stored, bool inScript, std::string &url)
{
    std::string posted;
    if (!SettingsForm_text(field, posted)) {
        return false;
    }
    std::string why = Secret_postedUrl(posted, stored, url);
    if (why.empty()) {
        why = Check_rtmpUrl(url);
    }
    if (why.empty() && inScript) {
        why = Check_readsBack("url=" + KeyScan_storedUrl(url) + "\n", Key::Url, url, kAllKeys, true);
    }
    if (!why.empty()) {
        std::printf("refused %s: %s\n", field, why.c_str());
        return false;
    }
    return true;
}

// `url=` of the start script's block; "" when the script or the line cannot be read.
std::string storedScriptUrl()
{
    std::string file;
    if (!Store_read(kStartScript, file, static_cast<int>(kScriptLimit) + 1)) {
        return {};
    }
    KeyState s;
    KeyScan_scan(s, std::string_view(file).substr(0, kBlockWindow), true);
    return (s.hits & keyBit(Key::Url)) != 0 ? s.url : std::string();
}

// The whole file is written anew, the previous one kept as rtmpx.ini.swp like the start script's.
bool writeExtraDestinations(const std::string (&urls)[kRtmpExtraDestinations])
{
    std::string old;
    std::string swp = std::string(kRtmpExtraFile) + ".swp";
    if (Store_read(kRtmpExtraFile, old, 1 << 16) && Config_writeText(swp, old) != Config_EOK) {
        std::printf("Can't write %s; nothing changed\n", swp.c_str());
        return false;
    }
    if (!Store_write(kRtmpExtraFile, RtmpDestinations_formatExtra(urls))) {
        std::printf("Can't open file %s\n", kRtmpExtraFile);
        return false;
    }
    return true;
}

// The same checks and stored form as `url=`. A line the encoder does not use (no URL by these rules,
// written by hand) is left out when the file is written anew; the .swp copy still holds it.
void extraDestination(int number)
{
    std::string n = std::to_string(number);
    std::string field = "rtmpx" + n;
    bool set = cgiFormButtonPressed((field + "_submit").c_str());
    bool remove = cgiFormButtonPressed((field + "_remove").c_str());
    if (!set && !remove) {
        return;
    }
    RtmpExtraDestinations now = RtmpDestinations_readExtra();
    std::string urls[kRtmpExtraDestinations];
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        urls[i] = now.line[i].url;
    }
    std::string v;
    if (set && !postedUrl(field.c_str(), urls[number - 2], false, v)) {
        return;
    }
    urls[number - 2] = v;
    if (!writeExtraDestinations(urls)) {
        return;
    }
    if (set) {
        std::printf("set rtmp destination %d:%s\n", number, Secret_rtmpShown(v).c_str());
    } else {
        std::printf("removed rtmp destination %d\n", number);
    }
}

} // namespace

std::string RtmpForm_url()
{
    std::string url;
    if (!cgiFormButtonPressed("rtmpurl_submit") || !postedUrl("rtmpurl", storedScriptUrl(), true, url)) {
        return {};
    }
    std::printf("set url:%s\n", Secret_rtmpShown(url).c_str());
    return "url=" + KeyScan_storedUrl(url) + "\n";
}

void RtmpForm_extraDestinations()
{
    for (int number = 2; number <= kRtmpDestinations; number++) {
        extraDestination(number);
    }
}
