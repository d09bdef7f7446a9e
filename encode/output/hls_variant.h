// One variant of the box's HLS: a transport stream cut into segments at its key frames, each segment a
// file under the HLS directory, and its media playlist beside them.
//
// A segment begins with the unit whose packets begin a key frame (PAT and PMT first: the multiplexer
// puts them before every picture) once the segment before has lasted its target, less half a frame;
// its duration is the time between the two key frames' PTS, so a playlist says what a player will
// play. Key frames that come less often than the target make longer segments: the first such
// segment's line says so.
//
// Files: a segment and then the playlist are each written whole under a temporary name (".name.tmp")
// and renamed, so that the web server never serves half a file. A segment that leaves the playlist is
// removed two segments later, so that a player that read the playlist just before still finds it. A
// write that fails (a full tmpfs) leaves the segment out: the playlist is not changed, one line says
// why, and the next segment written carries a discontinuity and a line that writing goes on. At the
// finish the segment being made is handed on (the push) but not written, every segment file is
// removed and the playlist, its window emptied, ends with EXT-X-ENDLIST: the stream is over and
// nothing of it is left on the tmpfs.
//
// Threads: HlsVariant_ts and HlsVariant_finish from one feeding thread at a time (the caller's lock);
// HlsVariant_stats from any thread.
#pragma once

#include "encode/media/h264_sps.h"

#include <cstdint>
#include <string>

// What a finished segment is handed on with, in front of its TS bytes (the push's unit).
struct HlsSegmentHeader {
    char variant[8];
    uint64_t seq;
    int64_t pdtMs;
    int32_t durationMs;
    int32_t discontinuity; // 1: something is missing before it in the box's own playlist
};

using HlsVariant_Sink = void (*)(void *ctx, const uint8_t *unit, int bytes);

struct HlsVariant_Attrs {
    const char *name;    // "main" or "second"
    std::string dir;     // the HLS directory, made and emptied by the caller
    int targetS;         // 1..10
    int length;          // 3..30 segments in the playlist
    uint64_t firstSeq;   // the first segment's number
    HlsVariant_Sink sink; // null: none
    void *sinkCtx;
};

typedef struct HlsVariant_Object *HlsVariant_Handle;

// Null when out of memory.
HlsVariant_Handle HlsVariant_create(const HlsVariant_Attrs *attrs);
void HlsVariant_destroy(HlsVariant_Handle h);

// One unit's packets (whole 188-byte packets). True when it finished a segment.
bool HlsVariant_ts(HlsVariant_Handle h, const uint8_t *data, int bytes);

// The stop (above). Nothing may feed it afterwards.
void HlsVariant_finish(HlsVariant_Handle h);

struct HlsVariantStats {
    uint64_t segments;  // written
    uint64_t bytes;     // of the segments written
    uint64_t failed;    // segments that could not be written
    int lastDurationMs;
    bool writing;       // false while writes fail
    int peakBps;        // the highest segment rate so far
    int averageBps;
    bool spsKnown;
    H264Sps sps;
};
HlsVariantStats HlsVariant_stats(HlsVariant_Handle h);
// The last failure's line ("" when none).
std::string HlsVariant_error(HlsVariant_Handle h);

// Writes `bytes` to dir/name whole, under ".name.tmp" first and renamed; "" or why not. The master
// playlist is written by it too.
std::string Hls_writeWhole(const std::string &dir, const std::string &name, const uint8_t *data, size_t bytes);
