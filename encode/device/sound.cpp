// Sound adapter: checks the attributes, reads the HDMI audio choice, picks the backend and sizes every
// read by the choice. The handle is used by the audio thread alone.
#include "encode/device/sound.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "encode/core/config_store.h"
#include "encode/core/shared_status.h"
#include "encode/media/media.h"
#include "encode/device/sound_device.h"

const Sound_Attrs Sound_Attrs_STEREO_DEFAULT = {
    44100, 2, 70, 70, Sound_Mode_INPUT, Sound_Input_LINE, Sound_Std_ALSA,
};

struct Sound_Object {
    std::unique_ptr<SoundDevice> device;
    int channels = 2;
    bool hdmi = false;
};

namespace {

constexpr char kBoardPcm[] = "plughw:0,0";
constexpr int kHdmiModeMono = 0;
constexpr int kHdmiModeDetect = 3;
constexpr int kMaxSampleRate = 192000;

struct HdmiChoice {
    bool selected = false;
    int mode = kHdmiModeDetect;
};

// The device's own reading of /mnt/ha.ini and /mnt/has.ini.
HdmiChoice readHdmiChoice()
{
    HdmiChoice c;
    FlagRead ha = Config_readFlag("/mnt/ha.ini");
    if (ha.state != FileState::Read) {
        std::printf("no ha.ini\n");
        return c;
    }
    std::printf("ha.ini read=%d\n", ha.digit());
    if (ha.first != '1') {
        std::printf("====3.5 audio select\n");
        return c;
    }
    c.selected = true;
    std::printf("====hdmi audio select\n");
    FlagRead has = Config_readFlag("/mnt/has.ini");
    if (has.state != FileState::Read) {
        std::printf("no has.ini\n");
    } else if (has.first >= '0' && has.first <= '3') {
        c.mode = has.first - '0';
    }
    return c;
}

bool checkAttrs(const Sound_Attrs *attrs)
{
    if (attrs == nullptr) {
        Media_error("[Sound] Must provide attrs\n");
        return false;
    }
    if (attrs->soundStd != Sound_Std_ALSA) {
        Media_error("[Sound] Unknown sound standard (%d)\n", attrs->soundStd);
        return false;
    }
    if (attrs->mode != Sound_Mode_INPUT) {
        Media_error("[Sound] Unsupported sound mode (%d): capture only\n", attrs->mode);
        return false;
    }
    if (attrs->channels != 1 && attrs->channels != 2) {
        Media_error("[Sound] Unsupported number of channels (%d): 1 or 2\n", attrs->channels);
        return false;
    }
    if (attrs->sampleRate <= 0 || attrs->sampleRate > kMaxSampleRate) {
        Media_error("[Sound] Unsupported sample rate (%d)\n", attrs->sampleRate);
        return false;
    }
    if (attrs->soundInput != Sound_Input_MIC && attrs->soundInput != Sound_Input_LINE) {
        Media_error("[Sound] Unknown sound input (%d)\n", attrs->soundInput);
        return false;
    }
    return true;
}

// The backend ENCODE_AUDIO_SOURCE names; null (after a message) for a name it does not know.
std::unique_ptr<SoundDevice> openDevice(const Sound_Attrs &attrs)
{
    const char *env = std::getenv("ENCODE_AUDIO_SOURCE");
    std::string source = env != nullptr ? env : "";
    if (source.empty() || source == "alsa") {
        return SoundAlsa_open(kBoardPcm, true, attrs);
    }
    if (source.rfind("alsa:", 0) == 0 && source.size() > 5) {
        return SoundAlsa_open(source.substr(5), false, attrs);
    }
    if (source == "tone" || source.rfind("file:", 0) == 0) {
        return SoundVirtual_open(source, attrs);
    }
    Media_error("[Sound] Unknown audio source %s (alsa, alsa:PCMNAME, tone or file:PATH)\n", source.c_str());
    return nullptr;
}

} // namespace

Sound_Handle Sound_create(const Sound_Attrs *attrs)
{
    if (!checkAttrs(attrs)) {
        return nullptr;
    }
    std::unique_ptr<Sound_Object> sound(new (std::nothrow) Sound_Object);
    if (sound == nullptr) {
        Media_error("[Sound] Failed to allocate space for Sound Object\n");
        return nullptr;
    }
    HdmiChoice hdmi = readHdmiChoice();
    if (hdmi.selected && (hdmi.mode == kHdmiModeMono) != (attrs->channels == 1)) {
        Media_warning("[Sound] has.ini mode %d does not match capture of %d channel(s); reads follow the channels\n",
                      hdmi.mode, attrs->channels);
    }
    sound->device = openDevice(*attrs);
    if (sound->device == nullptr) {
        return nullptr;
    }
    sound->channels = attrs->channels;
    sound->hdmi = hdmi.selected;
    Media_trace("[Sound] Capturing %d Hz, %d channel(s)%s\n", attrs->sampleRate, attrs->channels,
                hdmi.selected ? ", HDMI audio" : "");
    return sound.release();
}

int Sound_read(Sound_Handle hSound, Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hSound != nullptr);
    MEDIA_ASSERT(hBuf != nullptr);
    Buffer_setNumBytesUsed(hBuf, 0);
    int size = Buffer_getSize(hBuf);
    int frameBytes = 2 * hSound->channels;
    // With HDMI audio a read is one stereo frame's worth of sample frames whatever the channel count:
    // mono capture then leaves the upper half free for the spread to stereo. The used size is what
    // was read, so a has.ini that changed between the audio thread's reading and this device's can
    // never make the thread spread more than the buffer holds.
    int frames = hSound->hdmi ? size / 4 : size / frameBytes;
    if (frames <= 0 || Buffer_getUserPtr(hBuf) == nullptr) {
        Media_error("[Sound] Buffer of %d bytes holds no sample frame\n", size);
        return Media_EINVAL;
    }
    if (SharedStatus_getQuit()) {
        return Sound_STOPPED;
    }
    int r = hSound->device->read(Buffer_getUserPtr(hBuf), frames);
    if (r != Media_EOK) {
        return r;
    }
    Buffer_setNumBytesUsed(hBuf, frames * frameBytes);
    return Media_EOK;
}

const char *Sound_failure(Sound_Handle hSound)
{
    MEDIA_ASSERT(hSound != nullptr);
    return hSound->device->failure();
}

int SoundDevice::failed(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure_, sizeof failure_, format, args);
    va_end(args);
    return Media_EFAIL;
}

int Sound_delete(Sound_Handle hSound)
{
    delete hSound;
    return Media_EOK;
}
