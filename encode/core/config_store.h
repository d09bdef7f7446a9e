// Readers and writers of the configuration store: the small files under /mnt (and a few under /tmp)
// that the web programs write and the encoder reads at start. Every Part that reads a setting goes
// through these functions instead of parsing on its own. Paths are given as the system paths
// ("/mnt/ts.ini"); they are resolved under ENCODE_ROOT here.
//
// No reader ever reads past its own fixed buffer: an oversize or garbage file gives the documented
// default, never undefined input.
#pragma once

#include <span>
#include <string>
#include <string_view>

// --- Flag files: only the first byte counts. ---

enum class FileState { Missing, Empty, Read };

struct FlagRead {
    FileState state = FileState::Missing;
    unsigned char first = 0; // the first byte, when state is Read

    bool on() const { return state == FileState::Read && first == '1'; }
    // What the encoder prints as "xxx.ini read=%d": the first character minus '0'.
    int digit() const { return static_cast<int>(first) - '0'; }
};

// Opens for reading, reads one byte, closes.
FlagRead Config_readFlag(std::string_view path);

// --- Digit-position numbers: up to three leading bytes assembled digit by digit. ---

struct DigitRead {
    FileState state = FileState::Missing;
    unsigned char bytes[3] = {0, 0, 0};
    int count = 0;  // bytes actually read (0..positions)
    int digits = 0; // length of the run of decimal digits at the start
    int value = 0;  // the number formed by that run (0 when the first byte is no digit)
};

// Reads at most `positions` (1..3) bytes.
DigitRead Config_readDigits(std::string_view path, int positions);

// The per-file rules, each with its console message on a missing or empty file.

// /mnt/ttl.ini: up to three digits; prints "ttl.ini read=%d\n", or "no ttl.ini, so use default" and 0.
int Config_readTtl();

// /mnt/kavex_maxdelay.ini: maximum delay in milliseconds: one digit 1..9 or two digits give n x 100;
// anything else (or no file) gives 1000.
int Config_readMaxDelayMs();

// /mnt/kavex_maxdelay.ini again, as the capture buffer count: 2 when it holds a single digit 1..5
// (the second byte is no digit), else 3.
int Config_readBufferCount();

// /mnt/kavex_encLevel.ini: "0" gives 0, a first '9' gives 9, two digits their number, a non-digit
// second byte 0; a result below 1 is level 40. Values above 51 are returned for the caller to refuse.
int Config_readEncLevel();

// /mnt/time.ini: 10 x first + second when the second byte is a digit, else the first digit (a non-digit
// first byte gives 0). Missing or empty: "no time.ini" and `keep` is returned.
int Config_readAudioDelay(int keep);

// --- Shared by the writers. ---

// True when the file exists.
bool Config_exists(std::string_view path);

// The writers' closing "sync" pair, so that the flash copy is complete before a possible reboot.
void Config_syncTwice();

// A typed number: an optional sign (only when allowSign), then 1 to maxDigits (at most 18) decimal
// digits and nothing else. Anything else is refused, never read as 0.
bool Config_parseDecimal(std::string_view text, bool allowSign, int maxDigits, long long &value);

// --- Whitespace-separated records of "%d" fields. ---

// The byte limits the readers use.
inline constexpr int kRecordLimitSecondStream = 80; // kavex_rs.ini, kavex_rsc.ini and the other records
inline constexpr int kRecordLimitMask = 100;        // m.ini
inline constexpr int kRecordLimitColor = 24;        // color.ini
inline constexpr int kRecordLimitFormat = 5;        // format.ini

// What the store's readers and writers give back besides a count: 0 for success, a named negative
// code for each failure.
enum ConfigStatus : int {
    Config_EOK = 0,
    Config_ENOFILE = -1, // the file cannot be opened (read: missing; write: not creatable)
    Config_EWRITE = -2,  // it opened, but not all of it could be written
};

// Reads at most `byteLimit` bytes and parses "%d" fields into `fields` in order (leading whitespace
// skipped, stopping at the first field that is no number). Fields not supplied keep their values.
// Returns the number of fields parsed, or Config_ENOFILE when the file cannot be opened.
int Config_readRecord(std::string_view path, std::span<int> fields, int byteLimit);

// The record's text (at most byteLimit bytes); false when the file cannot be opened.
bool Config_readText(std::string_view path, std::string &text, int byteLimit);

// Truncates and writes the fields joined by single spaces (no line end), then runs "sync".
// Config_EOK, Config_ENOFILE when the file cannot be opened for writing (the old file is then left
// alone), or Config_EWRITE.
int Config_writeRecord(std::string_view path, std::span<const int> fields);

// Writes `text` as the whole file (truncating), then runs "sync". Config_EOK, Config_ENOFILE or
// Config_EWRITE.
int Config_writeText(std::string_view path, std::string_view text);

// Reads the record (at most byteLimit bytes), puts `text` in place of space-separated field
// `fieldNumber` (from 1; missing fields before it are written as "0") and writes it back.
// Config_EOK, Config_ENOFILE when the file cannot be read, or what the write gives.
int Config_replaceField(std::string_view path, int fieldNumber, std::string_view text, int byteLimit);

// The field-replacement itself, on a record already in memory.
std::string Config_replaceFieldText(std::string_view record, int fieldNumber, std::string_view text);
