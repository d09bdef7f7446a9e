// The status writer: once a second the status document of the running encoder, /tmp/encode.status
// (JSON, written to a temporary name and renamed, so that a reader never sees half a file), and every
// two seconds the preview picture /tmp/encode.jpg (same rule). It runs in a thread of its own and
// only reads what the stages publish (the status board's reporters, the preview's hand-over), so no
// stage ever waits for it. ENCODE_STATUS=off leaves it out (benchmarks compare with and without).
#pragma once

#include <nlohmann/json_fwd.hpp>


// Starts the thread. False when ENCODE_STATUS is "off" or it cannot be started (a warning line;
// nothing else changes).
bool StatusWriter_start();
// Writes a last document and ends the thread (joined). Safe when it never started.
void StatusWriter_stop();

// The rates of one collection against the previous one (`previous` holds the totals seen last and
// is updated): fps from "encoded" frames and kbps from "bytes" of the streams, the audio and every
// output (keyed by its name), over `seconds`. Exposed for its test.
void StatusWriter_addRates(nlohmann::json &doc, nlohmann::json &previous, double seconds);
