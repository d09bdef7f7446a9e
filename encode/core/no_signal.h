// The no-signal flag: whether the video input delivers pictures. Written by the capture side's
// no-signal thread only; read by the video thread (key frames after the input comes back) and by the
// watchdog (the board's signal lamp). It lives on the ground floor because the watchdog may not reach
// the video stages. One atomic word.
#pragma once

// -1 until the no-signal thread first looks, then 0 while frames arrive and 1 while the input is lost.
int NoSignal_get();
void NoSignal_set(int value);
// Back to -1 (tests, and the start of a run).
void NoSignal_reset();
