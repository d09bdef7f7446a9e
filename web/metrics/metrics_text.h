// The encoder's status document as Prometheus text (exposition format 0.0.4): what /metrics answers.
// The status document is the one source; a figure it does not hold is left out, never given as 0,
// so that a graph shows a gap where the box said nothing rather than a false value.
//
// Pure functions, no I/O: the program reads the document and the clock, these make the text.
#pragma once

#include <string>
#include <string_view>

inline constexpr char METRICS_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

// A document written longer ago than this is stale: the encoder writes one a second, so five
// seconds leaves room for a loaded box and never takes a dead encoder's last document for live.
inline constexpr double METRICS_STALE_S = 5.0;

// The exposition of the status document `status` (its JSON text) read at wall-clock time `now`
// (seconds since the epoch). When the text is no status object, or its "time" is missing or more than
// METRICS_STALE_S away from `now`, the answer is encoder_up 0 and nothing else.
std::string Metrics_format(std::string_view status, double now);

// encoder_up 0 alone, after a comment line saying why (`why` is one line of plain text): for a
// document that cannot be read at all.
std::string Metrics_down(std::string_view why);
