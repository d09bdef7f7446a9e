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
// Threads: the writer and audio threads feed (through the fan-out, under the output semaphore); the
// recorder thread, started by the main thread, writes; the main thread stops it after the feeding
// threads have ended. A half belongs to the feed until it is handed over and to the recorder until it
// is on the disk, so a slow or failing disk never has a half overwritten under it: the feed drops
// whole feeds instead, and never waits for the disk.
#pragma once

#include <cstdint>

inline constexpr int RECORDER_HALF_BYTES = 1048576;
inline constexpr int RECORDER_BLOCK_BYTES = 32768;
inline constexpr int64_t RECORDER_FILE_LIMIT_BYTES = 1073741824;
// The longest a half fills before it is handed over to the disk.
inline constexpr int RECORDER_HAND_OVER_MS = 1000;

// The recorder thread (arg unused). Registers the feed as the fan-out's recorder sink, opens the file
// named by /mnt/fn and records until it is stopped. When that first file cannot be opened it prints
// "error open file tsf_fd =PATH", unregisters the feed (recording is off for the whole process, and
// the fan-out no longer wants the multiplexer for it) and returns.
void *recorderThrFxn(void *arg);

// The feed, the fan-out's recorder sink: a memory copy that never waits for the disk. `bytes` is
// whole TS packets. A feed goes whole into the half being filled, or is split at a packet boundary
// across it and the next half; when the halves held by the recorder leave no room for all of it, it
// is dropped whole and counted.
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

// The clean stop, once nothing feeds any more: the feed is unregistered, the recorder writes every
// byte it holds without its pauses, syncs and closes the file and ends. True when it had ended within
// `timeoutMs` (a disk that hangs must not hold up the end of the process); true at once when no
// recorder runs.
bool Recorder_stop(int timeoutMs);
