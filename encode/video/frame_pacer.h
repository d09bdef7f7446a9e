// The video thread's frame pacing: frames leave at the configured rate measured from a reference
// time, so that a capture that delivers early (a faster source, a burst after a stall) does not run
// the encoder and the outputs ahead of the rate the stream announces. Every paced frame gets its time
// (the time of day it left), which goes to the frame time queue.
//
// Used by the video thread only. The clock and the sleep are injectable for tests.
#pragma once

#include <cstdint>

class FramePacer {
public:
    using Clock = int64_t (*)();          // microseconds of the time of day
    using Sleep = void (*)(int64_t us);

    // framerate in thousandths of a frame per second (30000: 33333 us a frame); 0 or less: 30000.
    explicit FramePacer(int framerate, Clock clock = nullptr, Sleep sleep = nullptr);

    // Waits until the frame is due and returns its time (microseconds of the time of day).
    int64_t pace();

    int64_t period() const { return period_; }
    int64_t index() const { return n_; }

    // Frames after which the reference time moves on (so that rounding never accumulates).
    static constexpr int64_t kRebase = 108001;
    // The pacer starts again when it is this many periods late or the clock stepped back.
    static constexpr int64_t kRestartPeriods = 5;

private:
    int64_t period_;
    Clock clock_;
    Sleep sleep_;
    bool started_ = false;
    int64_t r_ = 0; // reference time
    int64_t t_ = 0; // the previous frame's time
    int64_t n_ = 0; // frames since the reference
};

// The time of day in microseconds.
int64_t FramePacer_now();
