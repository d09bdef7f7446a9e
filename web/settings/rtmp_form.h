// The RTMP URL fields of the settings page: destination 1 (`url=` of the start script) and
// destinations 2 to 4 (the lines of /mnt/rtmpx.ini). The page shows each URL with its stream key
// hidden as "/…"; such a field sent back keeps the stored key (Secret_postedUrl). Answers show the URL
// the same way, never the key.
#pragma once

#include <string>

// Button rtmpurl_submit with field rtmpurl: the checks, then the confirmation or the refusal line.
// Returns the start script's assignment line to write ("url=...\n"), "" when there is none.
std::string RtmpForm_url();

// Set (`rtmpxN_submit` with `rtmpxN`) or remove (`rtmpxN_remove`) destination N, for N = 2 to 4.
void RtmpForm_extraDestinations();
