// Wi-Fi file rewrites of the settings CGI.
#include "web/settings/wifi.h"

#include "web/settings/secret.h"
#include "web/settings/store.h"

#include <cstdio>

namespace {

constexpr int kWpaLimit = 1024;
constexpr size_t kAddressWindow = 60;

// The passphrase as answers show it: whether one is stored, never the key (stored in its quotes).
std::string shownPsk(std::string_view stored)
{
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
        stored = stored.substr(1, stored.size() - 2);
    }
    return "psk " + Secret_shown(stored);
}

} // namespace

std::string Wifi_networkText(std::string_view ssid, std::string_view psk)
{
    std::string t = "network={\nssid=";
    t += ssid;
    t += "\npsk=";
    t += psk;
    t += "\nkey_mgmt=WPA-PSK\nproto=WPA WPA2\n}";
    return t;
}

std::string Wifi_addressText(std::string_view address)
{
    return "ifconfig wlan0 " + std::string(address) + "\n";
}

std::string Wifi_parseAddress(std::string_view text, std::string_view fallback)
{
    std::string_view head = text.substr(0, kAddressWindow);
    for (size_t i = 0; i + 4 <= head.size(); i++) {
        if (head[i] != 'a' || head[i + 1] != 'n' || head[i + 3] != ' ') {
            continue;
        }
        size_t b = i + 4;
        size_t e = b;
        while (e < head.size() && head[e] != '\r' && head[e] != '\n') {
            e++;
        }
        bool ended = e < head.size() || head.size() == text.size();
        if (ended && e - b <= kAddressMax) {
            return std::string(head.substr(b, e - b));
        }
        return std::string(fallback);
    }
    return std::string(fallback);
}

bool Wifi_readNetwork(KeyState &state)
{
    std::string text;
    if (!Store_read(kWpaConf, text, kWpaLimit)) {
        return false;
    }
    KeyScan_scan(state, text, false);
    return true;
}

bool Wifi_readAddress(std::string &address)
{
    std::string text;
    // More than the window is read only to tell a line cut by the window from the end of the file.
    if (!Store_read(kWifiIpConf, text, kWpaLimit)) {
        return false;
    }
    address = Wifi_parseAddress(text, KeyState().wifiip);
    return true;
}

void Wifi_networkRewrite(std::string_view pending)
{
    KeyState s;
    if (!Wifi_readNetwork(s)) {
        std::printf("Can't open file");
        return;
    }
    std::printf("current:\nssid=%s, %s\n", s.ssid.c_str(), shownPsk(s.psk).c_str());
    KeyScan_scan(s, pending, false);
    std::printf("modify:\nssid=%s, %s\n", s.ssid.c_str(), shownPsk(s.psk).c_str());
    if (!Store_write(kWpaConf, Wifi_networkText(s.ssid, s.psk))) {
        std::printf("Can't open file");
        return;
    }
    std::printf("set ok");
}

void Wifi_addressRewrite(std::string_view pending)
{
    KeyState s;
    if (!Wifi_readAddress(s.wifiip)) {
        std::printf("Can't open file");
        return;
    }
    std::printf("current:\nwifi ip=%s\n", s.wifiip.c_str());
    KeyScan_scan(s, pending, false);
    std::printf("modify:\nwifi ip=%s\n", s.wifiip.c_str());
    if (!Store_write(kWifiIpConf, Wifi_addressText(s.wifiip))) {
        std::printf("Can't open file");
        return;
    }
    std::printf("set ok");
}
