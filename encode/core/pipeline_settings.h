// The shape of the run's pipeline, settled by the main thread at start and read by the stages: how
// many buffers circulate between them, the frame rate they pace to, and whether an AAC audio thread
// runs beside the video. Single words, lock-free.
#pragma once

// Buffers per capture pool and video priming: 3, or 2 in low-delay mode (/mnt/kavex_maxdelay.ini).
int Pipeline_bufferCount();
void Pipeline_setBufferCount(int count);

// Frame rate in thousandths of a frame per second: 30000 unless the launch gives -f.
int Pipeline_frameRate();
void Pipeline_setFrameRate(int thousandths);

// Set when the AAC audio thread was started (the RTMP publisher announces audio then).
bool Pipeline_audioPresent();
void Pipeline_setAudioPresent(bool present);

// False when ENCODE_PACING is "off": the virtual capture device delivers a frame as soon as one is
// asked for and the video thread does not pace, so that a benchmark measures how fast the pipeline
// can go. Read when a stage starts, not per frame.
bool Pipeline_paced();

// Every value back to its default (tests, and the start of a run).
void Pipeline_reset();
