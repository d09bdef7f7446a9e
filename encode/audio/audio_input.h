// The audio thread's reading of the configuration store at its start: which input the sound comes
// from (the 3.5 mm jack or HDMI), how the HDMI channels are handled, the HDMI source's sample rate,
// and the delay added to every frame time. Each audio thread reads them once; a change needs a
// restart.
#pragma once

#include "encode/audio/audio_channels.h"

struct AudioInput {
    bool hdmi = false;             // /mnt/ha.ini starts with '1'
    int mode = AudioHdmi_DETECT;   // /mnt/has.ini, only read with HDMI selected
    int sampleRate = 0;            // the launch's rate, or the HDMI source's from /tmp/ha
};

// Reads /mnt/ha.ini, and with HDMI selected /mnt/has.ini and /tmp/ha, printing the lines the
// appliance always printed. `sampleRate` is the launch's rate, kept unless /tmp/ha names another.
AudioInput AudioInput_read(int sampleRate);

// /mnt/time.ini in tens of milliseconds ("no time.ini" and 0 without it). Only 1..99 take effect.
int AudioInput_readDelay();

// Sample rates /tmp/ha names by digit: '1' 44100, '2' 48000, '3' 32000; 0 for any other byte.
int AudioInput_hdmiRate(unsigned char digit);
