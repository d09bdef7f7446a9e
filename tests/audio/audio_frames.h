// Reading coded audio the way a player finds its frames: the ADTS header of an AAC frame and the
// header of an MP3 frame, decoded by hand from the standards' bit layouts (not through the encoder
// wrapper), and the stream tag's words read as a client would.
#pragma once

#include <cstddef>
#include <cstdint>

namespace audio_frames {

inline constexpr uint32_t kTagMagic = 0x98754321;
inline constexpr size_t kTagBytes = 16;

inline uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

struct Adts {
    int length = 0;     // the whole frame, header included
    int sampleRate = 0;
    int channels = 0;
    int objectType = 0; // 2 = AAC LC
};

// False when `p` does not start an ADTS frame.
inline bool parseAdts(const uint8_t *p, size_t n, Adts *out)
{
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    if (n < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) {
        return false;
    }
    int rateIndex = (p[2] >> 2) & 0xF;
    if (rateIndex >= 12) {
        return false;
    }
    out->objectType = (p[2] >> 6) + 1;
    out->sampleRate = kRates[rateIndex];
    out->channels = ((p[2] & 1) << 2) | (p[3] >> 6);
    out->length = ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
    return out->length >= 7;
}

struct Mp3 {
    int length = 0; // the whole frame, header included
    int sampleRate = 0;
    int bitRate = 0;
};

// False when `p` does not start an MPEG audio layer III frame.
inline bool parseMp3(const uint8_t *p, size_t n, Mp3 *out)
{
    static const int kRates1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kRates2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int kSampleRates[] = {44100, 48000, 32000};
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0 || ((p[1] >> 1) & 3) != 1) {
        return false;
    }
    int version = (p[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int rateIndex = p[2] >> 4;
    int srIndex = (p[2] >> 2) & 3;
    if (version == 1 || rateIndex == 0 || rateIndex == 15 || srIndex == 3) {
        return false;
    }
    int divisor = version == 3 ? 1 : (version == 2 ? 2 : 4);
    out->sampleRate = kSampleRates[srIndex] / divisor;
    out->bitRate = (version == 3 ? kRates1[rateIndex] : kRates2[rateIndex]) * 1000;
    int padding = (p[2] >> 1) & 1;
    out->length = (version == 3 ? 144 : 72) * out->bitRate / out->sampleRate + padding;
    return true;
}

} // namespace audio_frames
