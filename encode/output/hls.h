// The HLS output: the box's streams as HLS under the store's tmpfs (dev/shm/hls, which the web server
// serves at /hls/), and pushed to an ingest when a URL is set.
//
// Files: "index.m3u8", the master playlist, lists the main stream's variant ("main.m3u8") and, when
// the second stream runs, the second's ("second.m3u8"), each with its bandwidth (the highest segment
// rate seen, so the master is written again when a segment exceeds it), resolution and codecs read
// off its SPS. It is written once every variant has its first segment. The segments are each
// variant's (hls_variant.h).
//
// Input: the variant of the stream the multiplexer's TS carries is cut from those very packets (the
// output is one of the multiplexer's consumers), so the TS a player gets from HLS is the TS of UDP,
// HTTP and SRT. The other stream, when the second stream runs, has no TS of its own anywhere else:
// this output multiplexes it with the audio in a multiplexer of its own (HlsOut_otherFeed), fed by the
// writer and the audio thread like any output.
//
// Threads: the TS consumer runs under the multiplexer's lock, the other feed under a lock of its own;
// the master is written under a third. report() reads the variants' and the push's figures.
#pragma once

#include "encode/core/hls_settings.h"
#include "encode/output/output.h"
#include "encode/output/tsmux.h"

typedef struct HlsOut_Object *HlsOut_Handle;

struct HlsOut_Attrs {
    HlsSettings settings;
    bool tsCarriesSecond; // the multiplexer's TS carries the second stream instead of the main one
    bool otherVariant;    // the stream it does not carry runs too and gets a variant of its own
    TsMux_Audio audio;
};

// Makes dev/shm/hls (emptying what an earlier run left there) and starts the push when a URL is set.
// Null after its line when the directory cannot be made.
HlsOut_Handle HlsOut_create(const HlsOut_Attrs *attrs);

// The consumer of the multiplexer's packets; the list owns it through this (its stop stops all).
Output *HlsOut_output(HlsOut_Handle h);
// The other variant's feed (null without one): the builder sets what it takes and feeds it; it is
// stopped with the output.
Output *HlsOut_otherFeed(HlsOut_Handle h);
