// HDMI audio supervisor. One thread writes; the audio thread reads the lock word without a lock. Every
// register access opens and closes the bus by itself, so the capture thread's colour set-up may run
// beside this one. Register results are not acted upon: a chip that does not answer shows up as a
// missing lock at the next poll, and the path is simply initialised again.
#include "encode/control/hdmi_audio.h"

#include "encode/control/i2c.h"
#include "encode/core/output_switches.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/core/stage_thread.h"
#include "encode/media/wait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <span>
#include <thread>

namespace {

// The analogue capture path stays switched off while the samples come from HDMI.
constexpr const char *kCaptureSwitchOff = "/usr/bin/amixer cset numid=27,iface=MIXER,name='PGA Capture Switch' 0";

constexpr int kStatusChip = 0x23;
constexpr int kStatusRegister = 0x64;
constexpr int kLockBits = 0x83;


// One register write, read back when verify is set, followed by a hold of pauseMs (0: none).
struct Step {
    int chip;
    int reg;
    int value;
    int verify;
    unsigned pauseMs;
};

constexpr Step kInitial[] = {
    {0x18, 0x08, 0xC0, 0, 0}, {0x18, 0x13, 0x04, 0, 0}, {0x18, 0x16, 0x04, 0, 0}, {0x18, 0x03, 0x92, 0, 0},
    {0x31, 0xF0, 0x10, 1, 0}, {0x31, 0xF1, 0x0F, 1, 0}, {0x31, 0xF4, 0x20, 1, 0}, {0x35, 0x00, 0x01, 1, 0},
    {0x35, 0x01, 0x48, 1, 0}, {0x35, 0x03, 0x18, 1, 0}, {0x35, 0x15, 0xEC, 1, 0}, {0x35, 0x1C, 0x58, 1, 0},
    {0x35, 0x1D, 0x04, 1, 0}, {0x35, 0x3C, 0x42, 1, 0}, {0x35, 0x3D, 0x40, 1, 0}, {0x35, 0x5A, 0x01, 0, 0},
    {0x35, 0x02, 0x10, 1, 0},
};

// Unlike the initial set-up, this one restarts a chip that is already running, and each of the two
// restarting writes needs its hold before the next write reaches the chip.
constexpr Step kReinit[] = {
    {0x35, 0x02, 0x10, 1, 0},
    {0x18, 0x08, 0xC0, 0, 0},
    {0x18, 0x13, 0x04, 0, 0},
    {0x18, 0x16, 0x04, 0, 0},
    {0x18, 0x03, 0x92, 0, 0},
    {0x35, 0x01, 0x80, 1, HDMI_AUDIO_RESET_MS},
    {0x35, 0x01, 0x48, 1, 0},
    {0x35, 0x7A, 0x01, 0, HDMI_AUDIO_RESET_MS},
    {0x31, 0xF0, 0x10, 1, 0},
    {0x31, 0xF1, 0x0F, 1, 0},
    {0x31, 0xF4, 0x20, 1, 0},
    {0x35, 0x00, 0x01, 1, 0},
    {0x35, 0x03, 0x18, 1, 0},
    {0x35, 0x15, 0xEC, 1, 0},
    {0x35, 0x1C, 0x58, 1, 0},
    {0x35, 0x1D, 0x04, 1, 0},
    {0x35, 0x3C, 0x42, 1, 0},
    {0x35, 0x3D, 0x40, 1, 0},
    {0x35, 0x5A, 0x01, 0, 0},
    {0x35, 0x02, 0x10, 1, 0},
};

// Written once per lock, not on every locked poll. ra202 boards take only the audio-side chip's part
// (the last four rows).
constexpr Step kLock[] = {
    {0x35, 0x02, 0x22, 1, 0}, {0x18, 0x08, 0x20, 1, 0}, {0x18, 0x13, 0x00, 1, 0},
    {0x18, 0x16, 0x00, 1, 0}, {0x18, 0x03, 0x12, 1, 0},
};
constexpr std::span<const Step> kRa202Lock = std::span<const Step>(kLock).subspan(1);

std::atomic<int> locked{0};

void kernelSleep(unsigned milliseconds)
{
    Media_waitMs(nullptr, milliseconds);
}

std::atomic<HdmiAudioSleep> sleeper{kernelSleep};

// False when quit was set meanwhile: the thread then leaves at once, even in the middle of a
// sequence, since the next start writes the whole set-up again.
bool pause(unsigned milliseconds)
{
    sleeper.load()(milliseconds);
    return SharedStatus_getQuit() == 0;
}

bool writeSequence(std::span<const Step> steps)
{
    for (const Step &s : steps) {
        i2cSetRegister(s.chip, s.reg, s.value, s.verify);
        if (s.pauseMs != 0 && !pause(s.pauseMs)) {
            return false;
        }
    }
    return true;
}

// Only a register value with all lock bits counts. A read that failed, before the transfer or in it,
// says nothing about the lock, and passing unchecked samples on would be worse than muting them.
bool statusLocked()
{
    int status = i2cGetRegister(kStatusChip, kStatusRegister);
    return status >= 0 && (status & kLockBits) == kLockBits;
}

// One poll: false when quit was seen during one of its pauses.
bool poll(bool &held)
{
    if (!statusLocked()) {
        held = false;
        locked.store(0);
        if (!writeSequence(kReinit) || !pause(HDMI_AUDIO_POLL_MS)) {
            return false;
        }
    } else if (!held) {
        held = true;
        locked.store(1);
        writeSequence(kLock);
    }
    return pause(HDMI_AUDIO_POLL_MS);
}

} // namespace

int HdmiAudio_locked()
{
    return locked.load();
}

void HdmiAudio_setSleep(HdmiAudioSleep sleep)
{
    sleeper.store(sleep != nullptr ? sleep : kernelSleep);
}

void HdmiAudio_run(int polls)
{
    locked.store(0);
    Shell_run(kCaptureSwitchOff);

    if (OutputSwitches_get().ra202 == 1) {
        std::printf("ra202===================\n");
        std::fflush(stdout);
        locked.store(1);
        writeSequence(kRa202Lock);
        return;
    }

    writeSequence(kInitial);
    bool held = false;
    for (int i = 0; polls < 0 || i < polls; i++) {
        if (SharedStatus_getQuit() != 0 || !poll(held)) {
            return;
        }
    }
}

void *hdmiAudioThreadFxn(void *)
{
    HdmiAudio_run(-1);
    return THREAD_SUCCESS;
}
