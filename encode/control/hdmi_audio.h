// The HDMI audio supervisor: while HDMI audio is selected it sets up the chips of the HDMI audio path
// over I2C, polls the status chip for audio lock twice a second, re-initialises the path while the
// lock is missing and switches the audio-side chip to its locked settings once per lock. It publishes
// the lock as one atomic word, which the audio thread reads to decide between passing the samples on
// and muting them.
#pragma once

// The thread function, started by the audio thread with default attributes and never joined. `arg` is
// unused: the board flag comes from the output switches. On ra202 boards it sets the locked settings
// once and returns; elsewhere it polls until the quit flag is set.
void *hdmiAudioThreadFxn(void *arg);

// 1 while the HDMI audio path reports lock (on ra202 boards: 1 from the supervisor's start on), else
// 0. Written by the supervisor only.
int HdmiAudio_locked();

// Pause lengths of the supervisor, in milliseconds.
inline constexpr unsigned HDMI_AUDIO_POLL_MS = 500;  // after every poll, and once more after a re-init
inline constexpr unsigned HDMI_AUDIO_RESET_MS = 100; // the two holds inside the re-initialisation

// The supervisor's pauses go through this seam. The default sleeps in short slices and returns early
// once the quit flag is set, so the thread sees quit within a slice. nullptr puts the default back.
// Install before the thread starts.
using HdmiAudioSleep = void (*)(unsigned milliseconds);
void HdmiAudio_setSleep(HdmiAudioSleep sleep);

// The thread's body with a bound on the status polls (negative: until quit), so that a test can run
// a few polls and get its thread back. Quit ends it early at the next poll or after any pause.
void HdmiAudio_run(int polls);
