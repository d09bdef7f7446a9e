// Owns the second stream's settings of the run. Written by the main thread before the stages start
// (and once by the capture thread, before rvStandard, to switch a picture the resizer refuses off);
// copied out under a mutex by every reader.
#include "encode/core/second_stream.h"

#include "encode/core/config_store.h"

#include <cstdio>
#include <mutex>

namespace {
using ScopedLock = std::lock_guard<std::mutex>;

std::mutex settingsMutex;
SecondStreamSettings settings{};
} // namespace

SecondStreamSettings SecondStream_read()
{
    SecondStreamSettings s;
    int fields[7] = {s.enabled, s.width, s.height, s.bitrate, s.framerate, s.intraInterval, s.idrInterval};
    // A missing file keeps every default (the appliance's factory copy restores it).
    Config_readRecord("/mnt/kavex_rs.ini", fields, kRecordLimitSecondStream);
    s.enabled = fields[0];
    s.width = fields[1];
    s.height = fields[2];
    s.bitrate = fields[3];
    s.framerate = fields[4];
    s.intraInterval = fields[5];
    s.idrInterval = fields[6];
    std::printf("fml=%d %d %d %d %d %d %d \n", fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                fields[6]);
    if (s.enabled == 1) {
        int rsc[2] = {0, 0};
        Config_readRecord("/mnt/kavex_rsc.ini", rsc, kRecordLimitSecondStream);
        s.tsCarriesSecond = rsc[0];
        s.rtspCarriesSecond = rsc[1];
    }
    SecondStream_set(s);
    return s;
}

SecondStreamSettings SecondStream_get()
{
    ScopedLock lock(settingsMutex);
    return settings;
}

void SecondStream_set(const SecondStreamSettings &value)
{
    ScopedLock lock(settingsMutex);
    settings = value;
}

void SecondStream_disable()
{
    ScopedLock lock(settingsMutex);
    settings.enabled = 0;
}

void SecondStream_reset()
{
    SecondStream_set(SecondStreamSettings{});
}
