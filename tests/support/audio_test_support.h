// Shared by the sound device and audio encoder tests: owning pointers for the handles, raw PCM files,
// and the frequency of a channel measured by its rising zero crossings.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "encode/core/shared_status.h"
#include "encode/codec/aenc1.h"
#include "encode/media/buffer.h"
#include "encode/codec/engine.h"
#include "encode/device/sound.h"

struct SoundDeleter {
    void operator()(Sound_Object *s) const { Sound_delete(s); }
};
using SoundPtr = std::unique_ptr<Sound_Object, SoundDeleter>;
struct AencDeleter {
    void operator()(Aenc1_Object *a) const { Aenc1_delete(a); }
};
using AencPtr = std::unique_ptr<Aenc1_Object, AencDeleter>;
struct AudioBufDeleter {
    void operator()(Buffer_Object *b) const { Buffer_delete(b); }
};
using AudioBufPtr = std::unique_ptr<Buffer_Object, AudioBufDeleter>;
struct EngineDeleter {
    void operator()(Engine_Object *e) const { Engine_close(e); }
};
using EnginePtr = std::unique_ptr<Engine_Object, EngineDeleter>;

inline AudioBufPtr makeAudioBuffer(int size)
{
    return AudioBufPtr(Buffer_create(size, &Buffer_Attrs_DEFAULT));
}

// Interleaved 16-bit little-endian samples.
inline std::vector<int16_t> samplesOf(const uint8_t *p, size_t bytes)
{
    std::vector<int16_t> s(bytes / 2);
    for (size_t i = 0; i < s.size(); i++) {
        s[i] = static_cast<int16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    }
    return s;
}

inline std::vector<uint8_t> readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

inline void writeSamples(const std::string &path, const std::vector<int16_t> &samples)
{
    std::vector<uint8_t> b;
    for (int16_t v : samples) {
        b.push_back(static_cast<uint8_t>(v & 0xFF));
        b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
    writeBytes(path, b);
}

// Frequency in Hz of channel `channel` of interleaved samples, from its rising zero crossings over
// the frames [first, first + count).
inline double toneFrequency(const std::vector<int16_t> &s, int channels, int channel, int rate, size_t first,
                            size_t count)
{
    size_t frames = s.size() / static_cast<size_t>(channels);
    if (first + count > frames || count < 2) {
        return 0;
    }
    int rising = 0;
    for (size_t i = first + 1; i < first + count; i++) {
        if (s[(i - 1) * channels + channel] < 0 && s[i * channels + channel] >= 0) {
            rising++;
        }
    }
    return static_cast<double>(rising) * rate / static_cast<double>(count);
}

// The environment of a test that uses the sound device: the source, the pacing, the quit flag.
class AudioEnv {
public:
    explicit AudioEnv(const char *source, bool paced = false)
    {
        SharedStatus_reset();
        setenv("ENCODE_AUDIO_SOURCE", source, 1);
        if (paced) {
            unsetenv("ENCODE_PACING");
        } else {
            setenv("ENCODE_PACING", "off", 1);
        }
    }
    ~AudioEnv()
    {
        unsetenv("ENCODE_AUDIO_SOURCE");
        unsetenv("ENCODE_PACING");
        SharedStatus_reset();
    }
    AudioEnv(const AudioEnv &) = delete;
    AudioEnv &operator=(const AudioEnv &) = delete;
};
