// Owns the output switches of the run; see the header for who writes and who reads them.
#include "encode/core/output_switches.h"

#include <mutex>

namespace {
using ScopedLock = std::lock_guard<std::mutex>;

std::mutex switchesMutex;
OutputSwitches switches{};
} // namespace

OutputSwitches OutputSwitches_get()
{
    ScopedLock lock(switchesMutex);
    return switches;
}

void OutputSwitches_set(const OutputSwitches &value)
{
    ScopedLock lock(switchesMutex);
    switches = value;
}

void OutputSwitches_reset()
{
    OutputSwitches_set(OutputSwitches{});
}
