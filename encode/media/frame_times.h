// The frame time queue: the capture time of every paced frame, appended by the video thread and taken
// by the writer, one per encoded buffer, so that every output stamps a unit with the time its picture
// was paced at rather than the time the writer got to it.
//
// One producer (video thread), one consumer (writer), no lock: a ring of 18 slots holding at most 17
// times. When the writer falls behind by more than 17, the oldest times are the ones that go (the
// writer then stamps with the newest 17). Each slot is one atomic word carrying the time and the
// number of the entry it holds, so that the writer can tell a slot the video thread overwrote while it
// was being read and look again.
#pragma once

#include <atomic>
#include <cstdint>

struct FrameTime {
    uint32_t seconds;      // time of day, low 32 bits (what the outputs carry)
    uint32_t microseconds; // 0..999999
};

class FrameTimeQueue {
public:
    static constexpr int kSlots = 18;
    static constexpr int kMaxHeld = 17;

    // Producer only.
    void push(FrameTime t);
    // Consumer only: the oldest time still held, false when none is.
    bool take(FrameTime *t);
    // How many times the consumer would find now (at most kMaxHeld).
    int held() const;
    // Empty again; only while neither side runs.
    void reset();

private:
    std::atomic<uint64_t> slots_[kSlots]{};
    std::atomic<uint64_t> head_{0}; // entries pushed so far
    uint64_t tail_ = 0;             // entries the consumer is done with (consumer's own)
};

// The process-wide queue between the video thread and the writer.
void FrameTimes_push(FrameTime t);
// The writer's rule: the oldest held time, or the current time of day when none is held.
FrameTime FrameTimes_take();
void FrameTimes_reset();
// The current time of day as a frame time.
FrameTime FrameTime_now();
