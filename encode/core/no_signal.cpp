// Owns the no-signal flag; see the header for its one writer and its readers.
#include "encode/core/no_signal.h"

#include <atomic>

namespace {
std::atomic<int> noSignal{-1};
} // namespace

int NoSignal_get()
{
    return noSignal.load();
}

void NoSignal_set(int value)
{
    noSignal.store(value);
}

void NoSignal_reset()
{
    noSignal.store(-1);
}
