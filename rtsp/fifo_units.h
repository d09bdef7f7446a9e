// Reading the encoder's hand-off FIFOs: one unit at a time (an H.264 access unit, an ADTS frame or an
// MP3 frame), whatever the encoder is doing. Either program may start first: the reader makes the
// FIFO when it is not there yet, and when the encoder makes it afresh (it removes and re-creates it on
// every start) the reader notices that its node is no longer the one at the path and opens the new
// one. A reader never waits longer than the caller's bound, so its thread always sees the quit flag.
//
// Two layouts, told apart by the data unless the caller fixes one: records of the stream tag and a
// unit (video, AAC), or bare MPEG audio layer III frames (MP3), cut by their frame headers. Bytes that
// fit neither (a writer that died inside a record and left a torn one behind, say) are skipped up to
// the next place where a unit starts.
//
// A handle belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

enum FifoUnits_Layout {
    FifoUnits_DETECT, // decide from the first bytes after every (re)open or writer change
    FifoUnits_TAGGED, // stream tag, then the unit
    FifoUnits_MP3,    // bare MP3 frames
};

struct FifoUnit {
    const uint8_t *data;     // the unit (without tag); valid until the next FifoUnits_next
    uint32_t bytes;
    FifoUnits_Layout layout; // TAGGED or MP3
    int64_t timeUs;          // TAGGED: the tag's time in microseconds; MP3: -1
    int sampleRate;          // MP3: the frame's sampling rate and samples per channel; 0 otherwise
    int samples;
};

// The largest unit accepted; a longer length word means the record boundary was lost.
inline constexpr uint32_t FIFO_UNITS_MAX_BYTES = 8u << 20;

typedef struct FifoUnits_Object *FifoUnits_Handle;

// A reader for `systemPath` (resolved under ENCODE_ROOT). The FIFO is made and opened on the first
// FifoUnits_next. `name` starts every line the reader prints. Null when out of memory.
FifoUnits_Handle FifoUnits_create(const char *systemPath, FifoUnits_Layout layout, const char *name);

// The next whole unit: true with *unit filled, false when none came within `waitMs` milliseconds (or
// the FIFO cannot be opened; its line is printed once).
bool FifoUnits_next(FifoUnits_Handle h, FifoUnit *unit, int waitMs);

// Units read and bytes skipped so far.
uint64_t FifoUnits_count(FifoUnits_Handle h);
uint64_t FifoUnits_skipped(FifoUnits_Handle h);

// The path the reader opens (resolved).
const std::string &FifoUnits_path(FifoUnits_Handle h);

// Null is ignored.
void FifoUnits_delete(FifoUnits_Handle h);

// MP3 frame header at p[0..3]: the frame's bytes (header included), or 0 when it is no layer III
// header this reader takes (free format and reserved values are refused). Rate and samples per
// channel go to the pointers when they are not null.
uint32_t FifoUnits_mp3FrameBytes(const uint8_t *p, int *sampleRate, int *samples);
