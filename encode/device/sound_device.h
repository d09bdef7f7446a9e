// The backends behind the sound adapter (sound.h): the ALSA device and the virtual device. Only the
// adapter, the backends, their tests and the benchmark (the peer's tone) include this.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "encode/device/sound.h"

class SoundDevice {
public:
    virtual ~SoundDevice() = default;
    // Reads exactly `frames` sample frames into dst. Media_EOK; Sound_STOPPED when the quit flag was
    // raised meanwhile; Media_EFAIL with its reason kept for failure(), nothing printed.
    virtual int read(uint8_t *dst, int frames) = 0;
    // Why the last failed read failed ("" before any).
    const char *failure() const { return failure_; }

protected:
    // Keeps the reason of a failed read and gives Media_EFAIL. A device that stays broken fails every
    // read, so the reader, not the device, decides when that is worth a line.
    __attribute__((format(printf, 2, 3))) int failed(const char *format, ...);

private:
    char failure_[256] = "";
};

// The ALSA capture PCM `pcmName` set up for the attributes; with boardMixer the board's four input
// switches are set on card "hw:0" as well. Null after its messages.
std::unique_ptr<SoundDevice> SoundAlsa_open(const std::string &pcmName, bool boardMixer, const Sound_Attrs &attrs);

// The virtual device: "tone" or "file:PATH". Null after its message.
std::unique_ptr<SoundDevice> SoundVirtual_open(const std::string &source, const Sound_Attrs &attrs);

// The alsa-lib calls of the ALSA backend whose failures a test cannot provoke with a file PCM (no
// sound card, no overrun, no mixer): a test puts its own in place to inject them.
struct SoundAlsaOps {
    snd_pcm_sframes_t (*readi)(snd_pcm_t *pcm, void *buffer, snd_pcm_uframes_t frames);
    int (*wait)(snd_pcm_t *pcm, int timeoutMs);
    int (*prepare)(snd_pcm_t *pcm);
    int (*resume)(snd_pcm_t *pcm);
    int (*getRate)(const snd_pcm_hw_params_t *params, unsigned int *rate, int *dir);
    int (*getBufferSize)(const snd_pcm_hw_params_t *params, snd_pcm_uframes_t *frames);
    int (*ctlOpen)(snd_ctl_t **ctl, const char *name, int mode);
    int (*ctlElemWrite)(snd_ctl_t *ctl, snd_ctl_elem_value_t *value);
    int (*ctlClose)(snd_ctl_t *ctl);
};

// alsa-lib's own functions.
const SoundAlsaOps &SoundAlsa_libraryOps();
// Replaces the calls for every later ALSA device operation; null puts alsa-lib's back.
void SoundAlsa_setOps(const SoundAlsaOps *ops);

