// The key scanner of the start script's variable block, the Wi-Fi files and the one-line assignments
// the settings forms produce. It walks every byte position and tests short tail patterns of the key
// names ("dth=" for width, "ask=" for netmask, ...), so it finds a key wherever it stands, also inside
// another value; that is why the writers check what a new text reads back as before they store it.
// The one exception is the URL: its value (bare, or in single quotes, which are not part of it) is taken
// whole and the scan goes on after its line, so that a query string ("?key=a&x=1") or a word such as
// "weekend" inside a URL is never read as another key or as the start of the script body.
//
// The scanner is pure: it only fills a KeyState. Colour hits are collected for the caller to apply to
// /mnt/color.ini, and the position of "end" (the start of the script body) is returned, never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class Key : int {
    Width,
    Ssid,
    Psk,
    WifiIp,
    Height,
    Url,
    Ip,
    Tz,
    Netmask,
    Gateway,
    CtrlEncode,
    CtrlCodec,
    Bitrate,
    AudioSample,
    AudioBps,
    FrameRate,
    Tc,
    Fi,
    Color, // one of lr, lg, lb, br, bg, bb
    Count,
};

inline constexpr uint32_t keyBit(Key k)
{
    return 1u << static_cast<int>(k);
}

// A colour assignment met by the scanner: field of color.ini (1..6) and its value.
struct ColorHit {
    int field = 0;
    int value = 0;
};

// Every value the scanner knows, starting at the defaults used when a file does not hold a key.
struct KeyState {
    std::string ip = "192.168.1.100";
    std::string netmask = "255.255.255.0";
    std::string gateway = "192.168.1.1";
    std::string tz = "192.168.1.200";
    std::string url = "rtmp://192.168.1.200/live/kavex";
    // The Wi-Fi words are kept as stored, with their double quotes.
    std::string ssid = "\"video\"";
    std::string psk = "\"coder\"";
    std::string wifiip = "192.168.2.100";
    int tc = 1234;
    int fi = 30;
    int ctrlencode = 2;
    int ctrlcodec = 2;
    int bitrate = 4000000;
    int framerate = 30;
    int audiosample = 44100;
    int audiobps = 96000;
    int width = 1280;
    int height = 720;

    std::vector<ColorHit> colors; // in the order met
    uint32_t hits = 0;            // keyBit() of every key whose value was taken
};

// The longest value each text key takes (a longer one, or one without a line end, is not taken).
inline constexpr size_t kUrlMax = 255;
inline constexpr size_t kAddressMax = 19;
// A WPA passphrase is up to 63 characters; with its quotes that is 65.
inline constexpr size_t kWifiWordMax = 65;

// Scans `text` and updates `state`. With stopAtEnd (the start script), the scan stops at the first
// "end" and its offset is returned; otherwise "end" is not a pattern and nullopt is returned.
std::optional<size_t> KeyScan_scan(KeyState &state, std::string_view text, bool stopAtEnd);

// How the start script holds a URL after "url=": bare when it has only characters the shell takes
// literally (so the stored scripts of earlier versions read the same), otherwise in single quotes, so
// that nothing in it runs or expands when the script runs at boot. The URL must hold no single quote.
std::string KeyScan_storedUrl(std::string_view url);

// Offset of the first "end" that the start-script scan would stop at (never one inside a URL), or nullopt.
std::optional<size_t> KeyScan_findEnd(std::string_view text);
