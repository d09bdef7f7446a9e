// Checks of typed values before they reach a file. The start script, wifi_ip.conf and mac.sh are run as
// shell at boot and wpa.conf is parsed by the Wi-Fi start-up, so a value is taken only when it cannot
// run a command, break the file or be read back as another setting. Each check returns the empty
// string for a good value, else the one line explaining the refusal (without the field name).
#pragma once

#include <string>
#include <string_view>

#include "web/settings/key_scan.h"

// Four decimal numbers 0..255 joined by dots, no leading zeros (which some readers take as octal).
std::string Check_ipv4(std::string_view v);

// Decimal digits only, 1 to maxDigits of them.
std::string Check_digits(std::string_view v, size_t maxDigits);

// Digits with a value from lo to hi.
std::string Check_number(std::string_view v, size_t maxDigits, long lo, long hi);

// "rtmp://" or "rtmps://", then printable ASCII without blank, quote or backslash; at most kUrlMax
// characters in the form the start script holds it (KeyScan_storedUrl).
std::string Check_rtmpUrl(std::string_view v);

// An SSID: 1 to 32 bytes, no double quote, backslash or control character.
std::string Check_ssid(std::string_view v);

// A WPA passphrase: 8 to 63 printable ASCII characters, no double quote or backslash.
std::string Check_passkey(std::string_view v);

// The assignment line `line` must read back, on its own, as exactly `key` with the value `expected`
// and hit no other key in `guarded` (keyBit() mask); with noEnd it must not hold "end" either.
std::string Check_readsBack(std::string_view line, Key key, std::string_view expected, uint32_t guarded, bool noEnd);

// The keys of the start script's variable block and the colour keys its rewrite applies.
inline constexpr uint32_t kScriptKeys =
    keyBit(Key::Ip) | keyBit(Key::Netmask) | keyBit(Key::Gateway) | keyBit(Key::Tz) | keyBit(Key::Tc) |
    keyBit(Key::Fi) | keyBit(Key::CtrlEncode) | keyBit(Key::CtrlCodec) | keyBit(Key::Bitrate) |
    keyBit(Key::FrameRate) | keyBit(Key::AudioSample) | keyBit(Key::AudioBps) | keyBit(Key::Width) |
    keyBit(Key::Height) | keyBit(Key::Url) | keyBit(Key::Color);
// Every key the scanner knows.
inline constexpr uint32_t kAllKeys = (1u << static_cast<int>(Key::Count)) - 1;
// The keys read from wpa.conf.
inline constexpr uint32_t kWpaKeys = keyBit(Key::Ssid) | keyBit(Key::Psk);
