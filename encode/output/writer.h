// The writer thread's parameter record. Fifo names are seen from the writer: the same objects as the
// video thread's writer Fifos, the other way round.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/fifo.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/tsmux.h"

#include <cstdint>

struct WriterThreadParams {
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    Fifo_Handle hToVideoFifo;   // empty buffers to the video thread
    Fifo_Handle hFromVideoFifo; // encoded buffers from the video thread
    Fifo_Handle hFmlFifo;       // the second stream's one output buffer, both ways with the video thread
    const char *videofile;
    int outBufSize; // copied from the video record
    int16_t write_disable;
    TsMux_Params tsParams; // ready-made; its config points at the encoder's TsMux_Config
};
