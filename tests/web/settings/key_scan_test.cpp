// The key scanner on its own: the factory block, values found anywhere, the limits, the "end" stop.
#include "web/settings/key_scan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::string factoryScript()
{
    std::ifstream in(std::string(ENCODE_SOURCE_DIR) + "/config/autorun.sh", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(KeyScan, LoadsTheFactoryBlockAndStopsAtTheBody)
{
    std::string script = factoryScript();
    KeyState s;
    s.ip = s.netmask = s.gateway = s.tz = s.url = "";
    s.tc = s.fi = s.ctrlencode = s.ctrlcodec = s.bitrate = s.framerate = s.audiosample = s.audiobps = s.width =
        s.height = -1;
    std::optional<size_t> end = KeyScan_scan(s, std::string_view(script).substr(0, 300), true);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(script.substr(*end, 3), "end");
    EXPECT_EQ(script[*end - 1], '\n'); // the body starts a line
    EXPECT_EQ(s.ip, "192.168.1.100");
    EXPECT_EQ(s.netmask, "255.255.255.0");
    EXPECT_EQ(s.gateway, "192.168.1.1");
    EXPECT_EQ(s.tz, "192.168.1.200");
    EXPECT_EQ(s.url, "rtmp://192.168.1.200/live/kavex");
    EXPECT_EQ(s.tc, 1234);
    EXPECT_EQ(s.fi, 30);
    EXPECT_EQ(s.ctrlencode, 2);
    EXPECT_EQ(s.ctrlcodec, 2);
    EXPECT_EQ(s.bitrate, 4000000);
    EXPECT_EQ(s.framerate, 30);
    EXPECT_EQ(s.audiosample, 44100);
    EXPECT_EQ(s.audiobps, 96000);
    EXPECT_EQ(s.width, 1280);
    EXPECT_EQ(s.height, 720);
    EXPECT_TRUE(s.colors.empty());
}

// A URL's line is the URL: bare or single-quoted, never scanned for other keys or for "end".
TEST(KeyScan, UrlLineIsTakenWhole)
{
    KeyState s;
    const std::string text = "url='rtmp://h/weekend?ip=1&tz=2&lr=3'\nip=5.5.5.5\nend\n";
    std::optional<size_t> end = KeyScan_scan(s, text, true);
    EXPECT_EQ(s.url, "rtmp://h/weekend?ip=1&tz=2&lr=3");
    EXPECT_EQ(s.ip, "5.5.5.5");
    EXPECT_EQ(s.tz, KeyState().tz);
    EXPECT_TRUE(s.colors.empty());
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(*end, text.size() - 4);
    EXPECT_EQ(KeyScan_findEnd("url=rtmp://backend/x\nend"), std::optional<size_t>(21));

    KeyState bare;
    KeyScan_scan(bare, "url=rtmp://h/live/a\n", false);
    EXPECT_EQ(bare.url, "rtmp://h/live/a");
    // A broken quoting is no value; the line is then scanned like any text.
    KeyState broken;
    KeyScan_scan(broken, "url='rtmp://h/a'b'\nurl='rtmp://h/x\n", false);
    EXPECT_EQ(broken.url, KeyState().url);
    EXPECT_EQ(broken.hits & keyBit(Key::Url), 0u);
    KeyState quotes;
    KeyScan_scan(quotes, "url=''\n", false);
    EXPECT_EQ(quotes.url, "");
}

TEST(KeyScan, FindsKeyTailsAnywhereAndLaterMatchesWin)
{
    KeyState s;
    // "clip=" holds "ip=", "mode=" holds "ode=": the scanner sees keys inside other values.
    KeyScan_scan(s, "ip=1.1.1.1\ngw=rtmp://h/clip=9.9.9.9\n", false);
    EXPECT_EQ(s.ip, "9.9.9.9");
    KeyScan_scan(s, "x?mode=7\n", false);
    EXPECT_EQ(s.ctrlencode, 7);
    // "wifiip=" is both the Wi-Fi address and, by its tail, the wired one.
    KeyScan_scan(s, "wifiip=10.1.1.1\n", false);
    EXPECT_EQ(s.wifiip, "10.1.1.1");
    EXPECT_EQ(s.ip, "10.1.1.1");
    // The wildcard patterns: ctrlcodec, audiosample, audiobps, bitrate, framerate.
    KeyScan_scan(s, "ctrlcodec=1\naudiosample=48000\naudiobps=128000\nbitrate=2000000\nframerate=25\n", false);
    EXPECT_EQ(s.ctrlcodec, 1);
    EXPECT_EQ(s.audiosample, 48000);
    EXPECT_EQ(s.audiobps, 128000);
    EXPECT_EQ(s.bitrate, 2000000);
    EXPECT_EQ(s.framerate, 25);
}

TEST(KeyScan, ValueNeedsALineEndWithinItsLimit)
{
    KeyState s;
    KeyScan_scan(s, "ip=1234567890123456789\n", false); // 19 characters: taken
    EXPECT_EQ(s.ip, "1234567890123456789");
    KeyScan_scan(s, "ip=12345678901234567890\n", false); // 20: kept
    EXPECT_EQ(s.ip, "1234567890123456789");
    KeyScan_scan(s, "tz=1.2.3.4", false); // no line end at all
    EXPECT_EQ(s.tz, "192.168.1.200");
    KeyScan_scan(s, "tc=1234567\r\nfi=12345678\n", false);
    EXPECT_EQ(s.tc, 1234567);
    EXPECT_EQ(s.fi, 30);
    KeyScan_scan(s, "url=\n", false); // an empty value is a value
    EXPECT_EQ(s.url, "");
    EXPECT_EQ(s.hits & keyBit(Key::Url), keyBit(Key::Url));
}

TEST(KeyScan, DigitKeysTakeOneDigitOnly)
{
    KeyState s;
    KeyScan_scan(s, "ctrlencode=1\n", false);
    EXPECT_EQ(s.ctrlencode, 1);
    KeyScan_scan(s, "ctrlencode=x\nctrlcodec=\n", false);
    EXPECT_EQ(s.ctrlencode, 1);
    EXPECT_EQ(s.ctrlcodec, 2);
}

TEST(KeyScan, IntegersSaturateInsteadOfOverflowing)
{
    KeyState s;
    KeyScan_scan(s, "width=99999999999999999\nheight=-99999999999999999\n", false);
    EXPECT_EQ(s.width, 2147483647);
    EXPECT_EQ(s.height, -2147483647 - 1);
    KeyScan_scan(s, "bitrate=abc\n", false);
    EXPECT_EQ(s.bitrate, 0);
}

TEST(KeyScan, ColourKeysAreCollectedWithTheirFields)
{
    KeyState s;
    KeyScan_scan(s, "lr=10\nbb=200\nlg=12345\n", false);
    ASSERT_EQ(s.colors.size(), 2u);
    EXPECT_EQ(s.colors[0].field, 6);
    EXPECT_EQ(s.colors[0].value, 10);
    EXPECT_EQ(s.colors[1].field, 1);
    EXPECT_EQ(s.colors[1].value, 200);
}

TEST(KeyScan, EndStopsOnlyTheStartScriptScan)
{
    KeyState s;
    std::string_view text = "ip=1.1.1.1\nend\ntz=2.2.2.2\n";
    std::optional<size_t> end = KeyScan_scan(s, text, true);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(*end, 11u);
    EXPECT_EQ(s.tz, "192.168.1.200");
    EXPECT_FALSE(KeyScan_scan(s, text, false).has_value());
    EXPECT_EQ(s.tz, "2.2.2.2");
    EXPECT_EQ(KeyScan_findEnd("weekend"), std::optional<size_t>(4));
    EXPECT_FALSE(KeyScan_findEnd("en").has_value());
}

TEST(KeyScan, WpaConfValuesKeepTheirQuotes)
{
    KeyState s;
    KeyScan_scan(s, "network={\nssid=\"home\"\npsk=\"secret12\"\nkey_mgmt=WPA-PSK\nproto=WPA WPA2\n}", false);
    EXPECT_EQ(s.ssid, "\"home\"");
    EXPECT_EQ(s.psk, "\"secret12\"");
    // A 63-character passphrase in its quotes still fits.
    std::string long63(63, 'p');
    KeyScan_scan(s, "psk=\"" + long63 + "\"\n", false);
    EXPECT_EQ(s.psk, "\"" + long63 + "\"");
}

TEST(KeyScan, NeverReadsPastItsBuffer)
{
    // Every prefix of a text full of patterns, each in a buffer of exactly its size, so that the
    // sanitizer build sees any read beyond it.
    const std::string text = "dth=1\nssid=\"a\"\npsk=\"b\"\nwifiip=1\nght=2\nurl=u\nip=i\ntz=t\nask=m\nway=g\n"
                             "ode=1\nctrlcodec=2\nbitrate=3\naudiosample=4\naudiobps=5\nframerate=6\ntc=7\nfi=8\n"
                             "lr=1\nlg=2\nlb=3\nbr=4\nbg=5\nbb=6\nend";
    for (size_t n = 0; n <= text.size(); n++) {
        std::unique_ptr<char[]> buf(new char[n == 0 ? 1 : n]);
        text.copy(buf.get(), n);
        KeyState s;
        KeyScan_scan(s, std::string_view(buf.get(), n), true);
        KeyScan_scan(s, std::string_view(buf.get(), n), false);
    }
    SUCCEED();
}

} // namespace
