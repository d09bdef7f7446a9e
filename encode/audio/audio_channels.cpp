// Channel repair and frame delay of the audio threads. Everything here works in place on the one
// captured buffer and allocates nothing.
#include "encode/audio/audio_channels.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kFrameBytes = 4;     // one stereo frame of 16-bit samples
constexpr uint16_t kLarge = 0x6000; // above: a channel that carries sound
constexpr int kGroupFrames = 4;

// A sample read with its first byte as the high byte: how the detection has always looked at them.
uint16_t swapped(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool large(uint16_t v)
{
    return v > kLarge;
}

bool small(uint16_t v)
{
    return v >= 1 && v < kLarge;
}

} // namespace

int Audio_expandMono(uint8_t *buf, int n)
{
    // From the last sample down, so that no sample is overwritten before it is moved.
    for (int k = n / 2 - 1; k >= 0; k--) {
        uint8_t lo = buf[2 * k];
        uint8_t hi = buf[2 * k + 1];
        buf[4 * k] = lo;
        buf[4 * k + 1] = hi;
        buf[4 * k + 2] = lo;
        buf[4 * k + 3] = hi;
    }
    return 2 * n;
}

void Audio_copyRightToLeft(uint8_t *buf, int n)
{
    for (int i = 0; i + kFrameBytes <= n; i += kFrameBytes) {
        buf[i] = buf[i + 2];
        buf[i + 1] = buf[i + 3];
    }
}

void Audio_copyLeftToRight(uint8_t *buf, int n)
{
    for (int i = 0; i + kFrameBytes <= n; i += kFrameBytes) {
        buf[i + 2] = buf[i];
        buf[i + 3] = buf[i + 1];
    }
}

int Audio_detectLayout(const uint8_t *buf, int n)
{
    for (int i = 0; i < n / 8 - kGroupFrames; i += 2) {
        const uint8_t *g = buf + 4 * i;
        uint32_t w0 = 0;
        uint32_t w1 = 0;
        std::memcpy(&w0, g, 4);
        std::memcpy(&w1, g + 4, 4);
        if (w0 == 0 || w1 == 0) {
            continue;
        }
        bool leftLarge = true, rightLarge = true, leftSmall = true, rightSmall = true;
        bool leftZero = true, rightZero = true;
        for (int f = 0; f < kGroupFrames; f++) {
            uint16_t l = swapped(g + f * kFrameBytes);
            uint16_t r = swapped(g + f * kFrameBytes + 2);
            leftLarge = leftLarge && large(l);
            rightLarge = rightLarge && large(r);
            leftSmall = leftSmall && small(l);
            rightSmall = rightSmall && small(r);
            leftZero = leftZero && l == 0;
            rightZero = rightZero && r == 0;
        }
        if (leftLarge && rightSmall) {
            return AudioHdmi_LEFT_TO_RIGHT;
        }
        if (rightLarge && leftSmall) {
            return AudioHdmi_RIGHT_TO_LEFT;
        }
        if (leftZero && rightSmall) {
            return AudioHdmi_RIGHT_TO_LEFT;
        }
        if (rightZero && leftSmall) {
            return AudioHdmi_LEFT_TO_RIGHT;
        }
    }
    return AudioHdmi_UNDECIDED;
}

void ChannelRepair::detect(const uint8_t *buf, int n, int64_t seconds)
{
    if (!detecting_) {
        if (!armed_) {
            armed_ = true;
            start_ = seconds;
        } else if (seconds - start_ > kWaitSeconds) {
            detecting_ = true;
            std::printf("+++enter ha_detect=1\n");
            std::fflush(stdout);
        }
    }
    if (detecting_) {
        int found = Audio_detectLayout(buf, n);
        if (found != AudioHdmi_UNDECIDED) {
            mode_ = found;
        }
    }
}

int ChannelRepair::apply(uint8_t *buf, int n, bool locked, int64_t seconds)
{
    if (!locked) {
        armed_ = false;
        detecting_ = false;
        if (mode_ != AudioHdmi_MONO) {
            mode_ = AudioHdmi_DETECT;
        }
        std::memset(buf, 0, static_cast<size_t>(n));
        return n;
    }
    if (mode_ == AudioHdmi_DETECT) {
        detect(buf, n, seconds);
    }
    switch (mode_) {
    case AudioHdmi_MONO:
        return Audio_expandMono(buf, n);
    case AudioHdmi_RIGHT_TO_LEFT:
        Audio_copyRightToLeft(buf, n);
        return n;
    case AudioHdmi_LEFT_TO_RIGHT:
        Audio_copyLeftToRight(buf, n);
        return n;
    default:
        std::memset(buf, 0, static_cast<size_t>(n));
        return n;
    }
}

FrameTime Audio_delayed(FrameTime t, int delay)
{
    if (delay < 1 || delay > 99) {
        return t;
    }
    uint32_t us = t.microseconds + static_cast<uint32_t>(delay) * 10000;
    if (us > 999999) {
        t.seconds++;
        us -= 1000000;
    }
    t.microseconds = us;
    return t;
}
