// TS recording to USB storage: the fan-out copies every multiplexed frame into one half of a double
// buffer in memory; the recorder thread writes each full half to "/mnt/usb/record/NAME.ts" in
// 32768-byte blocks, 10 ms apart, and starts the file named by /mnt/fn (after running /mnt/fn.sh)
// when the current one reaches its size limit.
//
// Threads: the writer and audio threads feed (through the fan-out, under the output semaphore); the
// recorder thread, started by the main thread and never joined, writes. The full flags are the only
// hand-over: a half belongs to the feed while its flag is clear and to the recorder while it is set,
// so a slow or failing disk never has a half overwritten under it; the feed drops instead.
#pragma once

#include <cstdint>

inline constexpr int RECORDER_HALF_BYTES = 1048576;
inline constexpr int RECORDER_BLOCK_BYTES = 32768;
inline constexpr int64_t RECORDER_FILE_LIMIT_BYTES = 1073741824;

// The recorder thread (arg unused). Registers the feed as the fan-out's recorder sink, opens the file
// named by /mnt/fn and records until the process ends. When that first file cannot be opened it
// prints "error open file tsf_fd =PATH", unregisters the feed (recording is off for the whole process)
// and returns.
void *recorderThrFxn(void *arg);

// The feed, the fan-out's recorder sink: a memory copy that never waits. A feed is copied whole
// (split across the halves when it crosses the end of one) or, when the halves held by the recorder
// leave no room for all of it, dropped whole and counted.
void Recorder_feed(const uint8_t *data, int bytes);

struct RecorderStats {
    uint64_t starts;        // recorder threads that have begun
    bool running;           // the recorder thread is alive
    bool fileOpen;          // it has a file to write to
    uint64_t halvesWritten; // halves handed back to the feed
    uint64_t writtenBytes;  // bytes that reached a file
    uint64_t failedBytes;   // bytes of blocks whose write failed
    uint64_t droppedBytes;  // bytes of feeds that found no room
    uint64_t droppedFeeds;
    uint64_t rotations;     // files started after the size limit
};
RecorderStats Recorder_stats();

// The size at which a file is closed and the next one started (tests set a small one; 0 puts the
// 1 GiB back). Read at every check, so it applies to the file being written.
void Recorder_setFileLimit(int64_t bytes);

// Ends the recorder thread at its next pause (a block being written is finished first; the partly
// filled half is not written) and unregisters the feed. True when it had ended within `timeoutMs`.
// For tests and a shutdown that wants its file closed.
bool Recorder_stop(int timeoutMs);
