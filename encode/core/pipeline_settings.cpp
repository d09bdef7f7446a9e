// Owns the pipeline's settled values: written by the main thread before the stages start, read by
// any thread afterwards.
#include "encode/core/pipeline_settings.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kDefaultBufferCount = 3;
constexpr int kDefaultFrameRate = 30000;

std::atomic<int> bufferCount{kDefaultBufferCount};
std::atomic<int> frameRate{kDefaultFrameRate};
std::atomic<bool> audioPresent{false};
} // namespace

int Pipeline_bufferCount()
{
    return bufferCount.load();
}

void Pipeline_setBufferCount(int count)
{
    bufferCount.store(count);
}

int Pipeline_frameRate()
{
    return frameRate.load();
}

void Pipeline_setFrameRate(int thousandths)
{
    frameRate.store(thousandths);
}

bool Pipeline_audioPresent()
{
    return audioPresent.load();
}

void Pipeline_setAudioPresent(bool present)
{
    audioPresent.store(present);
}

bool Pipeline_paced()
{
    const char *pacing = std::getenv("ENCODE_PACING");
    return pacing == nullptr || std::strcmp(pacing, "off") != 0;
}

void Pipeline_reset()
{
    bufferCount.store(kDefaultBufferCount);
    frameRate.store(kDefaultFrameRate);
    audioPresent.store(false);
}
