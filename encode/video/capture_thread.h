// The capture thread and its no-signal companion.
//
// captureThrFxn settles the input standard and picture size (written back into its record, published
// through SharedStatus and /tmp/format.ini), meets rvStandard, sets the capture device up, primes the
// video thread with black frames, meets rvStart and then hands every captured frame to the video
// thread, returning each frame the video thread gives back to the device. The no-signal thread it
// starts keeps the video thread fed with the seven-bar test picture while the input delivers nothing
// and raises the no-signal flag (thread_params.h) meanwhile.
#pragma once

#include "encode/core/thread_params.h"

#include <cstdint>

// Thread body; arg is a CaptureThreadParams. THREAD_SUCCESS or THREAD_FAILURE.
void *captureThrFxn(void *arg);

// Values the capture thread publishes (each one word, lock-free; one writer).
int64_t CaptureStatus_frameCounter(); // frames captured so far
int CaptureStatus_busy();             // 1 while the capture thread waits for a frame
int64_t CaptureStatus_lastWaitUs();   // how long the last wait took
void CaptureStatus_reset();           // for tests and the start of a run
