// The SRT output's settings, /mnt/srt.ini: key=value lines, one key a line. The encoder reads the file
// once at start; the settings page writes it whole through SrtSettings_format after checking every
// value with the same parser, so that the page can never store a file the encoder would refuse.
//
//   enable      0 or 1 (missing file: off)
//   mode        caller (the encoder calls `host`) or listener (players call the encoder)
//   host        caller: the IPv4 address to call; listener: the address to bind, empty for all
//   port        1..65535 (empty: none yet, which only an output that is off may have)
//   latency     ms, 20..8000 (120 when not given)
//   passphrase  empty for none, else 10..79 printable characters
//   pbkeylen    AES key length in bytes: 16 (when not given), 24 or 32
//   streamid    up to 512 printable characters; sent by a caller, not used by a listener
#pragma once

#include <string>
#include <string_view>

enum class SrtMode { Caller, Listener };

struct SrtSettings {
    bool enable = false;
    SrtMode mode = SrtMode::Caller;
    std::string host;
    int port = 0;
    int latencyMs = 120;
    std::string passphrase;
    int pbkeylen = 16;
    std::string streamid;
};

inline constexpr int SRT_SETTINGS_FILE_BYTES = 2048; // a longer file is refused, not cut

enum SrtSettingsStatus : int {
    SrtSettings_EOK = 0,
    SrtSettings_EMISSING = -1, // no file: SRT is off
    SrtSettings_EINVAL = -2,   // a bad value, named in the refusal line: SRT is off
};

// Parses the file's text into `out` (defaults for what is not given). SrtSettings_EINVAL with `why` set
// to the one line naming the key and its value (without a line end) on the first bad line.
int SrtSettings_parse(std::string_view text, SrtSettings &out, std::string &why);

// Checks one value of `key` as the parser does; "" when good, else the refusal without the key
// ("no such key" for a key the file does not have).
std::string SrtSettings_checkValue(std::string_view key, std::string_view value);

// The file's text for `s`, every key on its own line.
std::string SrtSettings_format(const SrtSettings &s);

// Reads /mnt/srt.ini. A missing file is off without a word; a bad one prints its refusal line and is
// off. `out` holds what was read (off unless SrtSettings_EOK).
int SrtSettings_read(SrtSettings &out);
