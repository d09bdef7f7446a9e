// Owns the second stream's settings of the run. Written by the main thread before the stages start
// (and once by the capture thread, before rvStandard, to switch a picture the resizer refuses off);
// copied out under a mutex by every reader.
//
// The record is judged here, as it is read, so that no stage ever sees a second stream its encoder
// cannot run: a rate the encoder refuses would otherwise fail the encoder's creation and stop the
// main stream with it. The picture size is left to the capture thread, the one stage that knows the
// main picture it must fit.
#include "encode/core/second_stream.h"

#include "encode/core/config_store.h"

#include <climits>
#include <cstdio>
#include <mutex>

namespace {
using ScopedLock = std::lock_guard<std::mutex>;

std::mutex settingsMutex;
SecondStreamSettings settings{};

// The encoder takes the frame rate in thousandths.
constexpr int kMaxFrameRate = INT_MAX / 1000;

struct RateField {
    const char *name;
    int SecondStreamSettings::*value;
    int max;
};
constexpr RateField kRateFields[] = {
    {"bit rate", &SecondStreamSettings::bitrate, INT_MAX},
    {"frame rate", &SecondStreamSettings::framerate, kMaxFrameRate},
};

// A rate the encoder cannot run at (the web page stores 0 for a number it could not read) turns the
// second stream off, one line per such field.
void checkRates(SecondStreamSettings &s)
{
    for (const RateField &f : kRateFields) {
        int v = s.*f.value;
        if (v < 1 || v > f.max) {
            std::fprintf(stderr, "Warning: second stream turned off: %s %d is not 1 to %d\n", f.name, v, f.max);
            s.enabled = 0;
        }
    }
}

// Without an intra interval the first picture would be the stream's only IDR, SPS and PPS: a player
// that joins later never decodes. The default interval stands in.
void checkIntraInterval(SecondStreamSettings &s)
{
    const int fallback = SecondStreamSettings{}.intraInterval;
    if (s.intraInterval < 1) {
        std::fprintf(stderr, "Warning: second stream I-frame interval %d is not 1 or more: %d taken\n",
                     s.intraInterval, fallback);
        s.intraInterval = fallback;
    }
}
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
        checkRates(s);
    }
    if (s.enabled == 1) {
        checkIntraInterval(s);
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
