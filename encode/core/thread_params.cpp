// Owns the process-wide values of the start-up. The main thread writes them while it starts the
// stages (the USB recorder may already run while the last switch files are read), every stage reads
// them; so the records are copied under one mutex, and the single words are atomics.
#include "encode/core/thread_params.h"

#include <atomic>
#include <mutex>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kDefaultBufferCount = 3;
constexpr int kDefaultFrameRate = 30000;

std::mutex valuesMutex;
OutputSwitches switches{};
SecondStreamSettings secondStream{};

std::atomic<int> bufferCount{kDefaultBufferCount};
std::atomic<int> frameRate{kDefaultFrameRate};
std::atomic<bool> audioPresent{false};
std::atomic<int> noSignal{-1};
std::atomic<Fifo_Handle> fmlFifo{nullptr};

} // namespace

OutputSwitches Process_outputSwitches()
{
    ScopedLock lock(valuesMutex);
    return switches;
}

void Process_setOutputSwitches(const OutputSwitches &value)
{
    ScopedLock lock(valuesMutex);
    switches = value;
}

SecondStreamSettings Process_secondStream()
{
    ScopedLock lock(valuesMutex);
    return secondStream;
}

void Process_setSecondStream(const SecondStreamSettings &value)
{
    ScopedLock lock(valuesMutex);
    secondStream = value;
}

int Process_bufferCount()
{
    return bufferCount.load();
}

void Process_setBufferCount(int count)
{
    bufferCount.store(count);
}

int Process_frameRate()
{
    return frameRate.load();
}

void Process_setFrameRate(int thousandths)
{
    frameRate.store(thousandths);
}

bool Process_audioPresent()
{
    return audioPresent.load();
}

void Process_setAudioPresent(bool present)
{
    audioPresent.store(present);
}

int NoSignal_get()
{
    return noSignal.load();
}

void NoSignal_set(int value)
{
    noSignal.store(value);
}

Fifo_Handle Process_fmlFifo()
{
    return fmlFifo.load();
}

void Process_setFmlFifo(Fifo_Handle hFifo)
{
    fmlFifo.store(hFifo);
}

void Process_reset()
{
    {
        ScopedLock lock(valuesMutex);
        switches = OutputSwitches{};
        secondStream = SecondStreamSettings{};
    }
    bufferCount.store(kDefaultBufferCount);
    frameRate.store(kDefaultFrameRate);
    audioPresent.store(false);
    noSignal.store(-1);
    fmlFifo.store(nullptr);
}
