// The writer thread: the hub of the video outputs. It owns the encoded-video buffers, lends them to
// the video thread, and for every access unit it gets back hands the unit to the output list (which
// feeds the outputs in their fixed order: TCP slots, the multiplexer stage, the RTSP hand-off FIFO,
// RTMP), then lends the buffer out again. The second ("fml") stream's one buffer travels with the
// video thread through a Fifo pair of its own.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/fifo.h"
#include "encode/media/frame_times.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/output_list.h"

#include <cstdint>

// Filled by the main thread. Fifo names are seen from the writer: the same objects as the video
// thread's writer Fifos, the other way round.
struct WriterThreadParams {
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    Fifo_Handle hToVideoFifo;      // empty buffers to the video thread
    Fifo_Handle hFromVideoFifo;    // encoded buffers from the video thread
    Fifo_Handle hToVideoFmlFifo;   // the second stream's buffer, empty, to the video thread
    Fifo_Handle hFromVideoFmlFifo; // the second stream's buffer, encoded, back
    const char *videofile;
    int outBufSize; // copied from the video record
    int16_t write_disable;
    OutputList_Handle outputs; // the main thread's, shared with the audio thread
};

// Thread body; arg is a WriterThreadParams. THREAD_SUCCESS after a flush, THREAD_FAILURE after an error.
void *writerThrFxn(void *arg);

