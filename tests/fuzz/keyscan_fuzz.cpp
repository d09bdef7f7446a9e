// fuzz-sources: web/settings/key_scan.cpp web/settings/validate.cpp web/settings/start_script.cpp
// fuzz-sources: web/settings/report.cpp web/settings/store.cpp web/settings/wifi.cpp web/settings/mixer.cpp
// fuzz-sources: encode/core/config_store.cpp encode/core/paths.cpp encode/core/shell.cpp
// The key scanner on any bytes: no crash or overread, every value within its limit and free of line
// ends, the "end" offset pointing at "end". And the promise the value checks make: a URL, SSID or
// passphrase they accept reads back as itself from the file it is written to.
#include "web/settings/key_scan.h"
#include "web/settings/start_script.h"
#include "web/settings/validate.h"
#include "web/settings/wifi.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

bool clean(const std::string &v, size_t limit)
{
    return v.size() <= limit && v.find_first_of("\r\n") == std::string::npos;
}

void scanAny(std::string_view text)
{
    for (bool stop : {true, false}) {
        KeyState s;
        std::optional<size_t> end = KeyScan_scan(s, text, stop);
        require(stop || !end);
        if (end) {
            require(*end + 3 <= text.size() && text.substr(*end, 3) == "end");
            require(KeyScan_findEnd(text) == end);
        }
        if (s.hits & keyBit(Key::Ip)) {
            require(clean(s.ip, kAddressMax));
        }
        if (s.hits & keyBit(Key::Url)) {
            require(clean(s.url, kUrlMax));
        }
        if (s.hits & keyBit(Key::Ssid)) {
            require(clean(s.ssid, kWifiWordMax));
        }
        require(s.ctrlencode >= 0 && s.ctrlencode <= 9);
        for (const ColorHit &c : s.colors) {
            require(c.field >= 1 && c.field <= 6);
        }
    }
}

void acceptedUrlReadsBack(const std::string &url)
{
    if (!Check_rtmpUrl(url).empty() || !Check_readsBack("url=" + KeyScan_storedUrl(url) + "\n", Key::Url, url, kAllKeys, true).empty()) {
        return;
    }
    KeyState s;
    s.url = url;
    std::string block = StartScript_block(s);
    std::string text = block + "end\n" + std::string(300, '#');
    std::string why = StartScript_verify(text, block.size(), s);
    // Only a block too long for the window may be refused.
    require(why.empty() || block.size() + 3 > kBlockWindow);
}

void acceptedWifiWordReadsBack(const std::string &v)
{
    const std::string quoted = "\"" + v + "\"";
    if (Check_ssid(v).empty() && Check_readsBack("ssid=" + quoted + "\n", Key::Ssid, quoted, kWpaKeys, false).empty()) {
        KeyState s;
        KeyScan_scan(s, Wifi_networkText(quoted, "\"coder123\""), false);
        require(s.ssid == quoted && s.psk == "\"coder123\"");
    }
    if (Check_passkey(v).empty() && Check_readsBack("psk=" + quoted + "\n", Key::Psk, quoted, kWpaKeys, false).empty()) {
        KeyState s;
        KeyScan_scan(s, Wifi_networkText("\"video\"", quoted), false);
        require(s.ssid == "\"video\"" && s.psk == quoted);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so that any read past the end is seen.
    std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(buf.get(), data, size);
    }
    std::string_view text(buf.get(), size);
    scanAny(text);
    if (size <= 300) {
        acceptedUrlReadsBack("rtmp://" + std::string(text));
        acceptedWifiWordReadsBack(std::string(text));
    }
    return 0;
}
