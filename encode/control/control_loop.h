// The control loop: the last stage the main thread runs once every other thread has started. It
// holds one codec engine handle for the life of the pipeline, takes part in the start and clean-up
// rendezvous like a stage thread, and waits for the quit flag.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"

#include <cstdint>

struct ControlThreadParams {
    void *reserved; // set to 0
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    int keyboard;
    int time; // -t; not consulted
    const char *engineName;
    int16_t unused; // set to 0
};

inline constexpr int CONTROL_POLL_MS = 600;

// Runs in the main thread with its ControlThreadParams. Returns THREAD_SUCCESS once quit was seen,
// THREAD_FAILURE when the codec engine could not be opened (quit is then set for every stage).
void *ctrlThrFxn(void *arg);
