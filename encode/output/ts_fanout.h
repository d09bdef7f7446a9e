// The multiplexer stage: where units become the transport stream. It is the output the writer and the
// audio thread hand their units to for the TS; it multiplexes each one under its lock, into its one
// output buffer, and hands the packets to its consumers in their order (SRT, UDP, HTTP, the recorder:
// each an Output that takes TS). It multiplexes nothing while none of them wants the packets (the
// stream output off and no recording), so that a box without a TS output pays nothing for it.
//
// The lock is held for a whole unit: the multiplexer, its buffer and every consumer's ts() see one
// caller at a time, the writer's and the audio thread's units never interleave inside a unit.
#pragma once

#include "encode/output/output.h"
#include "encode/output/tsmux.h"

#include <cstdint>

typedef struct TsFanOut_Object *TsFanOut_Handle;

// A stage with its multiplexer initialised for the encoder's program with `audio`. Null after
// "init TS failed!" (or when out of memory).
TsFanOut_Handle TsFanOut_create(TsMux_Audio audio);
Output *TsFanOut_output(TsFanOut_Handle h);

// The builder's: a consumer, after those added before it. Before streaming only.
void TsFanOut_addConsumer(TsFanOut_Handle h, Output *consumer);

// Room in the output buffer for the packets of a unit of `unitBytes`, PAT and PMT included; grown
// when it is short. Before streaming (the writer and the audio thread, before the start rendezvous).
// False when the memory cannot be had.
bool TsFanOut_reserve(TsFanOut_Handle h, int unitBytes);

// Whether the multiplexer runs for the next unit: a consumer wants the packets.
bool TsFanOut_wanted(TsFanOut_Handle h);

struct TsFanOutStats {
    uint64_t units;   // multiplexed
    uint64_t bytes;   // of packets handed to the consumers
    uint64_t refused; // units the multiplexer refused (its line printed)
};
TsFanOutStats TsFanOut_stats(TsFanOut_Handle h);
// The configuration the multiplexer was initialised with.
TsMux_Config TsFanOut_config(TsFanOut_Handle h);
