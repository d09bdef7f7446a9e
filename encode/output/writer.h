// The writer thread: the hub of the video outputs. It owns the encoded-video buffers, lends them to
// the video thread, and for every access unit it gets back feeds the outputs in their fixed order
// (TCP slots, the multiplexer with the TS fan-out under the TS output's lock, the RTSP hand-off FIFO
// or RTMP), then lends the buffer out again. The second ("fml") stream's one buffer travels with the
// video thread through a Fifo pair of its own.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/fifo.h"
#include "encode/media/frame_times.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/rtmp.h"
#include "encode/output/tsmux.h"
#include "encode/output/udp.h"

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
    TsMux_Params tsParams; // ready-made; its config points at the encoder's TsMux_Config
    TsOut_Handle tsOut;    // the TS output (multiplexer, UDP, HTTP, recorder); null: no TS
    RtmpPublishers rtmp; // the main thread's publishers while RTMP is on, else none
};

// Bytes of the TS output buffer: the largest multiplexed frame the writer handles.
inline constexpr int WRITER_TS_BUFFER_BYTES = 4608000;

// Thread body; arg is a WriterThreadParams. THREAD_SUCCESS after a flush, THREAD_FAILURE after an error.
void *writerThrFxn(void *arg);

