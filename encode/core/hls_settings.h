// The HLS output's settings, /mnt/hls.ini: key=value lines, one key a line. The encoder reads the file
// once at start; the /hls/ program reads it on every request (so that `public` takes effect at once);
// the settings page writes it whole through HlsSettings_format after checking every value with the same
// parser, so that the page can never store a file the encoder would refuse.
//
// mnt/hls.ini (missing: off):
//   enable    0 or 1
//   segment   target segment duration in whole seconds, 1..10 (1 when not given)
//   segments  media playlist length, 3..30 (6 when not given)
//   public    0 or 1: 1 serves /hls/ without the login (a player page on the LAN)
//   push_url  empty (no push), or the ingest's folder URL: http:// or https://, printable ASCII without
//             blank, quote or backslash, up to 1024; files are PUT at push_url + "/" + file name
#pragma once

#include <string>
#include <string_view>

struct HlsSettings {
    bool enable = false;
    int segmentS = 1;
    int segments = 6;
    bool open = false; // the file's `public`
    std::string pushUrl;
};

inline constexpr int HLS_SETTINGS_FILE_BYTES = 2048; // a longer file is refused, not cut

enum HlsSettingsStatus : int {
    HlsSettings_EOK = 0,
    HlsSettings_EMISSING = -1, // no file: HLS is off
    HlsSettings_EINVAL = -2,   // a bad value, named in the refusal line: HLS is off
};

// Parses the file's text into `out` (defaults for what is not given). HlsSettings_EINVAL with `why` set
// to the one line naming the key and its value (a push URL without its password), without a line end.
int HlsSettings_parse(std::string_view text, HlsSettings &out, std::string &why);

// Checks one value of `key` as the parser does; "" when good, else the refusal without the key
// ("no such key" for a key the file does not have).
std::string HlsSettings_checkValue(std::string_view key, std::string_view value);

// The file's text for `s`, every key on its own line.
std::string HlsSettings_format(const HlsSettings &s);

// Reads /mnt/hls.ini. A missing file is off without a word; a bad one prints its refusal line and is
// off. `out` holds what was read (off unless HlsSettings_EOK).
int HlsSettings_read(HlsSettings &out);

// The push URL as a page or the status may show it: a user:password@ part's password replaced by "***".
std::string HlsSettings_shownUrl(std::string_view url);
