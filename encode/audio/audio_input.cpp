// The audio thread's start-up readings of the configuration store. Nothing here is kept: the caller
// owns the result.
#include "encode/audio/audio_input.h"

#include "encode/core/config_store.h"

#include <cstdio>

namespace {

struct RateByDigit {
    unsigned char digit;
    int rate;
};

// What the platform writes into /tmp/ha for the HDMI source's rate.
constexpr RateByDigit kHdmiRates[] = {{'1', 44100}, {'2', 48000}, {'3', 32000}};

void line(const char *text)
{
    std::printf("%s\n", text);
}

// /mnt/has.ini: '0'..'3' is the mode, anything else leaves detection.
int readMode()
{
    FlagRead has = Config_readFlag("/mnt/has.ini");
    if (has.state != FileState::Read) {
        line("no has.ini");
        return AudioHdmi_DETECT;
    }
    if (has.first >= '0' && has.first <= '3') {
        return has.first - '0';
    }
    return AudioHdmi_DETECT;
}

// /tmp/ha, written by the platform. Its missing-file line has always named ha.ini.
int readHdmiRate(int keep)
{
    FlagRead ha = Config_readFlag("/tmp/ha");
    if (ha.state != FileState::Read) {
        line("no ha.ini");
        return keep;
    }
    int rate = AudioInput_hdmiRate(ha.first);
    return rate > 0 ? rate : keep;
}

} // namespace

int AudioInput_hdmiRate(unsigned char digit)
{
    for (const RateByDigit &r : kHdmiRates) {
        if (r.digit == digit) {
            return r.rate;
        }
    }
    return 0;
}

AudioInput AudioInput_read(int sampleRate)
{
    AudioInput in;
    in.sampleRate = sampleRate;
    FlagRead ha = Config_readFlag("/mnt/ha.ini");
    if (ha.state != FileState::Read) {
        line("no ha.ini");
        std::fflush(stdout);
        return in;
    }
    std::printf("ha.ini read=%d\n", ha.digit());
    in.hdmi = ha.on();
    line(in.hdmi ? ">>>>>>>>>>>hdmi audio select" : ">>>>>>>>>>>3.5 audio select");
    if (in.hdmi) {
        in.mode = readMode();
        in.sampleRate = readHdmiRate(sampleRate);
    }
    std::fflush(stdout);
    return in;
}

int AudioInput_readDelay()
{
    int delay = Config_readAudioDelay(0);
    std::fflush(stdout);
    return delay;
}
