#include "encode/audio/audio_levels.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double kFullScale = 32768.0;

double dbfs(double amplitude)
{
    return amplitude > 0 ? std::max(AUDIO_LEVELS_FLOOR_DBFS, 20.0 * std::log10(amplitude / kFullScale))
                         : AUDIO_LEVELS_FLOOR_DBFS;
}

} // namespace

void AudioLevels::add(const int16_t *samples, int frames, int channels, int sampleRate)
{
    if (samples == nullptr || frames <= 0 || channels < 1 || channels > AUDIO_LEVELS_CHANNELS) {
        return;
    }
    if (channels != channels_) {
        channels_ = channels;
        windowFrames_ = 0;
        std::fill(std::begin(peak_), std::end(peak_), 0);
        std::fill(std::begin(squares_), std::end(squares_), 0.0);
    }
    for (int i = 0; i < frames; i++) {
        for (int c = 0; c < channels; c++) {
            int v = samples[i * channels + c];
            peak_[c] = std::max(peak_[c], std::abs(v));
            squares_[c] += static_cast<double>(v) * v;
        }
    }
    windowFrames_ += frames;
    if (windowFrames_ < sampleRate) {
        return;
    }
    for (int c = 0; c < channels; c++) {
        peakDb_[c].store(dbfs(peak_[c]), std::memory_order_relaxed);
        rmsDb_[c].store(dbfs(std::sqrt(squares_[c] / static_cast<double>(windowFrames_))), std::memory_order_relaxed);
        peak_[c] = 0;
        squares_[c] = 0;
    }
    published_.store(channels, std::memory_order_release);
    windowFrames_ = 0;
}

void AudioLevels::report(nlohmann::json &levels) const
{
    levels = nlohmann::json::array();
    int channels = published_.load(std::memory_order_acquire);
    for (int c = 0; c < channels; c++) {
        levels.push_back({{"peak_dbfs", std::round(peakDb_[c].load(std::memory_order_relaxed) * 10) / 10},
                          {"rms_dbfs", std::round(rmsDb_[c].load(std::memory_order_relaxed) * 10) / 10}});
    }
}
