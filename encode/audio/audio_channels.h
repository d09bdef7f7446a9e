// The audio thread's handling of one captured buffer before it is encoded: the HDMI channel repair
// (mono expansion, one channel copied over the other, silence, and the detection that finds which
// channel carries the sound), and the frame time with the configured delay.
//
// Samples are 16-bit little-endian, interleaved left/right (4 bytes a stereo frame). Used by one audio
// thread only; each thread keeps its own ChannelRepair.
#pragma once

#include "encode/media/frame_times.h"

#include <cstdint>

// How the HDMI source's channels are turned into the encoded stereo.
enum AudioHdmiMode : int {
    AudioHdmi_MONO = 0,          // the capture is mono: each sample goes to both channels
    AudioHdmi_RIGHT_TO_LEFT = 1, // left := right
    AudioHdmi_LEFT_TO_RIGHT = 2, // right := left
    AudioHdmi_DETECT = 3,        // silence until the layout is found
    AudioHdmi_UNDECIDED = -1,    // what the detection answers when the samples do not say
};

// n bytes of mono samples become 2n bytes of stereo in place (the buffer must hold 2n). Returns 2n.
int Audio_expandMono(uint8_t *buf, int n);
void Audio_copyRightToLeft(uint8_t *buf, int n);
void Audio_copyLeftToRight(uint8_t *buf, int n);

// The layout the buffer's first half shows: AudioHdmi_LEFT_TO_RIGHT when only the left channel
// carries sound, AudioHdmi_RIGHT_TO_LEFT when only the right one does, AudioHdmi_UNDECIDED when no
// group of four frames says so.
int Audio_detectLayout(const uint8_t *buf, int n);

// The HDMI repair of one thread: its mode and the detection's state.
class ChannelRepair {
public:
    explicit ChannelRepair(int mode) : mode_(mode) {}

    // Applies the mode to the buffer's n used bytes (locked: the HDMI path reports lock) and returns
    // the used size afterwards (2n after a mono expansion). `seconds` is the time of day, for the
    // 2-second wait before detecting.
    int apply(uint8_t *buf, int n, bool locked, int64_t seconds);

    int mode() const { return mode_; }
    bool detecting() const { return detecting_; }

    // Seconds the lock must last before the detection looks at the sound.
    static constexpr int64_t kWaitSeconds = 2;

private:
    void detect(const uint8_t *buf, int n, int64_t seconds);

    int mode_;
    bool armed_ = false;
    bool detecting_ = false;
    int64_t start_ = 0;
};

// The frame time plus the delay of time.ini, in tens of milliseconds; only 1..99 count.
FrameTime Audio_delayed(FrameTime t, int delay);
