// The audio meters of the operator's page: peak and RMS level of each channel over the last second,
// in dBFS, measured on the PCM the audio thread encodes. The audio thread adds every frame it reads
// (one pass over the samples, nothing allocated) and publishes a window when a second is full; the
// status thread reads the last published window.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <cstdint>

inline constexpr int AUDIO_LEVELS_CHANNELS = 2;
// What silence reads as: digital zero has no level in dBFS.
inline constexpr double AUDIO_LEVELS_FLOOR_DBFS = -120.0;

class AudioLevels {
public:
    // Interleaved 16-bit samples of `channels` (1 or 2) channels at `sampleRate`.
    void add(const int16_t *samples, int frames, int channels, int sampleRate);
    // [{"peak_dbfs": p, "rms_dbfs": r}, ...] per channel of the last full second; [] before one.
    void report(nlohmann::json &levels) const;

private:
    // The window being filled: the audio thread's only.
    int channels_ = 0;
    int64_t windowFrames_ = 0;
    int peak_[AUDIO_LEVELS_CHANNELS] = {};
    double squares_[AUDIO_LEVELS_CHANNELS] = {};
    // The last full window.
    std::atomic<int> published_{0}; // channels in it; 0 before the first
    std::atomic<double> peakDb_[AUDIO_LEVELS_CHANNELS] = {};
    std::atomic<double> rmsDb_[AUDIO_LEVELS_CHANNELS] = {};
};
