// The start script /mnt/autorun.sh: a variable block that the settings CGI regenerates, followed by
// the script body (from the first "end" in the first 300 bytes), which it keeps byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "web/settings/key_scan.h"

inline constexpr char kStartScript[] = "/mnt/autorun.sh";
inline constexpr size_t kScriptLimit = 2000; // the whole script
inline constexpr size_t kBlockWindow = 300;  // the variable block and the "end" lie inside it

// The variable block, in its fixed order, for the values of `s`.
std::string StartScript_block(const KeyState &s);

// The empty string when `text` (a new script whose block is `blockLength` bytes) is safe to store:
// at least 300 bytes long, and reading its first 300 bytes gives back exactly the values of `s`, no
// colour assignment and the body where it was put. Otherwise the line that says why not.
std::string StartScript_verify(std::string_view text, size_t blockLength, const KeyState &s);

// The rewrite: loads the script, prints the settings report and, when `pending` holds an assignment,
// applies it (the colour keys to /mnt/color.ini), stores the new script after saving the old one in
// /mnt/autorun.sh.swp and sets `pending` to "ok". Prints "Can't open file autorun.sh" without the
// script.
void StartScript_rewrite(std::string &pending, bool ra202);
