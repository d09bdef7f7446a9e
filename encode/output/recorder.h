// TS recording to USB storage: the fan-out copies every multiplexed frame into one half of a double
// buffer in memory; the recorder thread writes each handed-over half to "/mnt/usb/record/NAME.ts" in
// 32768-byte blocks, 10 ms apart, and starts the file named by /mnt/fn (after running /mnt/fn.sh)
// once the current one has reached its size limit.
//
// Nothing the recorder was given is lost at a stop, and little at a power cut: a half is handed over
// when it is full or has been filling for a second, whichever comes first, and is on the disk
// (fdatasync) before it is given back; a stop writes what is held and syncs the file. A half holds
// whole TS packets only, a file ends on a whole packet, and the next file begins with a PAT, so every
// file plays from its first byte.
//
// A recorder is an object: Recorder_create allocates its double buffer and starts its thread, and
// the multiplexer stage it is a consumer of (ts_fanout.h) feeds it; Recorder_delete is the clean stop. Threads: the
// writer and audio threads feed (through the multiplexer stage, under its lock); the recorder thread writes;
// the owner deletes the recorder after the feeding threads have ended. A half belongs to the feed
// until it is handed over and to the recorder until it is on the disk, so a slow or failing disk
// never has a half overwritten under it: the feed drops whole feeds instead, and never waits for the
// disk.
#pragma once

#include "encode/output/output.h"

#include <cstdint>

inline constexpr int RECORDER_HALF_BYTES = 1048576;
inline constexpr int RECORDER_BLOCK_BYTES = 32768;
inline constexpr int64_t RECORDER_FILE_LIMIT_BYTES = 1073741824;
// The longest a half fills before it is handed over to the disk.
inline constexpr int RECORDER_HAND_OVER_MS = 1000;

// How long the end of a run waits for the recorder to put what it holds on the disk (at most two
// halves, well under a second on any stick that still works).
inline constexpr int RECORDER_STOP_MS = 1500;

// Status of Recorder_delete beside the media layer's codes: the recorder thread had not ended within
// the time given (a disk that hangs).
enum { Recorder_ETIMEOUT = -7 };

struct Recorder_Attrs {
    int64_t fileLimit; // the size at which a file is closed and the next one started; 0: 1 GiB
};

typedef struct Recorder_Object *Recorder_Handle;

// Allocates the double buffer and starts the recorder thread, which opens the file named by /mnt/fn
// and records until the recorder is deleted. When that first file cannot be opened it prints "error
// open file tsf_fd =PATH" and stops taking feeds: recording is off for the life of the recorder, and
// the multiplexer no longer runs for it. Null attrs: the defaults. Null when the
// memory or the thread cannot be had.
Recorder_Handle Recorder_create(const Recorder_Attrs *attrs);

// The feed: a memory copy that never waits for the disk. `bytes` is whole TS packets. A feed goes
// whole into the half being filled, or is split at a packet boundary across it and the next half;
// when the halves held by the recorder leave no room for all of it, it is dropped whole and counted.
// One feeding thread at a time (the multiplexer stage's lock); ignored once the recorder takes no feeds.
void Recorder_feed(Recorder_Handle h, const uint8_t *data, int bytes);

// The recorder as a consumer of the multiplexer stage: its ts() is the feed, it wants packets while it
// takes feeds, and its stop() is Recorder_delete within RECORDER_STOP_MS (a warning line when the
// disk did not let it finish).
Output *Recorder_output(Recorder_Handle h);

// True while the recorder takes feeds: it has not given up on its first file and is not stopping.
bool Recorder_accepting(Recorder_Handle h);

struct RecorderStats {
    bool running;           // the recorder thread is alive
    bool fileOpen;          // it has a file to write to
    uint64_t halvesWritten; // halves handed back to the feed
    uint64_t writtenBytes;  // bytes that reached a file
    uint64_t failedBytes;   // bytes of blocks whose write failed
    uint64_t droppedBytes;  // bytes of feeds that found no room
    uint64_t droppedFeeds;
    uint64_t rotations;     // files started after the size limit
};
// Any thread.
RecorderStats Recorder_stats(Recorder_Handle h);

// The clean stop, once nothing feeds any more: the recorder writes every byte it holds without its
// pauses, syncs and closes the file, its thread is joined and the recorder freed. Media_EOK; or
// Recorder_ETIMEOUT when the thread had not ended within `timeoutMs` (a disk that hangs must not hold
// up the end of the process): the thread is then left to finish and free the recorder by itself.
// `last` (may be null) receives the counters as they stood at the end. Null is accepted (Media_EOK).
int Recorder_delete(Recorder_Handle h, int timeoutMs, RecorderStats *last);
