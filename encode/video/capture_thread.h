// The capture thread and its no-signal companion.
//
// captureThrFxn settles the input standard and picture size (written back into its record, published
// through SharedStatus and /tmp/format.ini), meets rvStandard, sets the capture device up, primes the
// video thread with black frames, meets rvStart and then hands every captured frame to the video
// thread, returning each frame the video thread gives back to the device. The no-signal thread it
// starts keeps the video thread fed with the seven-bar test picture while the input delivers nothing
// and raises the no-signal flag (no_signal.h) meanwhile.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/fifo.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"

#include <cstdint>

// Filled by the main thread before the capture thread starts; the thread writes the settled picture
// size back before it meets rvStandard. Fifo names are seen from the capture thread.
struct CaptureThreadParams {
    Rendezvous_Handle hRendezvousInit;     // rvStart
    Rendezvous_Handle hRendezvousStandard; // rvStandard: met once the picture size is settled
    Rendezvous_Handle hRendezvousCleanup;  // rvCleanup
    void *reserved;                        // left empty
    Pause_Handle hPauseProcess;
    Fifo_Handle hToVideoFifo;   // captured frames to the video thread
    Fifo_Handle hFromVideoFifo; // frames the video thread is done with
    int display_standard;       // 0 asks for detection
    int width;                  // requested size (0: the standard's); written back as settled
    int height;
    int video_input;            // Capture_Input_*
    int16_t preview_disable;
};

// Thread body; arg is a CaptureThreadParams. THREAD_SUCCESS or THREAD_FAILURE.
void *captureThrFxn(void *arg);

// Values the capture thread publishes (each one word, lock-free; one writer).
int64_t CaptureStatus_frameCounter(); // frames captured so far
int CaptureStatus_busy();             // 1 while the capture thread waits for a frame
int64_t CaptureStatus_lastWaitUs();   // how long the last wait took
void CaptureStatus_reset();           // for tests and the start of a run
