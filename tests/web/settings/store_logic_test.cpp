// The writer-side logic without a request: the block text and its read-back check, the value checks,
// the mixer edit, the subtitle conversion and the Wi-Fi address line.
#include "web/settings/key_scan.h"
#include "web/settings/mixer.h"
#include "web/settings/start_script.h"
#include "web/settings/subtitle.h"
#include "web/settings/validate.h"
#include "web/settings/wifi.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string sourceFile(const std::string &rel)
{
    std::ifstream in(std::string(ENCODE_SOURCE_DIR) + "/" + rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::string kBody = "end_of_block=1\n" + std::string(400, '#') + "\n";

TEST(StartScriptBlock, FixedOrderAndFormat)
{
    KeyState s;
    EXPECT_EQ(StartScript_block(s), "ip=192.168.1.100\nnetmask=255.255.255.0\ngateway=192.168.1.1\n"
                                    "export GW=$gateway\ntz=192.168.1.200\ntc=1234\nfi=30\nctrlencode=2\n"
                                    "ctrlcodec=2\nbitrate=4000000\nframerate=30\naudiosample=44100\n"
                                    "audiobps=96000\nwidth=1280\nheight=720\nurl=rtmp://192.168.1.200/live/kavex\n");
}

TEST(StartScriptBlock, RegeneratingTheFactoryBlockGivesTheSameScript)
{
    std::string script = sourceFile("config/autorun.sh");
    KeyState s;
    std::optional<size_t> end = KeyScan_scan(s, std::string_view(script).substr(0, 300), true);
    ASSERT_TRUE(end.has_value());
    std::string block = StartScript_block(s);
    EXPECT_EQ(block + script.substr(*end), script);
    EXPECT_EQ(StartScript_verify(script, block.size(), s), "");
}

TEST(StartScriptVerify, RefusesWhatWouldNotReadBack)
{
    KeyState s;
    std::string block = StartScript_block(s);
    EXPECT_EQ(StartScript_verify(block + kBody, block.size(), s), "");

    // Shorter than 300 bytes: the body is missing.
    EXPECT_NE(StartScript_verify(block + "end\n", block.size(), s).find("shorter than 300"), std::string::npos);

    // A value that pushes "end" out of the window.
    KeyState longUrl = s;
    longUrl.url = "rtmp://example.com/" + std::string(60, 'a');
    std::string b2 = StartScript_block(longUrl);
    EXPECT_NE(StartScript_verify(b2 + kBody, b2.size(), longUrl).find("first 300 bytes"), std::string::npos);

    // A stored URL that would not read back whole (a quote inside ends the quoting early).
    KeyState quoteUrl = s;
    quoteUrl.url = "rtmp://h/a'b?c";
    std::string b3 = StartScript_block(quoteUrl);
    EXPECT_NE(StartScript_verify(b3 + kBody, b3.size(), quoteUrl).find("read back"), std::string::npos);

    // "end", keys and colour keys inside a URL are part of the URL: the scanner takes the URL's line whole.
    for (const char *url : {"rtmp://backend/live", "rtmp://h/clip=1", "rtmp://h/?br=1", "rtmp://h/weekend?ip=1&tz=2"}) {
        KeyState u = s;
        u.url = url;
        std::string b = StartScript_block(u);
        EXPECT_EQ(StartScript_verify(b + kBody, b.size(), u), "") << url;
    }
}

TEST(StartScriptBlock, UrlIsQuotedWhenTheShellWouldActOnIt)
{
    EXPECT_EQ(KeyScan_storedUrl("rtmp://192.168.1.200:1935/live/kavex"), "rtmp://192.168.1.200:1935/live/kavex");
    EXPECT_EQ(KeyScan_storedUrl("rtmp://h/live/a-b_c.d%20+e,f@g"), "rtmp://h/live/a-b_c.d%20+e,f@g");
    EXPECT_EQ(KeyScan_storedUrl("rtmp://h/live/x?key=a&x=1"), "'rtmp://h/live/x?key=a&x=1'");
    EXPECT_EQ(KeyScan_storedUrl("rtmp://h/~me"), "'rtmp://h/~me'");
    EXPECT_EQ(KeyScan_storedUrl("rtmp://h/$(id)"), "'rtmp://h/$(id)'");
    KeyState s;
    s.url = "rtmp://h/live/x?key=a&x=1";
    EXPECT_NE(StartScript_block(s).find("\nurl='rtmp://h/live/x?key=a&x=1'\n"), std::string::npos);
    KeyState back;
    KeyScan_scan(back, StartScript_block(s), true);
    EXPECT_EQ(back.url, s.url);
}

TEST(Checks, Ipv4)
{
    for (const char *good : {"0.0.0.0", "192.168.1.100", "255.255.255.255", "10.0.0.1"}) {
        EXPECT_EQ(Check_ipv4(good), "") << good;
    }
    for (const char *bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4;reboot", "1.2.3.4 ", " 1.2.3.4",
                            "01.2.3.4", "1..2.3", "1.2.3.", "1.2.3.`id`", "1.2.3.1234", "a.b.c.d", "1.2.3.4\n"}) {
        EXPECT_NE(Check_ipv4(bad), "") << bad;
    }
}

TEST(Checks, DigitsAndNumbers)
{
    EXPECT_EQ(Check_digits("0123", 4), "");
    EXPECT_NE(Check_digits("12345", 4), "");
    EXPECT_NE(Check_digits("", 4), "");
    EXPECT_NE(Check_digits("-1", 4), "");
    EXPECT_NE(Check_digits("1e3", 4), "");
    EXPECT_NE(Check_digits("12 ", 4), "");
    EXPECT_EQ(Check_number("256", 3, 0, 256), "");
    EXPECT_NE(Check_number("257", 3, 0, 256), "");
    EXPECT_NE(Check_number("0", 3, 1, 300), "");
    EXPECT_EQ(Check_number("300", 3, 1, 300), "");
}

TEST(Checks, RtmpUrl)
{
    // Ingest URLs carry query strings; the start script quotes what the shell would act on.
    for (const char *good : {"rtmp://192.168.1.200/live/kavex", "rtmps://a.example.com:443/app/key?x=1",
                             "rtmp://h/live/NAME?key=a&x=1", "rtmp://h/weekend", "rtmp://h/a#b", "rtmp://a/$(id)",
                             "rtmp://a/`id`", "rtmp://a/b;reboot", "rtmp://a/b|c", "rtmp://a/b>c", "rtmp://a/b(c)"}) {
        EXPECT_EQ(Check_rtmpUrl(good), "") << good;
    }
    for (const char *bad : {"http://a/b", "rtmp:/a", "rtmp://a/b c", "rtmp://a/b\\c", "rtmp://a/b\"c", "rtmp://a/b'c",
                            "rtmp://a/b\tc", "rtmp://a/b\x01", "rtmp://a/b\n", "rtmp://a/\xc3\xa9"}) {
        EXPECT_NE(Check_rtmpUrl(bad), "") << bad;
    }
    // At most 255 characters as stored: a bare URL, or one in quotes two shorter.
    EXPECT_NE(Check_rtmpUrl("rtmp://" + std::string(249, 'a')), "");
    EXPECT_EQ(Check_rtmpUrl("rtmp://" + std::string(248, 'a')), "");
    EXPECT_NE(Check_rtmpUrl("rtmp://?" + std::string(246, 'a')), "");
    EXPECT_EQ(Check_rtmpUrl("rtmp://?" + std::string(245, 'a')), "");
}

TEST(Checks, WifiWords)
{
    EXPECT_EQ(Check_ssid("home net"), "");
    EXPECT_EQ(Check_ssid("\xE5\xAE\xB6"), ""); // UTF-8 is fine in an SSID
    EXPECT_NE(Check_ssid(""), "");
    EXPECT_NE(Check_ssid(std::string(33, 'a')), "");
    EXPECT_NE(Check_ssid("a\"b"), "");
    EXPECT_NE(Check_ssid("a\\b"), "");
    EXPECT_NE(Check_ssid("a\x1b"), "");
    EXPECT_EQ(Check_passkey("12345678"), "");
    EXPECT_EQ(Check_passkey(std::string(63, 'x')), "");
    EXPECT_NE(Check_passkey("1234567"), "");
    EXPECT_NE(Check_passkey(std::string(64, 'x')), "");
    EXPECT_NE(Check_passkey("pass\"word"), "");
    EXPECT_NE(Check_passkey("pass\x7fword"), "");
}

TEST(Checks, ReadsBack)
{
    EXPECT_EQ(Check_readsBack("url=rtmp://a/b\n", Key::Url, "rtmp://a/b", kAllKeys, true), "");
    // A URL's line is taken whole: nothing in it reads as another key or as "end".
    EXPECT_EQ(Check_readsBack("url=rtmp://a/weekend\n", Key::Url, "rtmp://a/weekend", kAllKeys, true), "");
    EXPECT_EQ(Check_readsBack("url='rtmp://a/url=b'\n", Key::Url, "rtmp://a/url=b", kAllKeys, true), "");
    EXPECT_EQ(Check_readsBack("url='rtmp://a/?xssid=b&ip=1'\n", Key::Url, "rtmp://a/?xssid=b&ip=1", kAllKeys, true), "");
    EXPECT_NE(Check_readsBack("url='rtmp://a/'b'\n", Key::Url, "rtmp://a/'b", kAllKeys, true), "");
    // For wpa.conf only its own two keys matter, and "end" is no pattern there.
    EXPECT_EQ(Check_readsBack("ssid=\"weekend clip=1\"\n", Key::Ssid, "\"weekend clip=1\"", kWpaKeys, false), "");
    EXPECT_NE(Check_readsBack("psk=\"abcssid=defgh\"\n", Key::Psk, "\"abcssid=defgh\"", kWpaKeys, false), "");
    EXPECT_NE(Check_readsBack("ssid=\"my psk=1\"\n", Key::Ssid, "\"my psk=1\"", kWpaKeys, false), "");
}

TEST(Mixer, FindsAndReplacesTheCaptureVolume)
{
    std::string state = sourceFile("config/asound.state");
    std::optional<MixerVolume> v = Mixer_find(state);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->value, 60);
    EXPECT_TRUE(v->hasRange);
    EXPECT_EQ(v->lo, 0);
    EXPECT_EQ(v->hi, 119);
    std::string changed = Mixer_replace(state, *v, "105");
    EXPECT_EQ(changed.size(), state.size() + 2);
    EXPECT_NE(changed.find("\t\tvalue.0 105\n\t\tvalue.1 105\n"), std::string::npos);
    std::optional<MixerVolume> again = Mixer_find(changed);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->value, 105);
    // Everything else is untouched.
    EXPECT_EQ(Mixer_replace(changed, *again, "60"), state);
}

