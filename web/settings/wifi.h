// The Wi-Fi files: /mnt/wifi/wpa.conf (SSID and passphrase, read by the Wi-Fi start-up) and
// /mnt/wifi/wifi_ip.conf (the interface address, run as shell at boot). Each rewrite loads the current
// values, applies one pending assignment line, prints both (the passphrase only as Secret_shown says)
// and stores the file again.
#pragma once

#include <string>
#include <string_view>

#include "web/settings/key_scan.h"

inline constexpr char kWpaConf[] = "/mnt/wifi/wpa.conf";
inline constexpr char kWifiIpConf[] = "/mnt/wifi/wifi_ip.conf";

// The network block with the two values as stored (in their double quotes).
std::string Wifi_networkText(std::string_view ssid, std::string_view psk);

// "ifconfig wlan0 %s\n".
std::string Wifi_addressText(std::string_view address);

// The address in the first 60 bytes of wifi_ip.conf: after the interface name's tail ("an", any
// character, a blank), up to the line end, at most 19 characters; `fallback` when there is none.
std::string Wifi_parseAddress(std::string_view text, std::string_view fallback);

// SSID and passphrase of wpa.conf into `state`; false when the file cannot be opened.
bool Wifi_readNetwork(KeyState &state);
// The address of wifi_ip.conf; false when the file cannot be opened.
bool Wifi_readAddress(std::string &address);

// The rewrites with their printed lines ("current:", "modify:", "set ok" or "Can't open file"); the
// passphrase is printed as "psk set (…tail)", "psk set" or "psk not set".
void Wifi_networkRewrite(std::string_view pending);
void Wifi_addressRewrite(std::string_view pending);
