// The burnt-in subtitle's record /mnt/zk.ini ("%d %d %d %s": enable, x, y, text) and the conversion
// of a typed UTF-8 text into the GB2312 bytes the overlay draws, with every ASCII character turned
// into its full-width form so that the stored text holds no blank.
#pragma once

#include <string>
#include <string_view>

inline constexpr int kSubtitleRecordLimit = 330;

struct SubtitleRecord {
    int enable = 0;
    int x = 0;
    int y = 0;
    std::string text; // GB2312 bytes
    int fields = 0;   // how many of the four the record held
};

// Parses the record as "%d %d %d %s"; fields that are not there stay 0 or empty.
SubtitleRecord Subtitle_parse(std::string_view record);

std::string Subtitle_format(const SubtitleRecord &r);

enum class SubtitleStatus { Ok, NoConverter, BadText };

// UTF-8 to GB2312 through iconv, then bytes below 0x80 to 0xA3 and the byte plus 0x80. On failure
// `detail` holds what the converter reported: the result of opening it (NoConverter) or of the
// conversion (BadText); `err` the errno.
SubtitleStatus Subtitle_encode(std::string_view utf8, std::string &gb, int &detail, int &err);

// Back from the stored bytes to UTF-8 for display. A full-width form that GB2312 does not define (the
// blank and control characters) is shown as the ASCII character it was made from.
std::string Subtitle_decode(std::string_view gb);
