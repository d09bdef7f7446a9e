// The wired interface's MAC address: /mnt/mac.sh, run as shell at boot, holds the one line
// "ifconfig eth0 hw ether %s\n" that the settings CGI writes after checking the address.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr char kMacScript[] = "/mnt/mac.sh";
inline constexpr size_t kMacLength = 17;

// Six groups of two hexadecimal digits joined by colons.
bool Mac_isValid(std::string_view mac);

std::string Mac_scriptText(std::string_view mac);

// The address of a script this CGI wrote; nullopt for any other text (or an address it would refuse).
std::optional<std::string> Mac_parse(std::string_view script);
