// SharedStatus: the process-wide block every stage consults. The quit flag is the one way any thread
// stops the program; SIGINT and SIGTERM raise it too, so a signal leads through the normal shutdown.
#pragma once

#include <cstdint>

struct SharedStatus {
    int quit;
    int samplingRate;
    int64_t soundBytes;
    int64_t videoBytes;
    int64_t frameCount;
    int imageWidth;
    int imageHeight;
};

// Set quit and get quit: one locked write, one locked read.
void SharedStatus_setQuit();
int SharedStatus_getQuit();

// The rest of the block, each access a single locked read or write.
void SharedStatus_setSamplingRate(int rate);
int SharedStatus_getSamplingRate();
void SharedStatus_addSoundBytes(int64_t n);
void SharedStatus_addVideoBytes(int64_t n);
void SharedStatus_incFrameCount();
void SharedStatus_setImageSize(int width, int height);
SharedStatus SharedStatus_snapshot();

// Back to the start state (quit 0, counters 0): for the start of a run and for tests.
void SharedStatus_reset();

// SIGPIPE ignored (a vanished peer is a write error, not a dead process); SIGINT and SIGTERM raise quit.
void Signals_install();
