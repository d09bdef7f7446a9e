// The audio meters against signals whose levels are known: a full-scale square wave is 0 dBFS peak
// and RMS, a sine of amplitude A peaks at 20 log10(A / 32768) with its RMS 3 dB below, silence sits
// on the floor, and each channel is measured on its own.
#include "encode/audio/audio_levels.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <vector>

namespace {

constexpr int kRate = 48000;

TEST(AudioLevels, KnownSignalsReadTheirLevels)
{
    struct Case {
        const char *name;
        double left;  // amplitude of a 1 kHz sine (negative: a square wave of that amplitude)
        double right;
        double peakLeft, rmsLeft, peakRight, rmsRight;
    };
    const Case cases[] = {
        {"sine -6 dBFS left, silent right", 16384, 0, -6.0, -9.0, AUDIO_LEVELS_FLOOR_DBFS, AUDIO_LEVELS_FLOOR_DBFS},
        {"full-scale square, quiet sine", -32767, 328, 0.0, 0.0, -40.0, -43.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AudioLevels levels;
        nlohmann::json before;
        levels.report(before);
        EXPECT_TRUE(before.empty()) << "no level before a full second";
        std::vector<int16_t> pcm(2 * 1024);
        for (int frame = 0; frame < kRate + 1024; frame += 1024) {
            for (int i = 0; i < 1024; i++) {
                double phase = 2 * M_PI * 1000 * (frame + i) / kRate;
                auto wave = [&](double a) {
                    return a < 0 ? (std::sin(phase) >= 0 ? -a : a) : a * std::sin(phase);
                };
                pcm[2 * i] = static_cast<int16_t>(std::lround(wave(c.left)));
                pcm[2 * i + 1] = static_cast<int16_t>(std::lround(wave(c.right)));
            }
            levels.add(pcm.data(), 1024, 2, kRate);
        }
        nlohmann::json got;
        levels.report(got);
        ASSERT_EQ(got.size(), 2u) << got.dump();
        EXPECT_NEAR(got[0]["peak_dbfs"].get<double>(), c.peakLeft, 0.2);
        EXPECT_NEAR(got[0]["rms_dbfs"].get<double>(), c.rmsLeft, 0.2);
        EXPECT_NEAR(got[1]["peak_dbfs"].get<double>(), c.peakRight, 0.2);
        EXPECT_NEAR(got[1]["rms_dbfs"].get<double>(), c.rmsRight, 0.2);
    }
}

} // namespace
