// Start-script rewrite of the settings CGI. The block is parsed by the key scanner, which stops at the
// first "end" and finds keys anywhere, so a new script is read back before it is stored: a value that
// would be seen differently next time (a cut window, a key or "end" inside a value) never reaches the
// file that runs at boot.
#include "web/settings/start_script.h"

#include "encode/core/config_store.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/shell.h"
#include "web/settings/report.h"
#include "web/settings/secret.h"
#include "web/settings/store.h"

#include <cstdio>

namespace {

bool sameBlock(const KeyState &a, const KeyState &b)
{
    return a.ip == b.ip && a.netmask == b.netmask && a.gateway == b.gateway && a.tz == b.tz && a.tc == b.tc &&
           a.fi == b.fi && a.ctrlencode == b.ctrlencode && a.ctrlcodec == b.ctrlcodec && a.bitrate == b.bitrate &&
           a.framerate == b.framerate && a.audiosample == b.audiosample && a.audiobps == b.audiobps &&
           a.width == b.width && a.height == b.height && a.url == b.url;
}

void applyColors(const KeyState &s)
{
    for (const ColorHit &c : s.colors) {
        if (Config_replaceField("/mnt/color.ini", c.field, std::to_string(c.value), kRecordLimitColor) != Config_EOK) {
            std::printf("Can't open file /mnt/color.ini\n");
            return;
        }
    }
}

// The pending line as the answer shows it: a URL without its stream key.
std::string shownLine(const std::string &pending)
{
    if (pending.compare(0, 4, "url=") != 0) {
        return pending;
    }
    std::string_view stored = std::string_view(pending).substr(4);
    if (!stored.empty() && stored.back() == '\n') {
        stored.remove_suffix(1);
    }
    return "url=" + Secret_rtmpShown(RtmpUrl_unstored(stored)) + "\n";
}

} // namespace

std::string StartScript_block(const KeyState &s)
{
    char ints[256];
    std::string b;
    b += "ip=" + s.ip + "\nnetmask=" + s.netmask + "\ngateway=" + s.gateway + "\nexport GW=$gateway\ntz=" + s.tz;
    std::snprintf(ints, sizeof ints,
                  "\ntc=%d\nfi=%d\nctrlencode=%d\nctrlcodec=%d\nbitrate=%d\nframerate=%d\naudiosample=%d\n"
                  "audiobps=%d\nwidth=%d\nheight=%d\n",
                  s.tc, s.fi, s.ctrlencode, s.ctrlcodec, s.bitrate, s.framerate, s.audiosample, s.audiobps, s.width,
                  s.height);
    b += ints;
    b += "url=" + KeyScan_storedUrl(s.url) + "\n";
    return b;
}

std::string StartScript_verify(std::string_view text, size_t blockLength, const KeyState &s)
{
    if (text.size() < kBlockWindow) {
        return "the new autorun.sh would be shorter than 300 bytes; not rewritten";
    }
    KeyState back;
    std::optional<size_t> end = KeyScan_scan(back, text.substr(0, kBlockWindow), true);
    if (!end || *end != blockLength) {
        return "the new settings block would not end inside the first 300 bytes of autorun.sh; not rewritten";
    }
    if (!sameBlock(back, s) || !back.colors.empty()) {
        return "the new settings block would not read back as the values set; not rewritten";
    }
    return {};
}

void StartScript_rewrite(std::string &pending, bool ra202)
{
    std::string file;
    // One byte more than the script may hold tells a longer script, whose tail a rewrite would lose.
    if (!Store_read(kStartScript, file, static_cast<int>(kScriptLimit) + 1)) {
        std::printf("Can't open file autorun.sh");
        return;
    }
    KeyState s;
    std::optional<size_t> body = KeyScan_scan(s, std::string_view(file).substr(0, kBlockWindow), true);
    Report_settings(s, ra202, pending);
    if (pending.empty()) {
        return;
    }
    std::string shown = shownLine(pending);
    std::printf("\nread cmd ok, read len = %d, cmdbuf = %s\n", static_cast<int>(shown.size()), shown.c_str());
    if (file.size() > kScriptLimit) {
        std::printf("autorun.sh is longer than 2000 bytes; not rewritten\n");
        return;
    }
    if (!body) {
        std::printf("no \"end\" in the first 300 bytes of autorun.sh, its settings block cannot be told from its "
                    "body; not rewritten\n");
        return;
    }
    // Only the pending line's colour keys are applied; the block never holds any of its own.
    s.colors.clear();
    KeyScan_scan(s, pending, true);
    std::printf("Modify:\nip=%s\nnetmask=%s\ngateway=%s\nbitrate=%d\nframerate=%d\nts receive ip=%s\n"
                "ts receive port=%d\nI frame num=%d\naudio enable=%d\naudio sample=%d\naudio bitrate=%d\n",
                s.ip.c_str(), s.netmask.c_str(), s.gateway.c_str(), s.bitrate, s.framerate, s.tz.c_str(), s.tc, s.fi,
                s.ctrlencode, s.audiosample, s.audiobps);
    std::string block = StartScript_block(s);
    std::string text = block + file.substr(*body);
    std::string why = StartScript_verify(text, block.size(), s);
    if (!why.empty()) {
        std::printf("%s\n", why.c_str());
        return;
    }
    applyColors(s);
    if (Shell_run("cp -f /mnt/autorun.sh /mnt/autorun.sh.swp") != 0) {
        std::printf("Can't copy autorun.sh to autorun.sh.swp; not rewritten\n");
        return;
    }
    Config_syncTwice();
    if (!Store_write(kStartScript, text)) {
        std::printf("Can't open file autorun.sh");
        return;
    }
    pending = "ok";
    std::printf("set ok");
}
