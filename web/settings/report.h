// What the settings CGI prints about the current settings: the settings report, the format report
// and the fixed lists behind them (capture formats, video inputs, H.264 levels).
#pragma once

#include <string>
#include <string_view>

#include "web/settings/key_scan.h"

// /mnt/format.ini: capture mode (1 = fixed format, otherwise detect) and format index.
struct FormatSetting {
    bool present = false;
    int mode = 0;
    int index = 0;
};
FormatSetting Report_readFormat();

// The text of a format index ("VGA,640x480,60HZ"), or nullptr for an index that does not exist.
const char *Report_formatName(int index);

// "Set format: TEXT\n\n" (fixed mode) or "Format: TEXT\n\n", or "Set out of range, Please set it again".
std::string Report_formatText(int mode, int index);

// The line of a video input 0..4 (with its line end), or "" for another digit.
std::string Report_inputLine(int input);

// "H264 encode standard: Level X.Y\n" for a stored level value, "" for one not in the list.
std::string Report_levelLine(int level);

// The format report (a line end, the input, mode and format lines), or
// "error open color config file\r" without /mnt/format.ini.
void Report_format(bool ra202);

// The whole settings report from the start script's values `s`. With a pending assignment the Wi-Fi
// lines are the output of the two Wi-Fi rewrites run with it.
void Report_settings(const KeyState &s, bool ra202, std::string_view pending);

// The analog input volume the mixer state file holds; false when there is none.
bool Report_readVolume(int &volume);
