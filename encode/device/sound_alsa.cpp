// The ALSA capture backend: the board's input ("plughw:0,0" with its mixer switches on "hw:0"), and on
// a PC any ALSA capture PCM.
//
// The PCM is opened non-blocking and the read waits on its poll descriptors in 100 ms steps: a blocked
// read would otherwise hold the audio thread past shutdown when the device stops delivering. A device
// that delivers nothing for two seconds fails the read, so a dead input shows on the console instead
// of a silent stall; the next read tries again.
//
// Used by the audio thread only. The replaceable alsa-lib calls (SoundAlsaOps) are process-wide; tests
// swap them while no device is in use.
#include "encode/device/sound_device.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "encode/core/shared_status.h"
#include "encode/media/media.h"
#include "encode/media/wait.h"

namespace {

constexpr char kBoardCard[] = "hw:0";
constexpr snd_pcm_uframes_t kPeriodFrames = 1024;
constexpr int kWaitMs = 100;
constexpr int64_t kNoDataLimitNs = 2000000000LL;
constexpr int64_t kResumeRetryNs = 1000000000LL;

const SoundAlsaOps kLibraryOps = {
    snd_pcm_readi,
    snd_pcm_wait,
    snd_pcm_prepare,
    snd_pcm_resume,
    snd_pcm_hw_params_get_rate,
    snd_pcm_hw_params_get_buffer_size,
    snd_ctl_open,
    snd_ctl_elem_write,
    snd_ctl_close,
};

std::atomic<const SoundAlsaOps *> currentOps{&kLibraryOps};

const SoundAlsaOps &ops()
{
    return *currentOps.load();
}

// The board codec's input switches; the line input has Line1 on and Mic3 off, the microphone the
// other way round.
struct MixerSwitch {
    const char *name;
    int lineValue;
};
constexpr MixerSwitch kSwitches[] = {
    {"Right PGA Mixer Line1R Switch", 1},
    {"Left PGA Mixer Line1L Switch", 1},
    {"Right PGA Mixer Mic3R Switch", 0},
    {"Left PGA Mixer Mic3L Switch", 0},
};

// alsa-lib prints its own diagnostics on standard error; they repeat ours with less context, so they
// go to the trace.
void alsaLibError(const char *file, int line, const char *function, int err, const char *fmt, ...)
{
    (void)file;
    (void)line;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    Media_trace("[Sound] alsa-lib %s: %s%s%s\n", function != nullptr ? function : "", text, err != 0 ? ": " : "",
                err != 0 ? snd_strerror(err) : "");
}

void quietAlsaLib()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(alsaLibError); });
}

struct PcmClose {
    void operator()(snd_pcm_t *p) const { snd_pcm_close(p); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmClose>;

// One switch through the control interface of the card: a mixer element, integer value at index 0.
bool setSwitch(const char *name, int value)
{
    snd_ctl_t *ctl = nullptr;
    int err = ops().ctlOpen(&ctl, kBoardCard, 0);
    if (err < 0) {
        Media_error("[Sound] Cannot open control device %s (%s)\n", kBoardCard, snd_strerror(err));
        return false;
    }
    snd_ctl_elem_value_t *v = nullptr;
    snd_ctl_elem_value_alloca(&v);
    snd_ctl_elem_value_set_interface(v, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_value_set_name(v, name);
    snd_ctl_elem_value_set_integer(v, 0, value);
    err = ops().ctlElemWrite(ctl, v);
    ops().ctlClose(ctl);
    if (err < 0) {
        Media_error("[Sound] Cannot write %s on %s (%s)\n", name, kBoardCard, snd_strerror(err));
        return false;
    }
    return true;
}

bool configureMixer(Sound_Input input)
{
    for (const MixerSwitch &s : kSwitches) {
        int value = input == Sound_Input_LINE ? s.lineValue : 1 - s.lineValue;
        if (!setSwitch(s.name, value)) {
            std::string label = s.name;
            for (char &c : label) {
                c = c == ' ' ? '_' : c;
            }
            Media_error("[Sound] Failed to configure %s\n", label.c_str());
            return false;
        }
    }
    return true;
}

class AlsaSetup {
public:
    AlsaSetup(snd_pcm_t *pcm, const std::string &name) : pcm_(pcm), name_(name) {}

    // Hardware parameters: interleaved S16_LE at the rate and channels asked for, periods near 1024
    // frames, the largest buffer the device allows.
    bool hardware(const Sound_Attrs &attrs)
    {
        snd_pcm_hw_params_t *hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        unsigned int rate = static_cast<unsigned int>(attrs.sampleRate);
        snd_pcm_uframes_t period = kPeriodFrames;
        unsigned int bufferTime = 0;
        int dir = 0;
        if (!step("initialize hardware parameters", snd_pcm_hw_params_any(pcm_, hw)) ||
            !step("set access type", snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) ||
            !step("set sample format", snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE)) ||
            !step("set sample rate", snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate, &dir)) ||
            !step("set channel count",
                  snd_pcm_hw_params_set_channels(pcm_, hw, static_cast<unsigned int>(attrs.channels))) ||
            !step("set period size", snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period, &dir))) {
            return false;
        }
        Media_trace("[Sound] ++++++++++++++++++period size=%d\n", static_cast<int>(period));
        if (!step("get maximum buffer time", snd_pcm_hw_params_get_buffer_time_max(hw, &bufferTime, &dir)) ||
            !step("set buffer time", snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &bufferTime, &dir)) ||
            !step("install hardware parameters", snd_pcm_hw_params(pcm_, hw)) ||
            !step("get sample rate", ops().getRate(hw, &rate, &dir)) ||
            !step("get period size", snd_pcm_hw_params_get_period_size(hw, &period, &dir)) ||
            !step("get buffer size", ops().getBufferSize(hw, &buffer_))) {
            return false;
        }
        // The encoder and the time stamps run at the asked rate: audio captured at another one would
        // play at the wrong pitch and drift against the video.
        if (rate != static_cast<unsigned int>(attrs.sampleRate)) {
            Media_error("[Sound] %s captures at %u Hz, not at %d Hz\n", name_.c_str(), rate, attrs.sampleRate);
            return false;
        }
        if (period == buffer_) {
            Media_error("[Sound] Can't use period size equal to buf size (%d == %d)\n", static_cast<int>(period),
                        static_cast<int>(buffer_));
            return false;
        }
        period_ = period;
        return true;
    }

    // Software parameters: wake per period, start on the first read, stop only on a full buffer.
    bool software()
    {
        snd_pcm_sw_params_t *sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        return step("get current software parameters", snd_pcm_sw_params_current(pcm_, sw)) &&
               step("set minimum available frames", snd_pcm_sw_params_set_avail_min(pcm_, sw, period_)) &&
               step("set start threshold", snd_pcm_sw_params_set_start_threshold(pcm_, sw, 1)) &&
               step("set stop threshold", snd_pcm_sw_params_set_stop_threshold(pcm_, sw, buffer_)) &&
               step("install software parameters", snd_pcm_sw_params(pcm_, sw));
    }

