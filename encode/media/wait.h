// The one interruptible wait of the program. Every thread that sleeps (pacing of the virtual devices,
// a pause before a retry, a reconnection's back-off, the recorder's spacing of its writes) sleeps
// here, so that whatever ends the thread also ends the sleep.
//
// A wait ends at its deadline or at its stop, whichever comes first. A stop is a MediaStop: one word
// that its owner raises once (deleting the object, stopping an output) and that wakes every wait on
// it at once; raising it is async-signal-safe. Waiting without a stop (null) waits on the process's
// quit flag instead, which signal handlers raise and this floor cannot be woken by: it is looked at
// every 100 ms, as fast as the control loop sees it.
//
// Nothing here allocates; a wait is one system call per wake-up.
#pragma once

#include <atomic>
#include <cstdint>

struct MediaStop {
    std::atomic<uint32_t> word{0};
};

// Raises the stop and wakes every wait on it. Any thread, and signal handlers.
void MediaStop_raise(MediaStop *stop);
bool MediaStop_raised(const MediaStop *stop);
// Lowered again (an object reused by a test); no wait may be in progress.
void MediaStop_reset(MediaStop *stop);

// The monotonic clock in nanoseconds, the clock every deadline here is on.
int64_t Media_monotonicNs();

// Waits until `deadlineNs` on the monotonic clock. True when the deadline came, false when `stop` was
// raised first (null: the quit flag), also when it was raised before the call.
bool Media_waitUntil(const MediaStop *stop, int64_t deadlineNs);
// The same for `ms` from now (0 or less: only looks at the stop).
bool Media_waitMs(const MediaStop *stop, int64_t ms);
