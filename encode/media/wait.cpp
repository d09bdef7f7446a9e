// A stop's word is a futex: the raise stores it and wakes the waiters in one system call each, which a
// signal handler may make, and a wait sleeps on the word itself, so that a raise between the look at
// the word and the sleep is not missed (the kernel compares the word before it sleeps).
#include "encode/media/wait.h"

#include "encode/core/shared_status.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

// How often a wait without a stop looks at the quit flag.
constexpr int64_t kQuitSliceNs = 100000000LL;

bool stopped(const MediaStop *stop)
{
    return stop != nullptr ? MediaStop_raised(stop) : SharedStatus_getQuit() != 0;
}

// Sleeps up to `ns` unless the word moves off `seen` (or a signal comes).
void sleepOn(const MediaStop *stop, int64_t ns)
{
    timespec t{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    if (stop == nullptr) {
        clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
        return;
    }
    // The futex's word is the atomic's own storage: a lock-free 32-bit atomic is the plain word.
    static_assert(sizeof(stop->word) == sizeof(uint32_t), "the stop's word is a futex");
    ::syscall(SYS_futex, reinterpret_cast<const uint32_t *>(&stop->word), FUTEX_WAIT_PRIVATE, 0u, &t, nullptr, 0);
}

} // namespace

void MediaStop_raise(MediaStop *stop)
{
    stop->word.store(1, std::memory_order_release);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t *>(&stop->word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

bool MediaStop_raised(const MediaStop *stop)
{
    return stop->word.load(std::memory_order_acquire) != 0;
}

void MediaStop_reset(MediaStop *stop)
{
    stop->word.store(0, std::memory_order_release);
}

int64_t Media_monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool Media_waitUntil(const MediaStop *stop, int64_t deadlineNs)
{
    for (;;) {
        if (stopped(stop)) {
            return false;
        }
        int64_t left = deadlineNs - Media_monotonicNs();
        if (left <= 0) {
            return true;
        }
        sleepOn(stop, stop == nullptr && left > kQuitSliceNs ? kQuitSliceNs : left);
    }
}

bool Media_waitMs(const MediaStop *stop, int64_t ms)
{
    return Media_waitUntil(stop, Media_monotonicNs() + ms * 1000000LL);
}