TEST(Mixer, RefusesOtherShapes)
{
    EXPECT_FALSE(Mixer_find("").has_value());
    EXPECT_FALSE(Mixer_find(std::string(26, '{') + "\nvalue.0 1\nvalue.1 1\n").has_value());
    std::string s27 = std::string(27, '{') + "\n\tvalue.0 true\n\tvalue.1 true\n";
    EXPECT_FALSE(Mixer_find(s27).has_value());
    std::string ok = std::string(27, '{') + "\n\tvalue.0 5\n\tx\n\tvalue.1 6\n";
    std::optional<MixerVolume> v = Mixer_find(ok);
    ASSERT_TRUE(v.has_value());
    EXPECT_FALSE(v->hasRange);
    EXPECT_EQ(Mixer_replace(ok, *v, "7"), std::string(27, '{') + "\n\tvalue.0 7\n\tx\n\tvalue.1 7\n");
}

TEST(Subtitle, FullWidthAsciiAndGb2312)
{
    std::string gb;
    int detail = 0;
    int err = 0;
    ASSERT_EQ(Subtitle_encode("A B", gb, detail, err), SubtitleStatus::Ok);
    EXPECT_EQ(gb, "\xA3\xC1\xA3\xA0\xA3\xC2");
    // 中文 in GB2312 is D6 D0 CE C4.
    ASSERT_EQ(Subtitle_encode("\xE4\xB8\xAD\xE6\x96\x87" "1", gb, detail, err), SubtitleStatus::Ok);
    EXPECT_EQ(gb, "\xD6\xD0\xCE\xC4\xA3\xB1");
    // An emoji has no GB2312 form, and a broken UTF-8 sequence is no text: nothing is produced.
    EXPECT_EQ(Subtitle_encode("\xF0\x9F\x98\x80", gb, detail, err), SubtitleStatus::BadText);
    EXPECT_EQ(detail, -1);
    EXPECT_EQ(Subtitle_encode("a\xE4\xB8", gb, detail, err), SubtitleStatus::BadText);
}

