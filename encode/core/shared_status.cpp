// Owns the SharedStatus block (all threads read it) and the process's signal dispositions. A signal
// handler may not take a mutex, so signals raise a lock-free word that get-quit folds in.
#include "encode/core/shared_status.h"

#include <atomic>
#include <csignal>
#include <mutex>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

std::mutex statusMutex;
SharedStatus status{};
std::atomic<int> signalQuit{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onQuitSignal(int)
{
    signalQuit.store(1, std::memory_order_relaxed);
}

} // namespace

void SharedStatus_setQuit()
{
    ScopedLock lock(statusMutex);
    status.quit = 1;
}

int SharedStatus_getQuit()
{
    ScopedLock lock(statusMutex);
    if (signalQuit.load(std::memory_order_relaxed) != 0) {
        status.quit = 1;
    }
    return status.quit;
}

void SharedStatus_setSamplingRate(int rate)
{
    ScopedLock lock(statusMutex);
    status.samplingRate = rate;
}

int SharedStatus_getSamplingRate()
{
    ScopedLock lock(statusMutex);
    return status.samplingRate;
}

void SharedStatus_addSoundBytes(int64_t n)
{
    ScopedLock lock(statusMutex);
    status.soundBytes += n;
}

void SharedStatus_addVideoBytes(int64_t n)
{
    ScopedLock lock(statusMutex);
    status.videoBytes += n;
}

void SharedStatus_incFrameCount()
{
    ScopedLock lock(statusMutex);
    status.frameCount++;
}

void SharedStatus_setImageSize(int width, int height)
{
    ScopedLock lock(statusMutex);
    status.imageWidth = width;
    status.imageHeight = height;
}

SharedStatus SharedStatus_snapshot()
{
    ScopedLock lock(statusMutex);
    return status;
}

void SharedStatus_reset()
{
    ScopedLock lock(statusMutex);
    status = SharedStatus{};
    signalQuit.store(0, std::memory_order_relaxed);
}

void Signals_install()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    struct sigaction quit {};
    quit.sa_handler = onQuitSignal;
    sigemptyset(&quit.sa_mask);
    // No SA_RESTART: a blocking call in the main thread returns EINTR and the loop sees quit at once.
    quit.sa_flags = 0;
    sigaction(SIGINT, &quit, nullptr);
    sigaction(SIGTERM, &quit, nullptr);
}
