// The video encode thread's parameter record. The main thread fills it after the capture thread has
// settled the picture size; the thread writes the encoded buffer size back before it meets
// rvEncoderReady. Fifo names are seen from the video thread: the writer's two Fifos are the same
// objects as in WriterThreadParams, the capture ones the same as in CaptureThreadParams.
#pragma once

#include "encode/video/key_frames.h"

#include "encode/core/stage_thread.h"
#include "encode/media/fifo.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"

struct VideoThreadParams {
    Rendezvous_Handle hRendezvousInit;    // rvStart
    Rendezvous_Handle hRendezvousCleanup; // rvCleanup
    Rendezvous_Handle hRendezvousReady;   // rvEncoderReady: met once the encoders exist
    Pause_Handle hPauseProcess;
    Fifo_Handle hToWriterFifo;    // encoded buffers to the writer
    Fifo_Handle hFromWriterFifo;  // empty encoded buffers from the writer
    Fifo_Handle hToCaptureFifo;   // captured frames back to the capture thread
    Fifo_Handle hFromCaptureFifo; // captured frames from the capture thread
    Fifo_Handle hToWriterFmlFifo;   // the second stream's output buffer, encoded, to the writer
    Fifo_Handle hFromWriterFmlFifo; // the same buffer back from the writer
    const char *videoEncoder;     // codec runtime name, e.g. "h264enc"
    const char *engineName;       // "encode"
    const void *params;           // static parameters (null: the thread's own defaults)
    const void *dynParams;        // dynamic parameters (likewise)
    int outBufSize;               // written by the video thread before it meets rvEncoderReady
    int videobitrate;             // bit/s; negative: variable
    int framerate;                // thousandths of a frame per second
    int Intraframeinterval;
    KeyRequest *keyRequests; // the main stream's and the second's asked-for key frames (null: none)
    bool idrAtEveryIntra;    // every I point an IDR picture (HLS begins its segments there)
    int width; // as settled by the capture thread
    int height;
};

// Thread body; arg is a VideoThreadParams. THREAD_SUCCESS after a flush or quit, THREAD_FAILURE after
// an error.
void *videoThrFxn(void *arg);