TEST(Subtitle, DecodeForDisplay)
{
    // Full-width letters come back as their full-width Unicode forms; the blank, which GB2312 has no
    // full-width code for here, as a blank.
    EXPECT_EQ(Subtitle_decode("\xA3\xC1\xA3\xA0\xD6\xD0"), "\xEF\xBC\xA1 \xE4\xB8\xAD");
    EXPECT_EQ(Subtitle_decode("\xD6"), "?");
}

TEST(Subtitle, RecordParseAndFormat)
{
    SubtitleRecord r = Subtitle_parse("1 32 48 \xD6\xD0\xCE\xC4");
    EXPECT_EQ(r.enable, 1);
    EXPECT_EQ(r.x, 32);
    EXPECT_EQ(r.y, 48);
    EXPECT_EQ(r.text, "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(Subtitle_format(r), "1 32 48 \xD6\xD0\xCE\xC4");
    // Like "%d %d %d %s": the fields before the first missing one are kept.
    SubtitleRecord partial = Subtitle_parse("1 2");
    EXPECT_EQ(partial.enable, 1);
    EXPECT_EQ(partial.x, 2);
    EXPECT_EQ(partial.y, 0);
    EXPECT_EQ(partial.text, "");
}

TEST(WifiAddress, TakesTheAddressAfterTheInterface)
{
    EXPECT_EQ(Wifi_parseAddress("ifconfig wlan0 10.1.2.3\n", "d"), "10.1.2.3");
    EXPECT_EQ(Wifi_parseAddress("ifconfig wlan0 10.1.2.3", "d"), "10.1.2.3");
    EXPECT_EQ(Wifi_parseAddress("ifconfig wlan0 12345678901234567890\n", "d"), "d");
    EXPECT_EQ(Wifi_parseAddress("nothing here\n", "d"), "d");
    // The address must end inside the first 60 bytes.
    std::string far = std::string(50, ' ') + "wlan0 10.1.2.3\n";
    EXPECT_EQ(Wifi_parseAddress(far, "d"), "d");
    EXPECT_EQ(Wifi_networkText("\"a\"", "\"b\""), "network={\nssid=\"a\"\npsk=\"b\"\nkey_mgmt=WPA-PSK\nproto=WPA WPA2\n}");
}

} // namespace
