// The RTMP destinations of the configuration store. Destination 1 is `url=` of the start script (the
// publisher reads it itself); destinations 2 to 4 are the lines of /mnt/rtmpx.ini, line 1 being
// destination 2. A line holds one URL in the form the start script holds `url=` (bare, or in single
// quotes when the shell would act on it), or nothing: an empty line keeps the numbers of the lines
// after it, so removing destination 2 does not turn destination 3 into 2. A missing or empty file means
// no destination beyond the first. The settings CGI writes the file, `encode` reads it once at start.
#pragma once

#include "encode/core/config_store.h"

#include <string>
#include <string_view>

inline constexpr int kRtmpDestinations = 4;
inline constexpr int kRtmpExtraDestinations = kRtmpDestinations - 1;
inline constexpr size_t kRtmpUrlStoredMax = 255; // the longest URL in its stored form
inline constexpr char kRtmpExtraFile[] = "/mnt/rtmpx.ini";

// How a URL is stored: bare when it has only characters the shell takes literally (so the stored
// scripts of earlier versions read the same), otherwise in single quotes, so that nothing in it runs
// or expands when the start script runs at boot. The URL must hold no single quote.
std::string RtmpUrl_stored(std::string_view url);

// The URL a stored value stands for: the value without its single quotes.
std::string_view RtmpUrl_unstored(std::string_view stored);

// Empty for a URL that may be stored and published to, else the one line saying why not: "rtmp://" or
// "rtmps://", then printable ASCII without blank, quote or backslash, at most kRtmpUrlStoredMax
// characters as stored.
std::string RtmpUrl_check(std::string_view url);

// What a status or a log may show of a URL: scheme, host, port and application, but never the stream
// name, which ingest services use as the secret key, nor a query string or a user part. The stream
// name, when there is one, is shown as "/…".
std::string RtmpUrl_public(std::string_view url);

struct RtmpExtraLine {
    std::string url;     // the URL, quotes taken off; empty: no destination at this number
    std::string problem; // why the line's text is no usable URL (url is then empty); empty when it is
};

struct RtmpExtraDestinations {
    FileState state = FileState::Missing;
    RtmpExtraLine line[kRtmpExtraDestinations]; // destinations 2 to 4
    int ignoredLines = 0; // lines with text past the last destination, which are left out
};

// Reads /mnt/rtmpx.ini.
RtmpExtraDestinations RtmpDestinations_readExtra();

// The parsing itself, on a file already in memory (`cut`: the text is the head of a longer file).
RtmpExtraDestinations RtmpDestinations_parseExtra(std::string_view text, bool cut);

// The file text for URLs of destinations 2 to 4 (empty: none): one stored URL a line, empty lines only
// where a later destination needs its number kept.
std::string RtmpDestinations_formatExtra(const std::string (&urls)[kRtmpExtraDestinations]);
