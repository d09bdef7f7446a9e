// Frame pacing against a reference time R: frame n is due at R + n x P. The pacer starts again
// (R = now) when a frame comes more than 5 periods after the previous one, when the clock went back,
// or when it has fallen 5 periods behind its schedule; it moves R on every 108001 frames.
#include "encode/video/frame_pacer.h"

#include "encode/media/wait.h"

#include <sys/time.h>
#include <time.h>

namespace {

// A stop cuts it short: the frame it paces is the last anyway.
void sleepUs(int64_t us)
{
    Media_waitUntil(nullptr, Media_monotonicNs() + us * 1000);
}

} // namespace

int64_t FramePacer_now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

FramePacer::FramePacer(int framerate, Clock clock, Sleep sleep)
    : period_(1000000000LL / (framerate > 0 ? framerate : 30000)), clock_(clock != nullptr ? clock : FramePacer_now),
      sleep_(sleep != nullptr ? sleep : sleepUs)
{
}

int64_t FramePacer::pace()
{
    int64_t now = clock_();
    if (!started_) {
        started_ = true;
        r_ = t_ = now;
        n_ = 1;
        return now;
    }
    // Compared in milliseconds, so that a few microseconds of jitter are no step of the clock.
    bool stepBack = now / 1000 < t_ / 1000 || now / 1000 < r_ / 1000;
    if (now - t_ > kRestartPeriods * period_ || stepBack || now - r_ >= (n_ + kRestartPeriods) * period_) {
        r_ = t_ = now;
        n_ = 1;
        return now;
    }
    if (now - r_ < n_ * period_) {
        sleep_(n_ * period_ - (now - r_));
    }
    now = clock_();
    if (n_ + 1 < kRebase) {
        n_++;
    } else {
        r_ = now;
        n_ = 1;
    }
    t_ = now;
    return now;
}