private:
    bool step(const char *what, int err)
    {
        if (err < 0) {
            Media_error("[Sound] Failed to %s on %s (%s)\n", what, name_.c_str(), snd_strerror(err));
            return false;
        }
        return true;
    }

    snd_pcm_t *pcm_;
    const std::string &name_;
    snd_pcm_uframes_t period_ = 0;
    snd_pcm_uframes_t buffer_ = 0;
};

class AlsaDevice : public SoundDevice {
public:
    AlsaDevice(PcmPtr pcm, std::string name, int channels)
        : pcm_(std::move(pcm)), name_(std::move(name)), frameBytes_(2 * channels)
    {
    }

    int read(uint8_t *dst, int frames) override
    {
        int done = 0;
        int64_t idleSince = Media_monotonicNs();
        while (done < frames) {
            if (SharedStatus_getQuit()) {
                return Sound_STOPPED;
            }
            snd_pcm_sframes_t r = ops().readi(pcm_.get(), dst + static_cast<size_t>(done) * frameBytes_,
                                              static_cast<snd_pcm_uframes_t>(frames - done));
            if (r > 0) {
                done += static_cast<int>(r);
                idleSince = Media_monotonicNs();
                continue;
            }
            if (r == 0 || r == -EAGAIN || r == -EINTR) {
                int w = ops().wait(pcm_.get(), kWaitMs);
                if (w >= 0) {
                    if (Media_monotonicNs() - idleSince > kNoDataLimitNs) {
                        return failed("[Sound] No audio from %s for %d seconds", name_.c_str(),
                                      static_cast<int>(kNoDataLimitNs / 1000000000LL));
                    }
                    continue;
                }
                r = w;
            }
            int rec = recover(static_cast<int>(r));
            if (rec != Media_EOK) {
                return rec;
            }
            idleSince = Media_monotonicNs();
        }
        return Media_EOK;
    }

private:
    // An overrun restarts the stream; a suspended device is resumed (or restarted when it cannot be).
    int recover(int err)
    {
        Media_trace("[Sound] Recovering from underrun\n");
        int e = err;
        if (err == -EPIPE) {
            e = ops().prepare(pcm_.get());
        } else if (err == -ESTRPIPE) {
            while ((e = ops().resume(pcm_.get())) == -EAGAIN) {
                if (!Media_waitUntil(nullptr, Media_monotonicNs() + kResumeRetryNs)) {
                    return Sound_STOPPED;
                }
            }
            if (e < 0) {
                e = ops().prepare(pcm_.get());
            }
        } else {
            return failedRead(err);
        }
        if (e < 0) {
            return failed("[Sound] Failed to recover from over or underrun on %s; [Sound] Failed to read from %s (%s)",
                          name_.c_str(), name_.c_str(), snd_strerror(err));
        }
        return Media_EOK;
    }

    int failedRead(int err)
    {
        return failed("[Sound] Failed to read from %s (%s)", name_.c_str(), snd_strerror(err));
    }

    PcmPtr pcm_;
    std::string name_;
    int frameBytes_;
};

} // namespace

const SoundAlsaOps &SoundAlsa_libraryOps()
{
    return kLibraryOps;
}

void SoundAlsa_setOps(const SoundAlsaOps *o)
{
    currentOps.store(o != nullptr ? o : &kLibraryOps);
}

std::unique_ptr<SoundDevice> SoundAlsa_open(const std::string &pcmName, bool boardMixer, const Sound_Attrs &attrs)
{
    quietAlsaLib();
    snd_pcm_t *raw = nullptr;
    int err = snd_pcm_open(&raw, pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) {
        Media_error("[Sound] Failed to open ALSA sound device for input %s (%s)\n", pcmName.c_str(),
                    snd_strerror(err));
        return nullptr;
    }
    PcmPtr pcm(raw);
    AlsaSetup setup(pcm.get(), pcmName);
    if (!setup.hardware(attrs) || !setup.software()) {
        return nullptr;
    }
    // Capture sets no volume: the gains stay as the stored mixer state has them.
    if (boardMixer && !configureMixer(attrs.soundInput)) {
        return nullptr;
    }
    return std::make_unique<AlsaDevice>(std::move(pcm), pcmName, attrs.channels);
}
