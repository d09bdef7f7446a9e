// Sound adapter: the audio input behind one handle. The sound standard of the attributes says which
// kind of device; the one standard is ALSA, and ENCODE_AUDIO_SOURCE says which ALSA device or what
// stands in for it:
//   "alsa" or unset  the board's input: PCM "plughw:0,0", its mixer switches set on card "hw:0";
//   "alsa:NAME"      any other ALSA capture PCM, the board's mixer left alone;
//   "tone"           the virtual device: a sine in every channel, 440 Hz on the left and 660 Hz on the
//                    right, so that swapped channels show;
//   "file:PATH"      the virtual device: raw 16-bit little-endian PCM of the attributes' channel
//                    count, interleaved, played in a loop (PATH as given, not under ENCODE_ROOT).
// The virtual device delivers at the sample rate on the monotonic clock, as a capture device would;
// with ENCODE_PACING=off it delivers at once.
//
// Both kinds read the HDMI audio choice of the configuration store when they are created
// (/mnt/ha.ini, and /mnt/has.ini when HDMI audio is selected) and size their reads by it: with HDMI
// audio selected a read takes a quarter of the buffer's size in sample frames, so that mono capture
// fills half the buffer and leaves room to spread it to stereo; otherwise it fills the buffer.
//
// A handle is used by one thread (the audio thread). A read never blocks past the quit flag of
// SharedStatus: raised while the read waits, the read gives up within about 100 ms.
#pragma once

#include "encode/media/buffer.h"

typedef struct Sound_Object *Sound_Handle;

typedef enum Sound_Std : int {
    Sound_Std_ALSA = 0,
} Sound_Std;

typedef enum Sound_Mode : int {
    Sound_Mode_INPUT = 0, // capture: the only mode of this appliance
} Sound_Mode;

typedef enum Sound_Input : int {
    Sound_Input_MIC = 0,
    Sound_Input_LINE = 1,
} Sound_Input;

typedef struct Sound_Attrs {
    int sampleRate;   // Hz
    int channels;     // 1 or 2
    int leftGain;     // 0..100; capture leaves the input gain as the mixer has it
    int rightGain;
    Sound_Mode mode;
    Sound_Input soundInput; // which analog input the board's mixer switches on
    Sound_Std soundStd;
} Sound_Attrs;

// 44100 Hz, stereo, gains 70, capture from the line input, ALSA.
extern const Sound_Attrs Sound_Attrs_STEREO_DEFAULT;

// Sound_read's answer when the quit flag was raised while it waited: the buffer holds nothing.
enum { Sound_STOPPED = 1 };

// Opens and sets up the device. Null after its messages.
Sound_Handle Sound_create(const Sound_Attrs *attrs);

// Fills the buffer with captured sample frames (interleaved 16-bit little-endian): S/4 frames of the
// buffer's size S when HDMI audio was selected at create, S / (2 x channels) otherwise. The used size
// becomes the bytes read: S/2 for mono HDMI capture, S in the other usual cases. Media_EOK;
// Sound_STOPPED (used size 0) when the quit flag was raised; Media_EINVAL when the buffer holds no
// sample frame; Media_EFAIL when the device fails (used size 0; the next read goes on with the
// stream). A failed read prints nothing: a device that stays broken fails every read, and its reader
// reports a run of failures once, with Sound_failure.
int Sound_read(Sound_Handle hSound, Buffer_Handle hBuf);

// Why the last failed read failed, as a "[Sound] ..." text without a line end; "" before any.
const char *Sound_failure(Sound_Handle hSound);

// Closes the device. Null is accepted. Media_EOK.
int Sound_delete(Sound_Handle hSound);
